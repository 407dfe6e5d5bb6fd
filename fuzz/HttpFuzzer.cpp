// The REST API: one whole request as the bytes a client sends, read by the server's own parser
// under its limits, then answered in process by the router and the handlers, against a
// scratch SQLite store and a hub that knows two devices (one of each generation).
//
// Input: a raw HTTP/1.1 request. Checks: nothing throws out of the router; no answer is a 500
// (a handler failing in a way it does not mean to, a number past 64 bits say); every JSON
// answer is strict JSON (valid UTF-8), an error one {"error": "..."}.
#include <unistd.h>

#include <cstdlib>
#include <filesystem>

#include "Api.h"
#include "FuzzSupport.h"
#include "HttpServer.h"
#include "Store.h"

namespace {

using namespace velkor::gateway;

class Scene {
 public:
  Scene() {
    // tmpfs where there is one: every write of the store is a synced transaction.
    const std::filesystem::path base = std::filesystem::exists("/dev/shm")
                                           ? std::filesystem::path("/dev/shm")
                                           : std::filesystem::temp_directory_path();
    std::string pattern = (base / "velkor-fuzz-http-XXXXXX").string();
    FUZZ_CHECK(mkdtemp(pattern.data()) != nullptr);
    dir_ = pattern;
    const std::string path = (dir_ / "velkor.db").string();
    {
      auto db = Database::Open(path);
      Migrate(*db);
      for (const auto& [serial, type] : {std::pair{0x0A2DEC89025CC1ULL, 1}, {0x42ULL, 0}}) {
        Device& d = hub_.devices[serial];
        d.serial = serial;
        d.type = type;
        d.admitted = type == 1;
        d.ip = "127.0.0.1";
        SaveDevice(*db, d);
      }
    }
    hub_.linkUp = true;
    api_ = std::make_unique<Api>(hub_, path, "fuzz-token");
  }
  ~Scene() {
    api_.reset();
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  Api& api() { return *api_; }

 private:
  std::filesystem::path dir_;
  Hub hub_;
  std::unique_ptr<Api> api_;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  static Scene scene;
  const ParsedRequest parsed =
      ParseRequest(std::string_view(reinterpret_cast<const char*>(data), size), HttpLimits{});
  if (!parsed.request) {
    FUZZ_CHECK(parsed.status == 400 || parsed.status == 413 || parsed.status == 431);
    return 0;
  }
  // An event stream's provider is not run (it waits for events); dropping it frees its place.
  const HttpResponse response = scene.api().Handle(std::move(*parsed.request));
  FUZZ_CHECK(response.status >= 200 && response.status < 600);
  FUZZ_CHECK(response.status != 500);
  FUZZ_CHECK(response.headers.count("X-Content-Type-Options") == 1);
  if (response.contentType == "application/json") {
    const Json body = Json::parse(response.body, nullptr, false);
    FUZZ_CHECK(!body.is_discarded());
    if (response.status >= 400) {
      FUZZ_CHECK(body.is_object() && body.contains("error") && body.at("error").is_string());
    }
  }
  return 0;
}
