#include "Http.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>

#include "Log.h"

namespace velkor::gateway {
namespace {

constexpr std::size_t kPathInMessage = 200;

std::vector<std::string> Segments(std::string_view path) {
  std::vector<std::string> segments;
  std::size_t at = 0;
  while (at <= path.size()) {
    const std::size_t end = std::min(path.find('/', at), path.size());
    segments.emplace_back(path.substr(at, end - at));
    at = end + 1;
  }
  return segments;
}

// A provider that ends its stream, instead of the process, when it throws.
StreamProvider Guarded(StreamProvider provider) {
  return [provider = std::move(provider)](StreamWriter& writer) {
    try {
      return provider(writer);
    } catch (const std::exception& e) {
      LogWarning(std::string("event stream ended: ") + e.what());
    } catch (...) {
      LogWarning("event stream ended");
    }
    return false;
  };
}

}  // namespace

bool CaseLess::operator()(std::string_view a, std::string_view b) const {
  return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
    return std::tolower(static_cast<unsigned char>(x)) <
           std::tolower(static_cast<unsigned char>(y));
  });
}

std::string HttpRequest::Param(const std::string& name) const {
  const auto found = query.find(name);
  return found == query.end() ? std::string() : found->second;
}

std::string HttpRequest::Header(const std::string& name) const {
  const auto found = headers.find(name);
  return found == headers.end() ? std::string() : found->second;
}

std::string PercentDecode(std::string_view text, bool plusIsSpace) {
  std::string decoded;
  decoded.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '%' && i + 2 < text.size()) {
      const int high = HexDigit(text[i + 1]);
      const int low = HexDigit(text[i + 2]);
      if (high >= 0 && low >= 0) {
        decoded += static_cast<char>(high << 4 | low);
        i += 2;
        continue;
      }
    }
    decoded += plusIsSpace && c == '+' ? ' ' : c;
  }
  return decoded;
}

void DecodeTarget(HttpRequest& request) {
  const std::string_view whole = request.target;
  const std::size_t mark = whole.find('?');
  request.path = PercentDecode(whole.substr(0, mark), false);
  request.query.clear();
  if (mark == std::string_view::npos) {
    return;
  }
  std::string_view query = whole.substr(mark + 1);
  while (!query.empty()) {
    const std::size_t amp = std::min(query.find('&'), query.size());
    const std::string_view pair = query.substr(0, amp);
    const std::size_t eq = std::min(pair.find('='), pair.size());
    if (!pair.empty()) {
      request.query.try_emplace(PercentDecode(pair.substr(0, eq), true),
                                eq < pair.size() ? PercentDecode(pair.substr(eq + 1), true) : "");
    }
    query.remove_prefix(std::min(amp + 1, query.size()));
  }
}

HttpRequest HttpRequest::Make(std::string method, std::string target, HttpHeaders headers,
                              std::string body) {
  HttpRequest request;
  request.method = std::move(method);
  request.target = std::move(target);
  request.headers = std::move(headers);
  request.body = std::move(body);
  DecodeTarget(request);
  return request;
}

HttpResponse JsonReply(int status, Json body) {
  HttpResponse response;
  response.status = status;
  response.json = std::move(body);
  return response;
}

HttpResponse ErrorReply(int status, const std::string& message) {
  return JsonReply(status, {{"error", message}});
}

void Finish(HttpResponse& response) {
  if (response.json) {
    response.body = JsonText(*response.json);
    response.json.reset();
    response.contentType = "application/json";
  }
  if (response.stream) {
    response.contentType = "text/event-stream";
  }
  // Answers are about the moment they are asked: never cached, never sniffed as another type.
  response.headers.try_emplace("Cache-Control", "no-store");
  response.headers.try_emplace("X-Content-Type-Options", "nosniff");
}

void Router::Add(const std::string& method, const std::string& path, Handler handler, Role role,
                 bool documented) {
  std::vector<std::string> segments = Segments(path);
  for (std::string& segment : segments) {
    if (segment.size() > 2 && segment.front() == '{' && segment.back() == '}') {
      segment = "{}";
    }
  }
  routes_.push_back({method, path, std::move(segments), std::move(handler), role});
  if (documented) {
    documented_.emplace_back(method, path);
  }
}

std::optional<Role> Router::RoleOf(const std::string& method, const std::string& path) const {
  for (const Route& route : routes_) {
    if (route.method == method && route.path == path) {
      return route.role;
    }
  }
  return std::nullopt;
}

HttpResponse Router::Dispatch(HttpRequest& request) const {
  const std::string header = request.Header("Authorization");
  constexpr std::string_view kBearer = "Bearer ";
  std::optional<Principal> principal;
  if (authenticate_ && header.size() > kBearer.size() &&
      header.compare(0, kBearer.size(), kBearer) == 0) {
    principal = authenticate_(std::string_view(header).substr(kBearer.size()));
  }
  request.authorized = principal.has_value();
  if (principal) {
    request.principal = std::move(*principal);
  }
  const bool isPublic = public_ && public_(request);
  if (!request.authorized && !isPublic) {
    HttpResponse refused = ErrorReply(401, "missing or wrong bearer token");
    refused.headers["WWW-Authenticate"] = "Bearer";
    return refused;
  }
  // HEAD is GET without the body, which the transport leaves out.
  const std::string method = request.method == "HEAD" ? "GET" : request.method;
  const std::vector<std::string> segments = Segments(request.path);
  for (const Route& route : routes_) {
    if (route.method != method || route.segments.size() != segments.size()) {
      continue;
    }
    std::vector<std::string> matches = {request.path};
    bool match = true;
    for (std::size_t i = 0; i < segments.size() && match; ++i) {
      if (route.segments[i] == "{}") {
        match = !segments[i].empty();
        matches.push_back(segments[i]);
      } else {
        match = route.segments[i] == segments[i];
      }
    }
    if (match) {
      request.matches = std::move(matches);
      request.route = route.path;
      if (!isPublic && request.principal.role < route.role) {
        HttpResponse refused =
            ErrorReply(403, "the key \"" + request.principal.name + "\" has the role " +
                                RoleName(request.principal.role) + "; " + method + " " +
                                route.path + " needs " + RoleName(route.role));
        return refused;
      }
      HttpResponse response = route.handler(request);
      if (response.stream) {
        response.stream = Guarded(std::move(response.stream));
      }
      return response;
    }
  }
  return ErrorReply(404,
                    "no route " + request.method + " " + request.path.substr(0, kPathInMessage));
}

HttpResponse Router::Handle(HttpRequest request) const {
  HttpResponse response;
  try {
    response = Dispatch(request);
  } catch (const HttpError& e) {
    response = ErrorReply(e.status, e.message);
  } catch (const std::exception& e) {
    LogError(request.method + " " + JsonText(request.path.substr(0, kPathInMessage)) + ": " +
             e.what());
    response = ErrorReply(500, "internal error");
  } catch (...) {
    response = ErrorReply(500, "internal error");
  }
  try {
    Finish(response);
  } catch (...) {
    response = HttpResponse{};
    response.status = 500;
    response.contentType = "application/json";
    response.body = R"({"error":"internal error"})";
  }
  if (observer_) {
    try {
      observer_(request, response);
    } catch (...) {  // what it counts is not worth the answer
    }
  }
  response.route = std::move(request.route);
  return response;
}

bool SameSecret(const std::string& given, const std::string& expected) {
  // Digests first, so that the comparison takes as long whatever the lengths.
  unsigned char a[EVP_MAX_MD_SIZE];
  unsigned char b[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(given.data(), given.size(), a, &length, EVP_sha256(), nullptr);
  EVP_Digest(expected.data(), expected.size(), b, &length, EVP_sha256(), nullptr);
  return CRYPTO_memcmp(a, b, length) == 0;
}

}  // namespace velkor::gateway
