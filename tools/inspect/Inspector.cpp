#include "Inspector.h"

#include <fstream>
#include <istream>
#include <ostream>

#include "Decode.h"
#include "Hex.h"
#include "Json.h"
#include "Pcap.h"
#include "Render.h"

namespace velkor::inspect {
namespace {

constexpr char kUsage[] =
    "usage: velkor-inspect [--json] [--pcap FILE]... [HEX]...\n"
    "\n"
    "Decodes device link packets: which link key text opens each one, its head and its\n"
    "payload. Packets come as hex arguments, one packet per argument; from capture files\n"
    "(--pcap, classic format, UDP over IPv4); or, when neither is given, as hex lines on\n"
    "standard input (blank lines and lines starting with '#' are skipped).\n"
    "\n"
    "  --json   one JSON document: {\"packets\": [...], \"problems\": [...], \"skipped\": [...]}\n"
    "  --help   this text\n";

struct Output {
  bool json = false;
  std::ostream& out;
  std::ostream& err;
  Json packets = Json::array();
  Json problems = Json::array();
  Json skipped = Json::array();
  std::size_t count = 0;
  bool failed = false;  // some input could not be read

  void Packet(const std::vector<std::uint8_t>& bytes, Json source) {
    Json report = Json::object();
    report["index"] = Json(static_cast<std::int64_t>(++count));
    report["source"] = std::move(source);
    const Json decoded = InspectPacket(bytes);
    for (const auto& [name, value] : decoded.items()) {
      report[name] = value;
    }
    if (json) {
      packets.push_back(std::move(report));
    } else {
      out << RenderText(report) << "\n";
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
    if (json) {
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

bool ReadFile(const std::string& path, std::vector<std::uint8_t>& bytes, std::string& error) {
  std::ifstream file(path, std::ios::binary);
  if (!file) {
    error = "cannot open " + path;
    return false;
  }
  file.seekg(0, std::ios::end);
  const std::streamoff size = file.tellg();
  if (size < 0 || static_cast<std::uint64_t>(size) > kMaxCaptureBytes) {
    error =
        path + ": not a readable file of at most " + std::to_string(kMaxCaptureBytes) + " bytes";
    return false;
  }
  file.seekg(0, std::ios::beg);
  bytes.resize(static_cast<std::size_t>(size));
  if (!bytes.empty() &&
      !file.read(reinterpret_cast<char*>(bytes.data()), static_cast<std::streamsize>(size))) {
    error = "cannot read " + path;
    return false;
  }
  return true;
}

void ReadCaptureFile(Output& output, const std::string& path) {
  std::vector<std::uint8_t> file;
  std::string error;
  if (!ReadFile(path, file, error)) {
    output.Problem(error);
    return;
  }
  const Capture capture = ReadCapture(file);
  for (const UdpDatagram& d : capture.datagrams) {
    Json source = Json::object();
    source["file"] = Json(path);
    source["frame"] = Json(static_cast<std::int64_t>(d.frame));
    source["from"] = Json(FormatEndpoint(d.source, d.source_port));
    source["to"] = Json(FormatEndpoint(d.destination, d.destination_port));
    // Zero-padded to the file's resolution; a damaged file may hold a larger fraction.
    std::string fraction = std::to_string(d.fraction);
    const std::size_t width = capture.nanoseconds ? 9 : 6;
    if (fraction.size() < width) {
      fraction.insert(0, width - fraction.size(), '0');
    }
    source["time"] = Json(std::to_string(d.seconds) + "." + fraction);
    output.Packet(d.payload, std::move(source));
  }
  for (const std::string& frame : capture.skipped) {
    output.Skipped(path + " " + frame);
  }
  if (!capture.error.empty()) {
    output.Problem(path + ": " + capture.error);
  }
}

}  // namespace

int RunInspector(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                 std::ostream& err) {
  Output output{.out = out, .err = err};
  std::vector<std::string> hex;
  std::vector<std::string> captures;
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--json") {
      output.json = true;
    } else if (arg == "--help" || arg == "-h") {
      out << kUsage;
      return 0;
    } else if (arg == "--pcap") {
      if (i + 1 == args.size()) {
        err << "velkor-inspect: --pcap needs a file name\n" << kUsage;
        return 2;
      }
      captures.push_back(args[++i]);
    } else if (arg.size() > 1 && arg[0] == '-' && arg[1] == '-') {
      err << "velkor-inspect: unknown option " << arg << "\n" << kUsage;
      return 2;
    } else {
      hex.push_back(arg);
    }
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
