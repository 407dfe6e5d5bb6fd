#include "Inspector.h"

#include <istream>
#include <map>
#include <ostream>

#include "Capture.h"
#include "Decode.h"
#include "Hex.h"
#include "Json.h"
#include "Render.h"
#include "VelkorVersion.h"

namespace velkor::inspect {
namespace {

constexpr char kUsage[] =
    "usage: velkor-inspect [--json] [--pcap FILE]... [HEX]...\n"
    "       velkor-inspect [--json] --live INTERFACE [--filter BPF]\n"
    "\n"
    "Decodes device link packets: which link key text opens each one, its head and its\n"
    "payload. Packets come as hex arguments, one packet per argument; from capture files\n"
    "(--pcap: pcap or pcapng, UDP over IPv4 or IPv6); live from an interface (--live, until\n"
    "Ctrl-C, which prints a summary); or, when none is given, as hex lines on standard input\n"
    "(blank lines and lines starting with '#' are skipped).\n"
    "\n"
    "  --json          one JSON document: {\"packets\": [...], \"problems\": [...],\n"
    "                  \"skipped\": [...]}; with --live one JSON object per line\n"
    "  --filter BPF    the capture filter of --live (default: udp)\n"
    "  --help          this text\n"
    "  --version       the version\n";

struct Output {
  bool json = false;
  std::ostream& out;
  std::ostream& err;
  Json packets = Json::array();
  Json problems = Json::array();
  Json skipped = Json::array();
  std::size_t count = 0;
  bool failed = false;  // some input could not be read
  bool live = false;    // each report printed as it comes, JSON ones on a line each
  std::map<std::string, std::size_t> families = {};
  std::map<std::string, std::size_t> keys = {};
  std::size_t skipped_frames = 0;

  void Packet(const std::vector<std::uint8_t>& bytes, Json source) {
    Json report = Json::object();
    report["index"] = Json(static_cast<std::int64_t>(++count));
    report["source"] = std::move(source);
    const Json decoded = InspectPacket(bytes);
    for (const auto& [name, value] : decoded.items()) {
      report[name] = value;
    }
    if (const Json* family = Find(report, "family")) {
      ++families[family->get<std::string>()];
    }
    if (const Json* key = Find(report, "key")) {
      ++keys[key->get<std::string>()];
    }
    if (json && live) {
      out << WriteJson(report, 0) << std::endl;
    } else if (json) {
      packets.push_back(std::move(report));
    } else {
      out << RenderText(report) << "\n";
      if (live) {
        out.flush();
      }
    }
  }

  void Problem(const std::string& text) {
    failed = true;
    if (json) {
      problems.push_back(Json(text));
    } else {
      err << "velkor-inspect: " << text << "\n";
    }
  }

  void Skipped(const std::string& text) {
    ++skipped_frames;
    if (json && live) {
      out << WriteJson(Json{{"skipped", text}}, 0) << std::endl;
    } else if (json) {
      skipped.push_back(Json(text));
    } else {
      out << "# skipped " << text << "\n";
    }
  }
};

Json Source(const char* kind, std::int64_t number) {
  Json source = Json::object();
  source[kind] = Json(number);
  return source;
}

// Reads one line of at most kMaxLineBytes; sets `too_long` and drops the rest of a longer one.
bool ReadLine(std::istream& in, std::string& line, bool& too_long) {
  line.clear();
  too_long = false;
  char c;
  bool any = false;
  while (in.get(c)) {
    any = true;
    if (c == '\n') {
      return true;
    }
    if (line.size() < kMaxLineBytes) {
      line.push_back(c);
    } else {
      too_long = true;
    }
  }
  return any;
}

void HexLine(Output& output, const std::string& text, Json source, const std::string& where) {
  std::string error;
  std::optional<std::vector<std::uint8_t>> bytes = ParseHex(text, error);
  if (!bytes) {
    output.Problem(where + ": " + error);
    return;
  }
  output.Packet(*bytes, std::move(source));
}

void ReadStandardInput(Output& output, std::istream& in) {
  std::string line;
  bool too_long = false;
  for (std::int64_t number = 1; ReadLine(in, line, too_long); ++number) {
    const std::string where = "line " + std::to_string(number);
    if (too_long) {
      output.Problem(where + ": longer than " + std::to_string(kMaxLineBytes) + " bytes");
      continue;
    }
    const std::size_t start = line.find_first_not_of(" \t\r");
    if (start == std::string::npos || line[start] == '#') {
      continue;
    }
    HexLine(output, line, Source("line", number), where);
  }
}

// "1700000000.001000": the fraction zero-padded to the capture's resolution (a damaged file
// may hold a larger one).
std::string TimeText(const UdpDatagram& d, bool nanoseconds) {
  std::string fraction = std::to_string(d.fraction);
  const std::size_t width = nanoseconds ? 9 : 6;
  if (fraction.size() < width) {
    fraction.insert(0, width - fraction.size(), '0');
  }
  return std::to_string(d.seconds) + "." + fraction;
}

Json DatagramSource(const char* kind, const std::string& name, const UdpDatagram& d,
                    bool nanoseconds) {
  Json source = Json::object();
  source[kind] = name;
  source["frame"] = d.frame;
  source["from"] = d.from;
  source["to"] = d.to;
  source["time"] = TimeText(d, nanoseconds);
  if (!d.fragments.empty()) {
    source["fragments"] = d.fragments;
  }
  return source;
}

void ReadCaptureFile(Output& output, const std::string& path) {
  bool nanoseconds = false;
  const CaptureSink sink{
      [&](const UdpDatagram& d) {
        output.Packet(d.payload, DatagramSource("file", path, d, nanoseconds));
      },
      [&](const std::string& note) { output.Skipped(path + " " + note); },
  };
  const std::string error = ReadCaptureFile(path, sink, nanoseconds);
  if (!error.empty()) {
    output.Problem(error.rfind("cannot open ", 0) == 0 ? error : path + ": " + error);
  }
}

// "by family: events 4, poll 6"
std::string Counts(const char* what, const std::map<std::string, std::size_t>& counts) {
  std::string out = std::string("  by ") + what + ":";
  for (const auto& [name, count] : counts) {
    out += (out.back() == ':' ? " " : ", ") + name + " " + std::to_string(count);
  }
  return counts.empty() ? out + " none" : out;
}

int RunLive(Output& output, const std::string& interface, const std::string& filter) {
  output.live = true;
  LiveStatistics statistics;
  const CaptureSink sink{
      [&](const UdpDatagram& d) {
        output.Packet(d.payload, DatagramSource("interface", interface, d, statistics.nanoseconds));
      },
      [&](const std::string& note) { output.Skipped(interface + " " + note); },
      [&] {
        output.err << "velkor-inspect: capturing on " << interface << " (filter: " << filter
                   << "); Ctrl-C stops" << std::endl;
      },
  };
  std::string error;
  const int status = CaptureLive(interface, filter, sink, statistics, error);
  if (!error.empty()) {
    output.err << "velkor-inspect: " << error << "\n";
  }
  if (!statistics.started) {
    return status;
  }
  if (output.json) {
    Json summary = Json::object();
    summary["interface"] = interface;
    summary["packets"] = output.count;
    summary["frames"] = statistics.frames;
    summary["skipped"] = output.skipped_frames;
    summary["dropped"] = statistics.dropped;
    summary["families"] = output.families;
    summary["keys"] = output.keys;
    output.out << WriteJson(Json{{"summary", std::move(summary)}}, 0) << std::endl;
  } else {
    output.out << "summary: " << output.count << " packets on " << interface << " ("
               << statistics.frames << " frames captured, " << output.skipped_frames << " skipped, "
               << statistics.dropped << " dropped)\n"
               << Counts("family", output.families) << "\n"
               << Counts("key text", output.keys) << "\n"
               << std::flush;
  }
  return status;
}

}  // namespace

int RunInspector(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                 std::ostream& err) {
  Output output{.out = out, .err = err};
  std::vector<std::string> hex;
  std::vector<std::string> captures;
  std::string live;
  std::string filter = "udp";
  bool filter_given = false;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      output.json = true;
    } else if (arg == "--help" || arg == "-h") {
      out << kUsage;
      return 0;
    } else if (arg == "--version") {
      out << "velkor-inspect " VELKOR_VERSION "\n";
      return 0;
    } else if (arg == "--pcap") {
      if (i + 1 == args.size()) {
        err << "velkor-inspect: --pcap needs a file name\n" << kUsage;
        return 2;
      }
      captures.push_back(args[++i]);
    } else if (arg == "--live" || arg == "--filter") {
      if (i + 1 == args.size()) {
        err << "velkor-inspect: " << arg << " needs "
            << (arg == "--live" ? "an interface name" : "a filter") << "\n"
            << kUsage;
        return 2;
      }
      (arg == "--live" ? live : filter) = args[++i];
      filter_given = filter_given || arg == "--filter";
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      err << "velkor-inspect: unknown option " << arg << "\n" << kUsage;
      return 2;
    } else {
      hex.push_back(arg);
    }
  }

  if (!live.empty() && (!hex.empty() || !captures.empty())) {
    err << "velkor-inspect: --live takes no other packets (--pcap or hex)\n" << kUsage;
    return 2;
  }
  if (filter_given && live.empty()) {
    err << "velkor-inspect: --filter goes with --live\n" << kUsage;
    return 2;
  }
  if (!live.empty()) {
    return RunLive(output, live, filter);
  }

  for (std::size_t i = 0; i < hex.size(); ++i) {
    HexLine(output, hex[i], Source("argument", static_cast<std::int64_t>(i + 1)),
            "argument " + std::to_string(i + 1));
  }
  for (const std::string& path : captures) {
    ReadCaptureFile(output, path);
  }
  if (hex.empty() && captures.empty()) {
    ReadStandardInput(output, in);
  }

  if (output.json) {
    Json document = Json::object();
    document["packets"] = std::move(output.packets);
    document["problems"] = std::move(output.problems);
    document["skipped"] = std::move(output.skipped);
    out << WriteJson(document) << "\n";
  }
  return output.failed ? 1 : 0;
}

}  // namespace velkor::inspect
