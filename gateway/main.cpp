// velkor-gateway: serves Velkorlink devices over UDP, stores every event before it
// acknowledges it, and gives applications a REST API.
//
// Threads: the link thread owns every call into the link library (the library keeps one piece
// of state and expects one caller at a time); HTTP threads (a few for the sockets, a bounded
// pool for the handlers, one per event stream) serve the API from the store and the shared state;
// the main thread waits for SIGINT or SIGTERM and then stops both, the link after it has committed
// and answered the batch in hand; on SIGHUP it rereads the token file and the TLS certificate and
// key, and the link goes on.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <openssl/rand.h>
#include <CLI/CLI.hpp>
#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <string_view>
#include <thread>

#include "Api.h"
#include "Backup.h"
#include "Checkpoint.h"
#include "DurableFloor.h"
#include "Gateway.h"
#include "KeysCommand.h"
#include "Link.h"
#include "Log.h"
#include "Mqtt.h"
#include "Retention.h"
#include "Store.h"
#include "Sync.h"
#include "Tls.h"
#include "VelkorVersion.h"

namespace {

using namespace velkor::gateway;

constexpr std::size_t kTokenBytes = 32;
constexpr std::size_t kMaxTokenFile = 4096;

[[noreturn]] void Die(const std::string& message) {
  LogError(message);
  std::exit(1);
}

std::string Trim(std::string text) {
  while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) {
    text.pop_back();
  }
  return text;
}

// A secret's file should be its owner's alone; say so, without stopping, when it is not.
void WarnIfShared(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) == 0 && (info.st_mode & 077) != 0) {
    std::fprintf(stderr,
                 "velkor-gateway: warning: %s can be read by others (mode %03o); chmod 600 it\n",
                 path.c_str(), static_cast<unsigned>(info.st_mode & 0777));
  }
}

// The token in `path`; nothing, with the reason in `error`, when the file is unusable.
std::optional<std::string> TryReadToken(const std::string& path, std::string& error) {
  WarnIfShared(path);
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot read the token file " + path + ": " + std::strerror(errno);
    return std::nullopt;
  }
  std::string text(kMaxTokenFile + 1, '\0');
  file.read(text.data(), static_cast<std::streamsize>(text.size()));
  text.resize(static_cast<std::size_t>(file.gcount()));
  if (text.size() > kMaxTokenFile) {
    error = "the token file " + path + " is larger than 4 KiB";
    return std::nullopt;
  }
  text = Trim(text);
  if (text.empty()) {
    error = "the token file " + path + " is empty";
    return std::nullopt;
  }
  return text;
}

std::string ReadToken(const std::string& path) {
  std::string error;
  std::optional<std::string> token = TryReadToken(path, error);
  if (!token) {
    Die(error);
  }
  return *token;
}

// The path of the token a gateway started with neither --token nor --token-file uses.
std::filesystem::path GeneratedTokenPath(const std::string& dbPath) {
  return std::filesystem::path(dbPath).parent_path() / "velkor-gateway.token";
}

// A parse error, told as the configuration file's when it is the file's: a key that no option
// has, or a value that an option named in the file, and not on the command line, refuses.
int ParseFailed(const CLI::App& app, const CLI::ParseError& error, const std::string& config,
                int argc, char** argv) {
  if (!config.empty()) {
    const std::string what = error.what();
    if (dynamic_cast<const CLI::FileError*>(&error) != nullptr) {
      std::fprintf(stderr, "velkor-gateway: cannot read the configuration file %s\n",
                   config.c_str());
      return 1;
    }
    const std::string notHere = ": This option is not allowed in a configuration file";
    if (what.size() > notHere.size() &&
        what.compare(what.size() - notHere.size(), notHere.size(), notHere) == 0) {
      std::fprintf(stderr, "velkor-gateway: %s: key %s: not allowed in a configuration file\n",
                   config.c_str(), what.substr(0, what.size() - notHere.size()).c_str());
      return 1;
    }
    const std::string unknown = "INI was not able to parse ";
    if (what.rfind(unknown, 0) == 0) {
      std::string key = what.substr(unknown.size());
      if (key.size() > 3 && key.compare(key.size() - 3, 3, ".++") == 0) {
        key = "[" + key.substr(0, key.size() - 3) + "]";  // a section
      }
      std::fprintf(stderr, "velkor-gateway: %s: unknown key or line: %s\n", config.c_str(),
                   key.c_str());
      return 1;
    }
    for (const CLI::Option* option : app.get_options()) {
      const std::string name = option->get_name(false, true);  // "--clock-every"
      if (name.size() < 3 || what.rfind(name + ":", 0) != 0) {
        continue;
      }
      const bool onCommandLine = std::any_of(argv + 1, argv + argc, [&](const char* arg) {
        const std::string_view text = arg;
        return text == name || text.rfind(name + "=", 0) == 0;
      });
      if (!onCommandLine) {
        const std::size_t text = what.find_first_not_of(' ', name.size() + 1);
        std::fprintf(stderr, "velkor-gateway: %s: key %s: %s\n", config.c_str(), name.c_str() + 2,
                     text == std::string::npos ? "" : what.c_str() + text);
        return 1;
      }
    }
  }
  return app.exit(error);
}

// The token of a gateway started with neither --token nor --token-file: generated at first
// start into a file beside the database that only its owner may read.
std::string GeneratedToken(const std::string& dbPath) {
  const std::filesystem::path path = GeneratedTokenPath(dbPath);
  if (std::filesystem::exists(path)) {
    return ReadToken(path.string());
  }
  unsigned char random[kTokenBytes];
  if (RAND_bytes(random, sizeof random) != 1) {
    Die("cannot draw a random token");
  }
  const std::string token = Hex(random, sizeof random);
  const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
  if (fd < 0) {
    Die("cannot create the token file " + path.string() + ": " + std::strerror(errno));
  }
  const std::string line = token + "\n";
  const bool written =
      write(fd, line.data(), line.size()) == static_cast<ssize_t>(line.size()) && fsync(fd) == 0;
  close(fd);
  if (!written) {
    std::filesystem::remove(path);
    Die("cannot write the token file " + path.string());
  }
  std::printf("token written to %s\n", path.c_str());
  return token;
}

}  // namespace

int main(int argc, char** argv) {
  std::string listen = "0.0.0.0:47810";
  std::string http = "127.0.0.1:8080";
  std::string dbPath = "velkor.db";
  std::string admit = "known";
  std::string token;
  std::string tokenFile;
  double clockEvery = 24;
  bool echoOnly = false;
  bool insecureHttp = false;
  std::string tlsCert;
  std::string tlsKey;
  MqttOptions mqtt;
  double silentAfter = 300;
  double headerTimeout = 10;
  double keepDays = 0;  // 0: every event is kept

  CLI::App app{
      "velkor-gateway: serves Velkorlink devices over UDP and gives applications a REST API.\n"
      "Every event is stored (SQLite with synchronous=FULL, or PostgreSQL with\n"
      "synchronous_commit=on) before the report that carries it is acknowledged. Each accepted\n"
      "packet from an admitted device gets exactly one reply. Several gateways may share one\n"
      "PostgreSQL database."};
  app.set_version_flag("--version", "velkor-gateway " VELKOR_VERSION);
  app.add_option("--listen", listen,
                 "UDP address for the devices, HOST:PORT or [V6]:PORT (port 0: a free one)")
      ->capture_default_str();
  app.add_option("--http", http, "address of the REST API, HOST:PORT (port 0: a free one)")
      ->capture_default_str();
  app.add_option("--db", dbPath,
                 "the store: a SQLite file (created when missing), or a PostgreSQL connection "
                 "URL postgresql://USER@HOST:PORT/DATABASE that several gateways may share")
      ->capture_default_str();
  app.add_option("--admit", admit,
                 "known: only devices admitted through the API are answered; any: every device "
                 "is admitted at first contact")
      ->check(CLI::IsMember({"known", "any"}))
      ->capture_default_str();
  auto* tokenOption =
      app.add_option("--token", token, "bearer token of the API (prefer --token-file)");
  app.add_option("--token-file", tokenFile, "file holding the bearer token of the API")
      ->excludes(tokenOption);
  app.add_option("--clock-every", clockEvery,
                 "hours between clock settings of a device (0: on first contact only)")
      ->check(CLI::Range(0.0, 24.0 * 366))
      ->capture_default_str();
  app.add_option("--mqtt", mqtt.url,
                 "publish events and device status to an MQTT broker, mqtt://HOST:PORT/ROOT or "
                 "mqtts://HOST:PORT/ROOT; take commands from ROOT/requests/SERIAL");
  app.add_option("--mqtt-user", mqtt.user, "username on the broker");
  app.add_option("--mqtt-password-file", mqtt.passwordFile, "file holding the broker password");
  app.add_option("--mqtt-cafile", mqtt.caFile, "mqtts: CA certificate of the broker");
  app.add_option("--mqtt-cert", mqtt.certFile, "mqtts: client certificate");
  app.add_option("--mqtt-key", mqtt.keyFile, "mqtts: the client certificate's key");
  app.add_option("--silent-after", silentAfter,
                 "seconds without a packet after which a device is announced silent on MQTT")
      ->check(CLI::Range(1.0, 366.0 * 86400))
      ->capture_default_str();
  app.add_option("--http-header-timeout", headerTimeout,
                 "seconds a client has to send a request's whole header (tests shorten it)")
      ->check(CLI::Range(0.1, 600.0))
      ->capture_default_str();
  auto* tlsCertOption = app.add_option(
      "--tls-cert", tlsCert,
      "serve the API and the console over HTTPS with this certificate (PEM, the server's "
      "first, then any intermediates); SIGHUP rereads it");
  auto* tlsKeyOption = app.add_option(
      "--tls-key", tlsKey, "the HTTPS certificate's key (PEM, not encrypted, mode 0600)");
  tlsCertOption->needs(tlsKeyOption);
  tlsKeyOption->needs(tlsCertOption);
  app.add_flag("--insecure-http", insecureHttp,
               "without --tls-cert: serve the API over plain HTTP on an address that is not "
               "loopback (the token and every list cross the network readable)");
  app.add_option("--keep-events", keepDays,
                 "delete events older than DAYS (default: keep every event); the newest event "
                 "is always kept")
      ->type_name("DAYS")
      ->check(CLI::Range(0.001, 100.0 * 366));
  std::string mqttRole = "operate";
  app.add_option("--mqtt-role", mqttRole,
                 "what requests taken from the broker may do: read (none), operate or admin")
      ->check(CLI::IsMember({"read", "operate", "admin"}))
      ->capture_default_str();
  // velkor-gateway keys add NAME --role ROLE | list | revoke NAME, on the store of --db.
  KeysCommand keysCommand;
  CLI::App* keys = app.add_subcommand("keys", "manage the API's keys in the store (--db)");
  keys->require_subcommand(1);
  keys->fallthrough();
  CLI::App* keysAdd = keys->add_subcommand("add", "add a key and print it, once");
  keysAdd->add_option("name", keysCommand.name, "the key's name")->required();
  keysAdd->add_option("--role", keysCommand.role, "read, operate or admin")
      ->required()
      ->check(CLI::IsMember({"read", "operate", "admin"}));
  CLI::App* keysRevoke = keys->add_subcommand("revoke", "revoke a key at once");
  keysRevoke->add_option("name", keysCommand.name, "the key's name")->required();
  keys->add_subcommand("list", "the keys' names, roles, and when created and last used");
  for (CLI::App* sub : keys->get_subcommands({})) {
    sub->fallthrough();
    sub->callback([&keysCommand, sub] { keysCommand.action = sub->get_name(); });
  }
  std::string logFormat = "text";
  app.add_option("--log-format", logFormat,
                 "the log on stderr: text lines, or one JSON object a line for log shippers")
      ->check(CLI::IsMember({"text", "json"}))
      ->capture_default_str();
  app.add_flag("--echo-only", echoOnly,
               "benchmark floor: answer every accepted packet with an echo, store nothing, no API")
      ->configurable(false);
  std::string durableFloor;
  app.add_option("--durable-floor", durableFloor,
                 "benchmark floor: as --echo-only, but append every event report to FILE "
                 "(created 0600) and fdatasync it once per batch before the batch's replies")
      ->type_name("FILE")
      ->configurable(false)
      ->excludes("--echo-only");
  // Every option but the floors may come from a file of KEY = VALUE lines (TOML), a key being
  // the option's name without its dashes; the command line overrides the file.
  CLI::Option* configOption =
      app.set_config("--config", "", "read options from this file (TOML: token-file = \"...\")");
  app.allow_config_extras(CLI::config_extras_mode::error);
  BackupOptions backupOptions;
  CLI::App* backup = app.add_subcommand(
      "backup",
      "copy a SQLite store, consistent, while a gateway may run on it; for PostgreSQL use "
      "pg_dump");
  backup->add_option("--db", backupOptions.db, "the store (default: the gateway's --db)");
  backup->add_option("--to", backupOptions.to, "the copy's file, created 0600")->required();
  backup->add_flag("--force", backupOptions.force, "replace the file when it exists");
  backup->fallthrough();  // --config, or the gateway's --db, after the word too
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return ParseFailed(app, e, configOption->as<std::string>(), argc, argv);
  }
  SetLogFormat(logFormat == "json" ? LogFormat::kJson : LogFormat::kText);
  // A benchmark floor: the link alone, no API.
  const bool floorOnly = echoOnly || app.get_option("--durable-floor")->count() > 0;
  if (!keysCommand.action.empty()) {
    return RunKeysCommand(keysCommand, dbPath);
  }
  if (*backup) {
    if (backupOptions.db.empty()) {
      if (app.get_option("--db")->count() == 0) {
        Die("backup: give --db, or a --config whose db names the store");
      }
      backupOptions.db = dbPath;
    }
    return RunBackup(backupOptions);
  }

  // Plain HTTP carries the bearer token and every card list readable by anyone on the path: it
  // stays on this machine unless the site says otherwise.
  if (!floorOnly && !insecureHttp && tlsCert.empty()) {
    std::string host;
    std::uint16_t port = 0;
    if (SplitHostPort(http, host, port) && !IsLoopbackAddress(host)) {
      Die("--http " + http +
          " is not a loopback address, and the API would be plain HTTP there: the bearer token "
          "and every card list would cross the network readable. Give --tls-cert and --tls-key "
          "to serve HTTPS, bind it to 127.0.0.1 behind a TLS-terminating proxy, or give "
          "--insecure-http to serve it so anyway");
    }
  }
  // HTTPS: a certificate or key that cannot be used stops the gateway before anything is bound.
  std::shared_ptr<TlsCredentials> tls;
  if (!floorOnly && !tlsCert.empty()) {
    WarnIfShared(tlsKey);
    try {
      tls = std::make_shared<TlsCredentials>(tlsCert, tlsKey);
    } catch (const std::exception& e) {
      Die(e.what());
    }
  }

  std::setvbuf(stdout, nullptr, _IOLBF, 0);
  // SIGINT and SIGTERM are taken by the main thread alone, with sigwait; every thread started
  // below inherits the mask.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  sigaddset(&stopSignals, SIGHUP);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  std::unique_ptr<Link> link;
  try {
    link = std::make_unique<Link>(listen);
  } catch (const std::exception& e) {
    Die(e.what());
  }
  std::atomic<bool> stop{false};

  if (floorOnly) {
    std::unique_ptr<BatchHandler> floor;
    try {
      floor = echoOnly ? std::unique_ptr<BatchHandler>(std::make_unique<EchoOnly>())
                       : std::make_unique<DurableFloor>(durableFloor);
    } catch (const std::exception& e) {
      Die(e.what());
    }
    std::printf("udp %s\n", link->BoundText().c_str());
    std::thread linkThread([&] { link->Serve(*floor, stop); });
    int signal = SIGHUP;
    while (signal == SIGHUP) {
      sigwait(&stopSignals, &signal);
    }
    stop = true;
    linkThread.join();
    return 0;
  }

  Hub hub;
  {
    unsigned char random[8];
    if (RAND_bytes(random, sizeof random) != 1) {
      Die("cannot draw a random id");
    }
    hub.origin = Hex(random, sizeof random);
    hub.silentAfterMs = static_cast<std::int64_t>(silentAfter * 1000);
  }
  const bool shared = Database::IsPostgresUrl(dbPath);
  if (shared && token.empty() && tokenFile.empty()) {
    // Gateways that share a database share their clients too: one token, given to each.
    Die("a PostgreSQL store needs --token-file (or --token): the token is not generated there");
  }
  std::unique_ptr<Database> db;
  std::unique_ptr<StoreSync> sync;
  std::unique_ptr<Gateway> gateway;
  std::unique_ptr<Api> api;
  std::unique_ptr<MqttBridge> bridge;
  std::unique_ptr<Retention> retention;
  std::unique_ptr<Checkpoints> checkpoints;
  // The file the token came from, which SIGHUP rereads; empty for a --token.
  std::string tokenSource = tokenFile;
  try {
    db = Database::Open(dbPath);
    Migrate(*db);
    PolicyOptions policy;
    policy.admit = admit == "any" ? Admit::kAny : Admit::kKnown;
    policy.clockEveryMs = static_cast<std::int64_t>(clockEvery * 3600 * 1000);
    gateway = std::make_unique<Gateway>(hub, *db, policy);
    if (!tokenFile.empty()) {
      token = ReadToken(tokenFile);
    } else if (token.empty()) {
      token = GeneratedToken(dbPath);
      tokenSource = GeneratedTokenPath(dbPath).string();
    }
    if (shared) {
      sync = std::make_unique<StoreSync>(hub, dbPath);
    }
    HttpLimits limits;
    limits.headerTimeout =
        std::chrono::milliseconds(static_cast<std::int64_t>(headerTimeout * 1000));
    api = std::make_unique<Api>(hub, dbPath, token, limits);
    if (tls) {
      api->UseTls(tls);
    }
    api->Bind(http);
    if (!mqtt.url.empty()) {
      if (!mqtt.passwordFile.empty()) {
        WarnIfShared(mqtt.passwordFile);
      }
      mqtt.silentAfterMs = static_cast<std::int64_t>(silentAfter * 1000);
      mqtt.requestRole = ParseRole(mqttRole).value_or(Role::kOperate);
      bridge = std::make_unique<MqttBridge>(hub, dbPath, mqtt);
    }
    if (!shared) {
      checkpoints = std::make_unique<Checkpoints>(dbPath);
    }
    if (keepDays > 0) {
      retention = std::make_unique<Retention>(
          dbPath, std::chrono::milliseconds(static_cast<std::int64_t>(keepDays * 86400 * 1000)));
    }
  } catch (const DatabaseError& e) {
    Die("cannot use the store " + Database::Redacted(dbPath) + ": " + e.what());
  } catch (const std::exception& e) {
    Die(e.what());
  }

  hub.linkUp = true;
  std::printf("udp %s\nhttp %s\n", link->BoundText().c_str(), api->BoundText().c_str());
  std::fflush(stdout);
  LogInfo("started " VELKOR_VERSION ": devices on udp " + link->BoundText() + ", API on " +
          api->BoundText() + ", store " + Database::Redacted(dbPath));

  // Replies that wait for a commit leave from the store thread once it is done.
  gateway->StartPipeline([&link](std::span<Datagram> replies) { link->Send(replies); });
  std::thread linkThread([&] {
    link->Serve(*gateway, stop);
    gateway->Flush();
  });
  std::thread httpThread([&] { api->Serve(); });
  if (sync) {
    sync->Start();
  }
  if (retention) {
    retention->Start();
  }
  if (checkpoints) {
    checkpoints->Start();
  }
  if (bridge) {
    bridge->Start();
    std::printf("mqtt %s%s\n", mqtt.url.c_str(),
                bridge->TakesRequests() ? " (requests taken)" : "");
  }

  // The token's file, when it has one, is reread on SIGHUP: a new token takes effect at once, and
  // an unusable file keeps the token in use.
  const std::string& rereadFrom = tokenSource;
  int signal = 0;
  for (sigwait(&stopSignals, &signal); signal == SIGHUP; sigwait(&stopSignals, &signal)) {
    // The certificate and key too: connections from now on get the new pair, those open keep
    // theirs, and a pair that cannot be used keeps the one in use.
    if (tls) {
      WarnIfShared(tls->keyFile());
      try {
        tls->Reload();
        std::printf("velkor-gateway: SIGHUP: TLS certificate reread from %s\n",
                    tls->certFile().c_str());
      } catch (const std::exception& e) {
        std::fprintf(stderr, "velkor-gateway: SIGHUP: %s; the certificate in use is kept\n",
                     e.what());
      }
    }
    if (rereadFrom.empty()) {
      LogInfo("SIGHUP: the token was given on the command line; kept");
      continue;
    }
    std::string error;
    if (std::optional<std::string> reread = TryReadToken(rereadFrom, error)) {
      api->SetToken(std::move(*reread));
      LogInfo("SIGHUP: token reread from " + rereadFrom);
    } else {
      LogWarning("SIGHUP: " + error + "; the token in use is kept");
    }
  }
  LogInfo(std::string(signal == SIGTERM ? "SIGTERM" : "SIGINT") + ", stopping");
  if (retention) {
    retention->Stop();  // wakes it from its wait; a batch in hand is committed first
  }
  // The link first: it finishes and commits the batch in hand, answers it, and writes the
  // registry. The API after it, so that it reports the link down meanwhile.
  stop = true;
  linkThread.join();
  {
    std::lock_guard lock(hub.mutex);
    hub.linkUp = false;
  }
  api->Stop();
  httpThread.join();
  if (sync) {
    sync->Stop();
  }
  if (checkpoints) {
    checkpoints->Stop();
  }
  if (bridge) {
    bridge->Stop();  // what it has not published is published by the next start
  }
  const LinkCounters& c = hub.counters;
  LogInfo("stopped: packets accepted " + std::to_string(c.accepted) + ", refused " +
          std::to_string(c.refused) + ", answered " + std::to_string(c.answered) +
          ", events stored " + std::to_string(c.eventsStored));
  return 0;
}
