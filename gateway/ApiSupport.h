// What the API's route handlers share: the checks of a request's parts, which answer a fault
// with its HTTP status (HttpError), and the audit entry of a change.
#pragma once

#include <charconv>
#include <cstdint>
#include <optional>
#include <string>

#include "Api.h"
#include "Audit.h"
#include "Http.h"
#include "State.h"

namespace velkor::gateway {

[[noreturn]] inline void Fail(int status, std::string message) {
  throw HttpError{status, std::move(message)};
}

inline Json ParseBody(const HttpRequest& req) {
  Json body = Json::parse(req.body, nullptr, false);
  if (body.is_discarded()) {
    Fail(400, "the body is not JSON");
  }
  return body;
}

inline std::uint64_t SerialParam(const std::string& text) {
  const auto serial = ParseSerial(text);
  if (!serial) {
    Fail(400, "serial \"" + text.substr(0, 32) + "\" is not 14 hex digits");
  }
  return *serial;
}

// A whole number from `text`, at least min, at most max; else 400 naming `name`.
inline std::int64_t NumberParam(const std::string& text, const char* name, std::int64_t min,
                                std::int64_t max) {
  if (text.empty() || text.find_first_not_of("0123456789") != std::string::npos) {
    Fail(400, std::string(name) + " must be a whole number");
  }
  std::int64_t value = 0;
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (error != std::errc() || end != text.data() + text.size() || value < min || value > max) {
    Fail(400,
         std::string(name) + " must be from " + std::to_string(min) + " to " + std::to_string(max));
  }
  return value;
}

// ?limit= of a page: 1..kMaxEventsPage, kDefaultEventsPage when absent.
inline std::size_t PageLimit(const HttpRequest& req) {
  return req.HasParam("limit")
             ? static_cast<std::size_t>(NumberParam(req.Param("limit"), "limit", 1,
                                                    static_cast<std::int64_t>(kMaxEventsPage)))
             : kDefaultEventsPage;
}

// The device of `serial`, under the hub's lock, once Api::Recall has looked for it in the store:
// devices never leave memory, so the 404 here only guards.
inline Device& Known(Hub& hub, std::uint64_t serial) {
  Device* device = hub.Find(serial);
  if (device == nullptr) {
    Fail(404, "no device " + SerialText(serial));
  }
  return *device;
}

// What the request changes, for the audit trail; `status` is what the client is answered.
inline AuditEntry Audited(const HttpRequest& req, std::optional<std::uint64_t> device, Json detail,
                          int status = 200) {
  AuditEntry entry;
  entry.actor = req.principal.name;
  entry.address = req.client;
  entry.method = req.method;
  entry.route = req.route;
  entry.device = device;
  entry.detail = std::move(detail);
  entry.status = status;
  return entry;
}

}  // namespace velkor::gateway
