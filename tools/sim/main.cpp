// velkor-sim: simulated devices of both generations that talk to a host over UDP, check every
// reply the host sends and report what they saw.
#include <signal.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>
#include <string_view>

#include "Report.h"
#include "Simulator.h"
#include "VelkorVersion.h"

namespace {

constexpr int kExitUsage = 2;
constexpr unsigned long long kMaxLoadSeconds = 86400;

volatile std::sig_atomic_t stopRequested = 0;

extern "C" void RequestStop(int) {
  stopRequested = 1;
}

constexpr char kHelp[] = R"(usage: velkor-sim [options]

Plays one or more devices against a host over UDP. Devices speak first: each sends its
packets sealed under the incoming link key, waits for the host's one reply, checks it (it must
open under the outgoing link key, carry bytes 1..9 and block bytes 8..13 back, and hold a
command the device understands in answer to that packet) and applies it to its state.

Devices alternate between the generations: device 1, 3, ... are current devices (type 1),
device 2, 4, ... legacy controllers behind a network module (type 0). Every round each device
sends every packet family of its generation in a shuffled order:
  0xFF configuration (the first packet of a device), 0xFA module packet (legacy),
  0xFC configuration with firmware version, 0x01 event report, 0x02 poll,
  0xF8 card list, 0xF6 group list, 0xF4 schedule list, 0xEE reader mode report,
  0xE8 fingerprint template upload and 0xEA template request, 0xEC finger mode report
  (current), 0xF2 voice data request (legacy).
Event reports use command code 0x01 and polls 0x02: the link library fixes no code for them.
Event records mix kinds 0..5 and every code group.

A device asks for the templates it uploaded itself; a template reply for such a slot must
carry the template the device last uploaded for it (any 128 bytes for another slot). A clock
setting must be within two minutes of the local clock.

The devices share --sockets UDP sockets (device i uses socket i % N); a reply goes to its
device by the serial in its bytes 3..9. In rounds one exchange runs at a time.

options:
  --host ADDR        host's IPv4 address (default 127.0.0.1)
  --port N           host's UDP port (default 47810)
  --bind ADDR        local IPv4 address the devices' sockets send from (default: any)
  --devices N        number of devices, 1..10000 (default 2)
  --sockets N        UDP sockets the devices share, 1..10000 (default: devices, at most 64)
  --rounds N         rounds of packets per device (default 3)
  --seed N           seed of everything the devices draw (default 1); a seed gives one run
  --fleet-seed N     seed of the devices' identities alone (serials, configurations), so that
                     runs with other seeds are the same fleet to the host (default: --seed)
  --faults LIST      comma-separated faults, each injected once per device in a seeded round,
                     or "all" (rounds only, not with --load):
                       corrupt-block  a bit of the sealed block flipped
                       wrong-serial   a block whose serial copy differs from bytes 3..9
                       truncated      a packet cut short of its head (a voice request short
                                      of its request word)
                       duplicate      a packet sent twice
                       burst          3 to 6 polls and event reports back to back
                     The first three must be refused without a reply (each is followed by
                     the intact packet, whose reply must come first); the last two must be
                     answered once per datagram.
  --timeout-ms N     wait for each reply (default 1000)
  --retries N        send a valid packet again, byte for byte, when its reply does not come
                     within the timeout, up to N times (0..10, default 0); a packet counts as
                     missing only when every copy went unanswered. Spoiled packets are never
                     sent again.
  --interval-ms N    pause between exchanges (default 0; rounds only)
  --events-per-report N
                     event records in each report, 1..32 (default: 1 to 5, drawn)
  --load SECONDS     load mode instead of rounds: every device keeps one packet outstanding
                     and sends its next one as soon as the reply to the last is verified (or
                     given up), all devices at once, for SECONDS; then it waits for what is
                     outstanding (up to the timeout) and prints the load line:
                       velkor-sim: load S s, N exchanges, R exchanges/s,
                         latency p50 U us, p99 U us, p99.9 U us, max U us
                     (one line; N counts verified exchanges, latency runs from the first send
                     of a packet to its verified reply). Only failures are logged.
  --rate N           with --load: open loop instead, N packets a second from the whole
                     fleet (1..1000000). Each device first sends its configuration and has it
                     answered; then packet k is due at start + k/N, from device k % devices,
                     and goes when due whatever the replies (a device may have several
                     outstanding); a sender behind schedule sends what is due at once. Latency
                     and --timeout-ms run from the time a packet was due, not from when it
                     went; a packet without its reply by then is missing (never sent again,
                     so not with --retries). The load line adds:
                       , offered N packets/s, sent R packets/s
                     (R below N when the sender could not keep up).
  --traffic KIND     what a device sends in load mode after its configuration (0xFF):
                       mixed   every family of its generation, round after round (default)
                       polls   polls (0x02) only
                       events  event reports (0x01) only
  --report FILE      write a JSON report when the run ends, also when it ends early: on
                     SIGINT or SIGTERM, or when the host stops answering (see docs/velkor-sim.md)
  --quiet            print failures and the summary only
  --help             this text
  --version          the version

The run ends early, with exit status 1, when the host stops answering: its port reports
closed, or no reply at all comes for max(3 s, timeout x (retries + 1)) while packets are
outstanding. SIGINT and SIGTERM stop the run too: nothing more is sent, the report is
written, the exit status is 1.

Exit status: 0 when every reply was verified, no packet went unanswered and no spoiled packet
was answered; 1 otherwise; 2 for a usage error, a socket that cannot be set up or a report
that cannot be written.
)";

bool ParseNumber(const char* text, unsigned long long max, unsigned long long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoull(text, &end, 10);
  return errno == 0 && end != text && *end == '\0' && value <= max && text[0] != '-';
}

bool ParseFaults(std::string_view list, velkor::sim::Options& options) {
  if (list == "all") {
    for (std::size_t i = 0; i < velkor::sim::kFaultKinds; ++i) {
      options.faults.push_back(static_cast<velkor::sim::Fault>(i));
    }
    return true;
  }
  while (!list.empty()) {
    const std::size_t comma = list.find(',');
    const auto fault = velkor::sim::ParseFault(list.substr(0, comma));
    if (!fault) {
      return false;
    }
    options.faults.push_back(*fault);
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
  }
  return true;
}

int Usage(const char* problem) {
  std::fprintf(stderr, "velkor-sim: %s (see --help)\n", problem);
  return kExitUsage;
}

}  // namespace

int main(int argc, char** argv) {
  velkor::sim::Options options;
  std::string report;
  for (int i = 1; i < argc; ++i) {
    const std::string_view flag = argv[i];
    if (flag == "--help") {
      std::fputs(kHelp, stdout);
      return 0;
    }
    if (flag == "--version") {
      std::puts("velkor-sim " VELKOR_VERSION);
      return 0;
    }
    if (flag == "--quiet") {
      options.quiet = true;
      continue;
    }
    if (i + 1 >= argc) {
      return Usage("unknown option or missing value");
    }
    const char* value = argv[++i];
    unsigned long long n = 0;
    if (flag == "--host") {
      options.host = value;
    } else if (flag == "--bind") {
      options.bind = value;
    } else if (flag == "--report") {
      report = value;
    } else if (flag == "--traffic") {
      const std::string_view kind = value;
      if (kind == "mixed") {
        options.traffic = velkor::sim::Traffic::kMixed;
      } else if (kind == "polls") {
        options.traffic = velkor::sim::Traffic::kPolls;
      } else if (kind == "events") {
        options.traffic = velkor::sim::Traffic::kEvents;
      } else {
        return Usage("--traffic takes mixed, polls or events");
      }
    } else if (flag == "--faults") {
      if (!ParseFaults(value, options)) {
        return Usage("unknown fault");
      }
    } else if (!ParseNumber(value, 0xFFFFFFFFull, n)) {
      return Usage("not a number");
    } else if (flag == "--port" && n > 0 && n <= 65535) {
      options.port = static_cast<std::uint16_t>(n);
    } else if (flag == "--devices" && n >= 1 && n <= velkor::sim::kMaxDevices) {
      options.devices = static_cast<unsigned>(n);
    } else if (flag == "--sockets" && n >= 1 && n <= velkor::sim::kMaxDevices) {
      options.sockets = static_cast<unsigned>(n);
    } else if (flag == "--retries" && n <= velkor::sim::kMaxRetries) {
      options.retries = static_cast<unsigned>(n);
    } else if (flag == "--load" && n >= 1 && n <= kMaxLoadSeconds) {
      options.loadSeconds = static_cast<unsigned>(n);
    } else if (flag == "--rate" && n >= 1 && n <= velkor::sim::kMaxRate) {
      options.rate = static_cast<unsigned>(n);
    } else if (flag == "--events-per-report" && n >= 1 && n <= velkor::sim::kMaxEventsPerReport) {
      options.eventsPerReport = static_cast<unsigned>(n);
    } else if (flag == "--rounds") {
      options.rounds = static_cast<unsigned>(n);
    } else if (flag == "--seed") {
      options.seed = n;
    } else if (flag == "--fleet-seed" && n >= 1) {
      options.fleetSeed = n;
    } else if (flag == "--timeout-ms" && n > 0 && n <= 60000) {
      options.timeoutMs = static_cast<int>(n);
    } else if (flag == "--interval-ms" && n <= 60000) {
      options.intervalMs = static_cast<int>(n);
    } else {
      return Usage("unknown option or value out of range");
    }
  }

  if (options.loadSeconds > 0 && !options.faults.empty()) {
    return Usage("--faults does not apply to --load");
  }
  if (options.rate > 0 && options.loadSeconds == 0) {
    return Usage("--rate needs --load");
  }
  if (options.rate > 0 && options.retries > 0) {
    return Usage("--retries does not apply to --rate: an open-loop packet is sent once");
  }

  struct sigaction stop = {};
  stop.sa_handler = RequestStop;  // no SA_RESTART: a signal cuts a wait for a reply short
  sigemptyset(&stop.sa_mask);
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);
  options.stop = &stopRequested;
  options.logEvents = !report.empty();  // a long load run reports millions of records

  try {
    velkor::sim::Simulator simulator(
        options,
        [&](std::size_t) {
          return velkor::sim::ConnectUdp(options.host, options.port, options.bind);
        },
        stdout);
    const velkor::sim::Stats stats = simulator.Run();
    velkor::sim::PrintSummary(stdout, options, stats);
    if (options.loadSeconds > 0) {
      std::printf("%s\n", velkor::sim::LoadLine(options, stats).c_str());
    }
    std::fflush(stdout);
    if (!report.empty()) {
      std::string error;
      if (!velkor::sim::WriteReport(report, velkor::sim::MakeReport(simulator, stats), error)) {
        std::fprintf(stderr, "velkor-sim: %s\n", error.c_str());
        return kExitUsage;
      }
    }
    return stats.Passed() ? 0 : 1;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "velkor-sim: %s\n", error.what());
    return kExitUsage;
  }
}
