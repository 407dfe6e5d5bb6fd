// The API's HTTP layer without its transport: requests and responses as plain values, and the
// router that checks the bearer token, matches routes and turns every failure of a handler
// into a JSON error. HttpServer carries these over sockets; tests and the fuzzer call the
// router in process.
#pragma once

#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "Records.h"
#include "Roles.h"

namespace velkor::gateway {

inline constexpr std::size_t kMaxBody = 1 << 20;  // larger request bodies get 413

// Thrown by a handler: the client gets `status` and {"error": message}.
struct HttpError {
  int status;
  std::string message;
};

struct CaseLess {
  using is_transparent = void;
  bool operator()(std::string_view a, std::string_view b) const;
};
using HttpHeaders = std::map<std::string, std::string, CaseLess>;

struct HttpRequest {
  std::string method;
  std::string target;                        // as sent: the path and the query
  std::string path;                          // percent-decoded
  std::map<std::string, std::string> query;  // decoded; the first of a repeated name
  HttpHeaders headers;                       // a repeated field's values joined with ", "
  std::string body;
  std::vector<std::string> matches;  // the path, then each {name} segment of the route
  std::string route;                 // the matched route as documented, "/api/v1/events" say
  std::string client;                // the client's address, as the transport saw it
  bool authorized = false;           // the bearer token is a key's: `principal` says whose
  Principal principal;

  bool HasParam(const std::string& name) const { return query.count(name) != 0; }
  std::string Param(const std::string& name) const;
  bool HasHeader(const std::string& name) const { return headers.count(name) != 0; }
  std::string Header(const std::string& name) const;

  // A request for METHOD and TARGET ("/path?query"), its path and query decoded.
  static HttpRequest Make(std::string method, std::string target, HttpHeaders headers = {},
                          std::string body = {});
};

// An event stream's side of the connection.
class StreamWriter {
 public:
  virtual ~StreamWriter() = default;
  // Sends one chunk; false once the client has gone, did not take it in time, or the server
  // is stopping.
  virtual bool Write(std::string_view chunk) = 0;
  virtual bool Open() const = 0;  // false once the client has closed its end
};
// Called again and again, on a thread of its own, until it returns false; then the stream ends.
using StreamProvider = std::function<bool(StreamWriter&)>;

struct HttpResponse {
  int status = 200;
  HttpHeaders headers;
  std::string contentType;
  std::string body;
  std::optional<Json> json;  // becomes the body when the response is finished
  StreamProvider stream;     // an event stream instead of a body
  std::string route;         // Router::Handle: the request's matched route, "" for none
};

HttpResponse JsonReply(int status, Json body);
HttpResponse ErrorReply(int status, const std::string& message);
// The JSON body serialised, and the headers every answer carries.
void Finish(HttpResponse& response);

std::string PercentDecode(std::string_view text, bool plusIsSpace);
// The request's path and query from its target.
void DecodeTarget(HttpRequest& request);

class Router {
 public:
  using Handler = std::function<HttpResponse(const HttpRequest&)>;
  using Gate = std::function<bool(const HttpRequest&)>;
  // The key a bearer token is, or nullopt; must not throw.
  using Authenticate = std::function<std::optional<Principal>(std::string_view token)>;
  // Sees every request and its finished answer; must not throw.
  using Observer = std::function<void(const HttpRequest&, const HttpResponse&)>;

  explicit Router(Authenticate authenticate) : authenticate_(std::move(authenticate)) {}

  // PATH as documented: "{name}" is one path segment. A key whose role is below `role` gets 403.
  // Undocumented routes (the console's files) stay out of Routes().
  void Add(const std::string& method, const std::string& path, Handler handler,
           Role role = Role::kRead, bool documented = true);
  // Requests that need no key.
  void SetPublic(Gate isPublic) { public_ = std::move(isPublic); }
  void SetObserver(Observer observer) { observer_ = std::move(observer); }

  // The answer to `request`, finished. Never throws: a failing handler gets a JSON error, a
  // failing stream provider ends its stream.
  HttpResponse Handle(HttpRequest request) const;

  const std::vector<std::pair<std::string, std::string>>& Routes() const { return documented_; }
  // The role the documented route needs; nullopt for no such route.
  std::optional<Role> RoleOf(const std::string& method, const std::string& path) const;

 private:
  struct Route {
    std::string method;
    std::string path;                   // as added
    std::vector<std::string> segments;  // "{}" for a parameter
    Handler handler;
    Role role;
  };
  HttpResponse Dispatch(HttpRequest& request) const;

  Authenticate authenticate_;
  Gate public_;
  Observer observer_;
  std::vector<Route> routes_;
  std::vector<std::pair<std::string, std::string>> documented_;
};

// Compares two secrets in time that depends on neither's content.
bool SameSecret(const std::string& given, const std::string& expected);

}  // namespace velkor::gateway
