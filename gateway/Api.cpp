#include "Api.h"

#include <httplib.h>
#include <openssl/crypto.h>
#include <openssl/evp.h>

#include <chrono>
#include <regex>
#include <stdexcept>

#include "Commands.h"
#include "Console.h"
#include "Link.h"
#include "Requests.h"
#include "Store.h"

namespace velkor::gateway {
namespace {

constexpr int kThreads = 16;
constexpr auto kStreamWait = std::chrono::seconds(1);
constexpr int kKeepAliveEverySeconds = 15;
constexpr std::size_t kStreamPage = 100;

struct HttpError {
  int status;
  std::string message;
};

void Send(httplib::Response& res, int status, const Json& body) {
  res.status = status;
  // Answers are about the moment they are asked: never cached, never sniffed as another type.
  res.set_header("Cache-Control", "no-store");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_content(body.dump(), "application/json");
}

[[noreturn]] void Fail(int status, std::string message) {
  throw HttpError{status, std::move(message)};
}

Json ParseBody(const httplib::Request& req) {
  Json body = Json::parse(req.body, nullptr, false);
  if (body.is_discarded()) {
    Fail(400, "the body is not JSON");
  }
  return body;
}

std::uint64_t SerialParam(const std::string& text) {
  const auto serial = ParseSerial(text);
  if (!serial) {
    Fail(400, "serial \"" + text.substr(0, 32) + "\" is not 14 hex digits");
  }
  return *serial;
}

// A whole number from `text`, at least min, at most max; else 400 naming `name`.
std::int64_t NumberParam(const std::string& text, const char* name, std::int64_t min,
                         std::int64_t max) {
  if (text.empty() || text.size() > 19 ||
      text.find_first_not_of("0123456789") != std::string::npos) {
    Fail(400, std::string(name) + " must be a whole number");
  }
  const std::int64_t value = std::stoll(text);
  if (value < min || value > max) {
    Fail(400,
         std::string(name) + " must be from " + std::to_string(min) + " to " + std::to_string(max));
  }
  return value;
}

Device& Known(Hub& hub, std::uint64_t serial) {
  Device* device = hub.Find(serial);
  if (device == nullptr) {
    Fail(404, "no device " + SerialText(serial));
  }
  return *device;
}

std::string StreamChunk(const Json& event) {
  return "id: " + std::to_string(event["id"].get<std::int64_t>()) + "\ndata: " + event.dump() +
         "\n\n";
}

}  // namespace

bool SameSecret(const std::string& given, const std::string& expected) {
  // Digests first, so that the comparison takes as long whatever the lengths.
  unsigned char a[EVP_MAX_MD_SIZE];
  unsigned char b[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(given.data(), given.size(), a, &length, EVP_sha256(), nullptr);
  EVP_Digest(expected.data(), expected.size(), b, &length, EVP_sha256(), nullptr);
  return CRYPTO_memcmp(a, b, length) == 0;
}

Api::Api(Hub& hub, const std::string& dbPath, std::string token)
    : hub_(hub),
      db_(Database::Open(dbPath)),
      token_(std::move(token)),
      server_(std::make_unique<httplib::Server>()) {
  server_->new_task_queue = [] { return new httplib::ThreadPool(kThreads); };
  server_->set_payload_max_length(kMaxBody);
  // httplib's default also sets SO_REUSEPORT, which would let a second gateway share the port
  // without a word; a port in use must stop the second one instead.
  server_->set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  server_->set_read_timeout(10);
  server_->set_write_timeout(10);
  Routes();
}

Api::~Api() = default;

void Api::Bind(const std::string& listen) {
  std::uint16_t port = 0;
  if (!SplitHostPort(listen, host_, port)) {
    throw std::runtime_error("--http " + listen + ": not HOST:PORT");
  }
  if (port == 0) {
    port_ = server_->bind_to_any_port(host_);
  } else {
    port_ = server_->bind_to_port(host_, port) ? port : -1;
  }
  if (port_ <= 0) {
    throw std::runtime_error("cannot listen on HTTP " + listen +
                             " (address in use, or not an address of this machine)");
  }
}

std::string Api::BoundText() const {
  const bool v6 = host_.find(':') != std::string::npos;
  return "http://" + (v6 ? "[" + host_ + "]" : host_) + ":" + std::to_string(port_);
}

void Api::Serve() {
  server_->listen_after_bind();
}

void Api::Stop() {
  stopping_ = true;
  {
    std::lock_guard lock(hub_.mutex);
    hub_.eventsChanged.notify_all();
  }
  server_->stop();
}

void Api::Add(const std::string& method, const std::string& path,
              const std::function<void(const httplib::Request&, httplib::Response&)>& handler) {
  routes_.emplace_back(method, path);
  // "{name}" in the documented path is one path segment.
  const std::string pattern = std::regex_replace(path, std::regex(R"(\{[a-z]+\})"), "([^/]+)");
  if (method == "GET") {
    server_->Get(pattern, handler);
  } else if (method == "PUT") {
    server_->Put(pattern, handler);
  } else {
    server_->Post(pattern, handler);
  }
}

void Api::Routes() {
  httplib::Server& s = *server_;
  using Req = httplib::Request;
  using Res = httplib::Response;

  // Every handler runs inside this: HttpError becomes its status, a store failure 503; an
  // error changes nothing, since each handler validates before it writes.
  const auto wrap = [this](auto handler) {
    return [this, handler](const Req& req, Res& res) {
      try {
        handler(req, res);
      } catch (const HttpError& e) {
        Send(res, e.status, {{"error", e.message}});
      } catch (const DatabaseError& e) {
        std::lock_guard lock(hub_.mutex);
        hub_.storeError = e.what();
        Send(res, 503, {{"error", std::string("store: ") + e.what()}});
      }
    };
  };

  s.set_pre_routing_handler([this](const Req& req, Res& res) {
    if (req.path == "/api/v1/openapi.json" || req.path == "/api/v1/healthz") {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    // The console's files hold no data; the calls the page makes carry the token.
    if ((req.method == "GET" || req.method == "HEAD") && IsConsolePath(req.path)) {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    // Browsers ask for an icon on their own, without the token: a plain 404, not a 401.
    if (req.path == "/favicon.ico") {
      return httplib::Server::HandlerResponse::Unhandled;
    }
    const std::string header = req.get_header_value("Authorization");
    const std::string prefix = "Bearer ";
    if (header.compare(0, prefix.size(), prefix) != 0 ||
        !SameSecret(header.substr(prefix.size()), token_)) {
      res.set_header("WWW-Authenticate", "Bearer");
      Send(res, 401, {{"error", "missing or wrong bearer token"}});
      return httplib::Server::HandlerResponse::Handled;
    }
    return httplib::Server::HandlerResponse::Unhandled;
  });
  s.set_error_handler([](const Req& req, Res& res) {
    if (!res.body.empty()) {
      return;
    }
    const std::string message = res.status == 404   ? "no route " + req.method + " " + req.path
                                : res.status == 413 ? "the body is larger than 1 MiB"
                                : res.status == 400 ? "malformed request"
                                                    : "error " + std::to_string(res.status);
    Send(res, res.status, {{"error", message}});
  });
  s.set_exception_handler([](const Req&, Res& res, std::exception_ptr) {
    Send(res, 500, {{"error", "internal error"}});
  });

  // The web console, outside the API's route table (and so outside the OpenAPI document).
  AddConsoleRoutes(s);

  Add("GET", "/api/v1/openapi.json",
      [](const Req&, Res& res) { res.set_content(OpenApiDocument(), "application/json"); });

  Add("GET", "/api/v1/healthz", wrap([this](const Req&, Res& res) {
        std::lock_guard lock(hub_.mutex);
        const bool ok = hub_.linkUp && hub_.storeError.empty();
        Send(res, ok ? 200 : 503,
             {{"status", ok ? "ok" : "degraded"},
              {"link", hub_.linkUp ? "up" : "down"},
              {"store", hub_.storeError.empty() ? "ok" : hub_.storeError},
              {"devices", hub_.devices.size()}});
      }));

  Add("GET", "/api/v1/link", wrap([this](const Req&, Res& res) {
        std::lock_guard lock(hub_.mutex);
        const LinkCounters& c = hub_.counters;
        Json refused = Json::object();
        for (const auto& [address, count] : hub_.refusedByAddress) {
          refused[address] = count;
        }
        Send(res, 200,
             {{"received", c.received},
              {"accepted", c.accepted},
              {"refused", c.refused},
              {"oversized", c.oversized},
              {"answered", c.answered},
              {"unadmitted", c.unadmitted},
              {"conflicts", c.conflicts},
              {"duplicates", c.duplicates},
              {"events_stored", c.eventsStored},
              {"batches", c.batches},
              {"commits", c.commits},
              {"commit_failures", c.commitFailures},
              {"refused_by_address", refused}});
      }));

  Add("GET", "/api/v1/devices", wrap([this](const Req&, Res& res) {
        std::lock_guard lock(hub_.mutex);
        std::vector<const Device*> devices;
        for (const auto& [_, d] : hub_.devices) {
          devices.push_back(&d);
        }
        std::sort(devices.begin(), devices.end(),
                  [](const Device* a, const Device* b) { return a->serial < b->serial; });
        Json list = Json::array();
        for (const Device* d : devices) {
          list.push_back(DeviceJson(*d));
        }
        Send(res, 200, {{"devices", list}});
      }));

  Add("GET", "/api/v1/devices/{serial}", wrap([this](const Req& req, Res& res) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        std::lock_guard lock(hub_.mutex);
        Send(res, 200, DeviceJson(Known(hub_, serial)));
      }));

  Add("POST", "/api/v1/devices/{serial}/admit", wrap([this](const Req& req, Res& res) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        // {"address": ...} moves the pin to where a refused packet came from.
        std::optional<std::string> address;
        if (!req.body.empty()) {
          const Json body = ParseBody(req);
          const auto named = body.is_object() ? body.find("address") : body.end();
          if (!body.is_object() || named == body.end() || !named->is_string()) {
            Fail(400, "the body, when given, is {\"address\": \"...\"}");
          }
          address = named->get<std::string>();
        }
        std::lock_guard db(dbMutex_);
        std::lock_guard lock(hub_.mutex);
        Device& d = Known(hub_, serial);
        if (address && *address != d.ip && *address != d.conflictAddress) {
          Fail(400,
               "address: the device was last seen at " + d.ip +
                   (d.conflictAddress.empty() ? "" : " and refused from " + d.conflictAddress));
        }
        // The address its last accepted packet came from, unless the admission names another.
        const std::string pinned = address.value_or(d.ip);
        Device admitted = d.Registry();
        admitted.admitted = true;
        admitted.pinnedIp = pinned;
        Transaction transaction(*db_);  // the write and its notice, or neither
        SaveAdmission(*db_, admitted);
        Announce(*db_, hub_.origin, serial);
        transaction.Commit();
        hub_.pendingDevices -= d.admitted ? 0 : 1;
        d.admitted = true;
        d.pinnedIp = pinned;
        Send(res, 200, DeviceJson(d));
      }));

  for (ListKind kind : {ListKind::kCards, ListKind::kGroups, ListKind::kSchedules}) {
    const std::string listRoute = std::string("/api/v1/devices/{serial}/") + ListName(kind);
    Add("GET", listRoute, wrap([this, kind](const Req& req, Res& res) {
          const std::uint64_t serial = SerialParam(req.matches[1]);
          std::lock_guard lock(hub_.mutex);
          const auto& list = Known(hub_, serial).lists[static_cast<std::size_t>(kind)];
          if (!list) {
            Fail(404, std::string("no ") + ListName(kind) + " list set for " + SerialText(serial));
          }
          Send(res, 200, list->body);
        }));
    Add("PUT", listRoute, wrap([this, kind](const Req& req, Res& res) {
          const std::uint64_t serial = SerialParam(req.matches[1]);
          const Json body = ParseBody(req);
          if (!body.is_array()) {
            Fail(400, std::string(ListName(kind)) + ": must be an array of records");
          }
          if (body.size() > ListLimit(kind)) {
            Fail(422, std::string(ListName(kind)) + ": " + std::to_string(body.size()) +
                          " records, a device takes at most " + std::to_string(ListLimit(kind)));
          }
          FieldError error;
          Json records;
          if (kind == ListKind::kCards) {
            const auto cards = CardsFromJson(body, error);
            records = cards ? CardsToJson(cards->data(), cards->size()) : Json();
          } else if (kind == ListKind::kGroups) {
            const auto groups = GroupsFromJson(body, error);
            records = groups ? GroupsToJson(groups->data(), groups->size()) : Json();
          } else {
            const auto schedules = SchedulesFromJson(body, error);
            records = schedules ? SchedulesToJson(schedules->data(), schedules->size()) : Json();
          }
          if (records.is_null()) {
            Fail(400, error.Message());
          }
          std::lock_guard db(dbMutex_);
          std::lock_guard lock(hub_.mutex);
          Device& d = Known(hub_, serial);
          auto& slot = d.lists[static_cast<std::size_t>(kind)];
          WantedList list;
          list.body = records;
          list.state = "wanted";
          list.setAt = IsoTime(NowMs());
          Transaction transaction(*db_);
          list.version = SaveList(*db_, serial, kind, list);
          Announce(*db_, hub_.origin, serial);
          transaction.Commit();
          if (!slot || slot->version < list.version) {  // not when a newer one came meanwhile
            slot = list;
          }
          Send(res, 200, ListStatus(list));
        }));
  }

  Add("POST", "/api/v1/devices/{serial}/commands", wrap([this](const Req& req, Res& res) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        const Json body = ParseBody(req);
        std::lock_guard db(dbMutex_);
        const Queued queued = QueueCommand(hub_, *db_, serial, body);
        Send(res, queued.status, queued.body);
      }));
  Add("GET", "/api/v1/devices/{serial}/commands", wrap([this](const Req& req, Res& res) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        {
          std::lock_guard lock(hub_.mutex);
          Known(hub_, serial);
        }
        std::lock_guard db(dbMutex_);
        Send(res, 200, {{"commands", ListCommands(*db_, serial, std::nullopt)}});
      }));
  Add("GET", "/api/v1/devices/{serial}/commands/{id}", wrap([this](const Req& req, Res& res) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        const std::int64_t id = NumberParam(req.matches[2], "command id", 1, INT64_MAX);
        {
          std::lock_guard lock(hub_.mutex);
          Known(hub_, serial);
        }
        std::lock_guard db(dbMutex_);
        const Json found = ListCommands(*db_, serial, id);
        if (found.empty()) {
          Fail(404, "no command " + std::to_string(id) + " for " + SerialText(serial));
        }
        Send(res, 200, found[0]);
      }));

  Add("PUT", "/api/v1/devices/{serial}/voice/{word}", wrap([this](const Req& req, Res& res) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        const auto word = static_cast<std::uint16_t>(NumberParam(req.matches[2], "word", 0, 65535));
        if (req.body.size() > kMaxVoiceClip) {
          Fail(413, "a voice clip holds at most " + std::to_string(kMaxVoiceClip) +
                        " bytes (one datagram)");
        }
        const std::vector<std::uint8_t> clip(req.body.begin(), req.body.end());
        std::lock_guard db(dbMutex_);
        std::lock_guard lock(hub_.mutex);
        Device& d = Known(hub_, serial);
        Transaction transaction(*db_);
        SaveVoice(*db_, serial, word, clip, IsoTime(NowMs()));
        Announce(*db_, hub_.origin, serial);
        transaction.Commit();
        d.voice[word] = clip;
        hub_.VoiceWritten(serial, word);
        Send(res, 200, {{"word", word}, {"length", clip.size()}});
      }));
  Add("GET", "/api/v1/devices/{serial}/voice/{word}", wrap([this](const Req& req, Res& res) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        const auto word = static_cast<std::uint16_t>(NumberParam(req.matches[2], "word", 0, 65535));
        std::lock_guard lock(hub_.mutex);
        const Device& d = Known(hub_, serial);
        const auto clip = d.voice.find(word);
        if (clip == d.voice.end()) {
          Fail(404, "no voice clip " + std::to_string(word) + " for " + SerialText(serial));
        }
        res.set_content(reinterpret_cast<const char*>(clip->second.data()), clip->second.size(),
                        "application/octet-stream");
      }));

  Add("PUT", "/api/v1/devices/{serial}/templates/{slot}", wrap([this](const Req& req, Res& res) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        const auto slot = static_cast<std::uint8_t>(NumberParam(req.matches[2], "slot", 0, 255));
        const Json body = ParseBody(req);
        const auto text = body.is_object() ? body.find("template") : body.end();
        if (!body.is_object() || text == body.end() || !text->is_string()) {
          Fail(400, "template: must be the 128 template bytes as hex");
        }
        const auto bytes = FromHex(text->get<std::string>());
        if (!bytes || bytes->size() != kTemplateLength) {
          Fail(400, "template: must be the 128 template bytes as hex (256 digits)");
        }
        Template data;
        std::copy(bytes->begin(), bytes->end(), data.begin());
        std::lock_guard db(dbMutex_);
        std::lock_guard lock(hub_.mutex);
        Device& d = Known(hub_, serial);
        const std::string at = IsoTime(NowMs());
        Transaction transaction(*db_);
        SaveTemplate(*db_, serial, slot, data, "api", at);
        Announce(*db_, hub_.origin, serial);
        transaction.Commit();
        d.templates[slot] = data;
        hub_.TemplateWritten(serial, slot);
        Send(res, 200,
             {{"slot", slot},
              {"template", Hex(data.data(), data.size())},
              {"source", "api"},
              {"updated_at", at}});
      }));
  Add("GET", "/api/v1/devices/{serial}/templates/{slot}", wrap([this](const Req& req, Res& res) {
        const std::uint64_t serial = SerialParam(req.matches[1]);
        const auto slot = static_cast<std::uint8_t>(NumberParam(req.matches[2], "slot", 0, 255));
        std::lock_guard lock(hub_.mutex);
        const Device& d = Known(hub_, serial);
        const auto stored = d.templates.find(slot);
        if (stored == d.templates.end()) {
          Fail(404, "no template in slot " + std::to_string(slot) + " for " + SerialText(serial));
        }
        Send(res, 200, {{"slot", slot}, {"template", Hex(stored->second.data(), kTemplateLength)}});
      }));

  Add("GET", "/api/v1/events", wrap([this](const Req& req, Res& res) {
        std::optional<std::uint64_t> device;
        if (req.has_param("device")) {
          device = SerialParam(req.get_param_value("device"));
        }
        const std::int64_t after =
            req.has_param("after")
                ? NumberParam(req.get_param_value("after"), "after", 0, INT64_MAX)
                : 0;
        const std::int64_t limit = req.has_param("limit")
                                       ? NumberParam(req.get_param_value("limit"), "limit", 1,
                                                     static_cast<std::int64_t>(kMaxEventsPage))
                                       : static_cast<std::int64_t>(kDefaultEventsPage);
        std::lock_guard db(dbMutex_);
        Json events = ListEvents(*db_, device, after, static_cast<std::size_t>(limit));
        const std::int64_t next = events.empty() ? after : events.back()["id"].get<std::int64_t>();
        Send(res, 200, {{"events", std::move(events)}, {"next", next}});
      }));

  Add("GET", "/api/v1/events/stream", wrap([this](const Req& req, Res& res) {
        std::optional<std::uint64_t> device;
        if (req.has_param("device")) {
          device = SerialParam(req.get_param_value("device"));
        }
        std::int64_t after = 0;
        if (req.has_header("Last-Event-ID")) {
          after = NumberParam(req.get_header_value("Last-Event-ID"), "Last-Event-ID", 0, INT64_MAX);
        } else if (req.has_param("after")) {
          after = NumberParam(req.get_param_value("after"), "after", 0, INT64_MAX);
        }
        if (streams_.fetch_add(1) >= kMaxStreams) {
          streams_.fetch_sub(1);
          Fail(503, "too many event streams open (at most " + std::to_string(kMaxStreams) + ")");
        }
        auto last = std::make_shared<std::int64_t>(after);
        auto idle = std::make_shared<int>(0);
        res.set_header("Cache-Control", "no-cache");
        res.set_chunked_content_provider(
            "text/event-stream",
            [this, device, last, idle](std::size_t, httplib::DataSink& sink) {
              if (stopping_) {
                sink.done();
                return true;
              }
              Json events;
              {
                std::lock_guard db(dbMutex_);
                events = ListEvents(*db_, device, *last, kStreamPage);
              }
              if (events.empty()) {
                std::unique_lock lock(hub_.mutex);
                const std::int64_t seen = hub_.lastEventId;
                hub_.eventsChanged.wait_for(lock, kStreamWait,
                                            [&] { return stopping_ || hub_.lastEventId != seen; });
                if (++*idle >= kKeepAliveEverySeconds) {
                  *idle = 0;
                  return sink.write(": keep-alive\n\n", 14);
                }
                return sink.is_writable();
              }
              *idle = 0;
              for (const Json& event : events) {
                const std::string chunk = StreamChunk(event);
                if (!sink.write(chunk.data(), chunk.size())) {
                  return false;
                }
                *last = event["id"].get<std::int64_t>();
              }
              return true;
            },
            [this](bool) { streams_.fetch_sub(1); });
      }));
}

}  // namespace velkor::gateway
