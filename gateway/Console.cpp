#include "Console.h"

#include <httplib.h>

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

void AddConsoleRoutes(httplib::Server& server) {
  for (const ConsoleFile& file : kFiles) {
    // The pattern is a regular expression: the dot in the file names is escaped.
    std::string pattern;
    for (const char* c = file.path; *c != '\0'; ++c) {
      pattern += *c == '.' ? std::string("\\.") : std::string(1, *c);
    }
    server.Get(pattern, [file](const httplib::Request&, httplib::Response& res) {
      // No inline script or style, no framing, nothing cached, no referrer to other sites.
      res.set_header("Content-Security-Policy", "default-src 'self'");
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_header("Cache-Control", "no-store");
      res.set_header("Referrer-Policy", "no-referrer");
      res.set_header("X-Frame-Options", "DENY");
      res.set_content(file.content(), file.type);
    });
  }
}

}  // namespace velkor::gateway
