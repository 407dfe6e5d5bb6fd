#include "Console.h"

namespace velkor::gateway {
namespace {

struct ConsoleFile {
  const char* path;
  const char* (*content)();
  const char* type;
};

constexpr ConsoleFile kFiles[] = {
    {"/", ConsolePage, "text/html; charset=utf-8"},
    {"/console.js", ConsoleScript, "text/javascript; charset=utf-8"},
    {"/console.css", ConsoleStyle, "text/css; charset=utf-8"},
};

}  // namespace

bool IsConsolePath(const std::string& path) {
  for (const ConsoleFile& file : kFiles) {
    if (path == file.path) {
      return true;
    }
  }
  return false;
}

void AddConsoleRoutes(Router& router) {
  for (const ConsoleFile& file : kFiles) {
    router.Add(
        "GET", file.path,
        [file](const HttpRequest&) {
          HttpResponse res;
          // No inline script or style, no framing, nothing cached, no referrer to other sites.
          res.headers["Content-Security-Policy"] = "default-src 'self'";
          res.headers["X-Content-Type-Options"] = "nosniff";
          res.headers["Cache-Control"] = "no-store";
          res.headers["Referrer-Policy"] = "no-referrer";
          res.headers["X-Frame-Options"] = "DENY";
          res.contentType = file.type;
          res.body = file.content();
          return res;
        },
        Role::kRead, false);
  }
}

}  // namespace velkor::gateway
