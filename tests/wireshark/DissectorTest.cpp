// The Wireshark plugin under tshark, loaded from the build folder: every committed vector shows
// the head and payload fields vectors.json records, and damaged datagrams get expert info
// without a malformed-packet exception.
//
// tshark ignores personal and WIRESHARK_PLUGIN_DIR plugins when it runs as root, so a root test
// runs it as the unprivileged user 65534 (setpriv), on a copy of the plugin (below). It always
// gets a scratch HOME, so the user's own profile plays no part.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "DeviceSeal.h"
#include "FrameBytes.h"
#include "Json.h"
#include "VectorsFile.h"

namespace {

using velkor::inspect::Find;
using velkor::inspect::Json;
using velkor::test::Bytes;
using velkor::test::Vectors;

namespace fs = std::filesystem;

struct TsharkRun {
  int status = -1;
  std::string out;
  std::string err;
};

// A scratch folder the unprivileged user can read: HOME for tshark and the captures written.
// Run as root, it is a fresh folder in /tmp, and the plugin and the two libraries it links are
// copied there, since the build folder may lie where that user cannot look. Removed when the
// test program ends.
const fs::path& Scratch();

class ScratchCleanup : public ::testing::Environment {
 public:
  void TearDown() override {
    std::error_code ignored;
    fs::remove_all(Scratch(), ignored);
  }
};
const auto* const kCleanup = ::testing::AddGlobalTestEnvironment(new ScratchCleanup);

bool AsRoot() {
  return geteuid() == 0;
}

const fs::path& Scratch() {
  static const fs::path folder = [] {
    fs::path f;
    if (AsRoot()) {
      std::string pattern = (fs::temp_directory_path() / "velkor-wireshark-XXXXXX").string();
      if (mkdtemp(pattern.data()) == nullptr) {
        ADD_FAILURE() << "no scratch folder in " << fs::temp_directory_path();
      }
      f = pattern;
    } else {
      f = fs::current_path() / ("wireshark-scratch-" + std::to_string(getpid()));
    }
    fs::create_directories(f / "home");
    chmod(f.c_str(), 0755);
    chmod((f / "home").c_str(), 0777);
    if (AsRoot()) {
      fs::copy(VELKOR_WIRESHARK_PLUGIN_DIR, f / "plugins", fs::copy_options::recursive);
      fs::create_directories(f / "lib");
      for (const auto& entry : fs::directory_iterator(VELKOR_LIBRARY_DIR)) {
        const std::string name = entry.path().filename().string();
        if (name.rfind("libvelkorlink.so", 0) == 0 || name.rfind("libvelkorutils.so", 0) == 0) {
          fs::copy_file(entry.path(), f / "lib" / name);  // links followed: plain copies
        }
      }
      for (const auto& entry : fs::recursive_directory_iterator(f)) {
        chmod(entry.path().c_str(), entry.is_directory() ? 0755 : 0644);
      }
      chmod((f / "home").c_str(), 0777);
    }
    return f;
  }();
  return folder;
}

// Where tshark takes the plugin from: the build folder, or its copy when run as root.
std::string PluginDir() {
  return AsRoot() ? (Scratch() / "plugins").string() : std::string(VELKOR_WIRESHARK_PLUGIN_DIR);
}

std::string Quote(const std::string& s) {
  std::string out = "'";
  for (char c : s) {
    out += c == '\'' ? std::string("'\\''") : std::string(1, c);
  }
  return out + "'";
}

// tshark with the plugin of the build folder, on `args`; a bounded run (60 s).
TsharkRun Tshark(const std::vector<std::string>& args) {
  std::string command;
  if (AsRoot()) {
    command = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
  }
  command += "env HOME=" + Quote((Scratch() / "home").string()) +
             " XDG_CONFIG_HOME=" + Quote((Scratch() / "home" / ".config").string()) +
             " WIRESHARK_PLUGIN_DIR=" + Quote(PluginDir());
  if (AsRoot()) {
    command += " LD_LIBRARY_PATH=" + Quote((Scratch() / "lib").string());
  }
  command += " timeout 60 " + Quote(VELKOR_TSHARK);
  for (const std::string& a : args) {
    command += " " + Quote(a);
  }
  const fs::path err = Scratch() / "stderr.txt";
  command += " 2>" + Quote(err.string());
  TsharkRun run;
  if (FILE* pipe = popen(command.c_str(), "r")) {
    char buffer[4096];
    std::size_t n;
    while ((n = fread(buffer, 1, sizeof buffer, pipe)) > 0) {
      run.out.append(buffer, n);
    }
    const int status = pclose(pipe);
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  }
  std::ifstream in(err);
  std::stringstream text;
  text << in.rdbuf();
  run.err = text.str();
  return run;
}

// A copy of a file the unprivileged user can read.
std::string Readable(const std::string& path) {
  const fs::path copy = Scratch() / fs::path(path).filename();
  fs::copy_file(path, copy, fs::copy_options::overwrite_existing);
  chmod(copy.c_str(), 0644);
  return copy.string();
}

// Every occurrence of the fields asked for, per frame: -T fields with '|' between occurrences.
using Fields = std::map<std::string, std::vector<std::string>>;

std::vector<Fields> Dissect(const std::string& capture, const std::vector<std::string>& fields,
                            TsharkRun* run_out = nullptr,
                            const std::vector<std::string>& options = {}) {
  std::vector<std::string> args = {"-n",           "-r", capture,        "-T", "fields",      "-E",
                                   "separator=/t", "-E", "occurrence=a", "-E", "aggregator=|"};
  args.insert(args.end(), options.begin(), options.end());
  for (const std::string& f : fields) {
    args.push_back("-e");
    args.push_back(f);
  }
  const TsharkRun run = Tshark(args);
  if (run_out != nullptr) {
    *run_out = run;
  }
  EXPECT_EQ(run.status, 0) << run.err;
  std::vector<Fields> frames;
  std::istringstream lines(run.out);
  std::string line;
  while (std::getline(lines, line)) {
    Fields frame;
    std::size_t start = 0;
    for (const std::string& f : fields) {
      const std::size_t tab = line.find('\t', start);
      const std::string column = line.substr(start, tab == std::string::npos ? tab : tab - start);
      std::vector<std::string> values;
      std::size_t at = 0;
      while (!column.empty()) {
        const std::size_t bar = column.find('|', at);
        values.push_back(column.substr(at, bar == std::string::npos ? bar : bar - at));
        if (bar == std::string::npos) {
          break;
        }
        at = bar + 1;
      }
      frame[f] = values;
      start = tab == std::string::npos ? line.size() : tab + 1;
    }
    frames.push_back(std::move(frame));
  }
  return frames;
}

// ---- What vectors.json records, as dissector fields ----

// Fields holding bytes: compared as hex digits whatever the separators.
const std::set<std::string> kBytesFields = {
    "velkor.serial",         "velkor.free",           "velkor.event.bytes", "velkor.config.field4",
    "velkor.config.block30", "velkor.config.block20", "velkor.frame.data",  "velkor.voice.data",
    "velkor.template.data",  "velkor.payload"};

// Payload members by their path in vectors.json ([] marks list items); "*" entries name the
// member for any family, others for the one family before the colon.
const std::map<std::string, std::string> kPayloadFields = {
    {"arguments", "velkor.control.argument"},
    {"command", "velkor.control.command"},
    {"finger-control:command", "velkor.finger.command"},
    {"count", "velkor.event.count"},
    {"voice-request:count", "velkor.voice.count"},
    {"data", "velkor.voice.data"},
    {"firmware", "velkor.firmware"},
    {"leadByte", "velkor.template.lead_byte"},
    {"lowBits", "velkor.template.low_bits"},
    {"lowNibble", "velkor.template.low_nibble"},
    {"mode", "velkor.mode.setting"},
    {"number", "velkor.template.number"},
    {"finger-control:number", "velkor.finger.number"},
    {"passwords", "velkor.password"},
    {"report", "velkor.finger.report"},
    {"request", "velkor.voice.request"},
    {"selector", "velkor.finger.selector"},
    {"template", "velkor.template.data"},
    {"value", "velkor.output.value"},
    {"cards.cardNumber", "velkor.card.number"},
    {"groups.groupNumber", "velkor.group.number"},
    {"groups.cardNumbers", "velkor.group.card_number"},
    {"records.cardNumber", "velkor.event.card_number"},
    {"records.values", "velkor.event.value"},
    {"frame.framingOk", "velkor.frame.framing_ok"},
    {"frame.sumOk", "velkor.frame.sum_ok"},
};
const std::map<std::string, std::string> kContainers = {
    {"cards", "card"},   {"clock", "clock"},   {"configuration", "config"}, {"frame", "frame"},
    {"groups", "group"}, {"records", "event"}, {"schedules", "schedule"}};

std::string Text(const Json& value) {
  if (value.is_boolean()) {
    return value.get<bool>() ? "true" : "false";
  }
  if (value.is_string()) {
    return value.get<std::string>();
  }
  return value.dump();
}

void Add(Fields& out, const std::string& field, const Json& value) {
  if (value.is_array()) {
    for (const Json& item : value) {
      Add(out, field, item);
    }
  } else {
    out[field].push_back(Text(value));
  }
}

void Flatten(Fields& out, const std::string& family, const std::string& container,
             const Json& payload) {
  for (const auto& [name, value] : payload.items()) {
    const std::string path = container.empty() ? name : container + "." + name;
    if (kContainers.count(name) != 0 && container.empty()) {
      // A record list or a record of its own.
      for (const Json& record : value.is_array() ? value : Json::array({value})) {
        Flatten(out, family, name, record);
      }
      continue;
    }
    if (container == "schedules" && name == "periods") {
      for (const Json& period : value) {
        const char* parts[] = {"start_hour", "start_minute", "end_hour", "end_minute"};
        for (std::size_t i = 0; i < 4; ++i) {
          Add(out, std::string("velkor.schedule.") + parts[i], period[i]);
        }
      }
      continue;
    }
    std::string field;
    if (auto it = kPayloadFields.find(family + ":" + path); it != kPayloadFields.end()) {
      field = it->second;
    } else if (auto any = kPayloadFields.find(path); any != kPayloadFields.end()) {
      field = any->second;
    } else {
      ASSERT_FALSE(container.empty()) << "no field for payload member " << path;
      field = "velkor." + kContainers.at(container) + "." + name;
    }
    Add(out, field, value);
  }
}

// tshark's text of a value, in the form vectors.json has it.
std::string Normal(const std::string& field, const std::string& value, const std::string& like) {
  if (kBytesFields.count(field) != 0) {
    std::string hex;
    for (char c : value) {
      if (std::isxdigit(static_cast<unsigned char>(c))) {
        hex += static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
      }
    }
    return hex;
  }
  if (like == "true" || like == "false") {
    return value == "1" || value == "True" || value == "true" ? "true" : "false";
  }
  const bool number = !like.empty() && (std::isdigit(static_cast<unsigned char>(like[0])) ||
                                        (like[0] == '-' && like.size() > 1));
  if (number && !value.empty()) {
    if (value[0] == '-') {
      return std::to_string(std::strtoll(value.c_str(), nullptr, 0));
    }
    return std::to_string(std::strtoull(value.c_str(), nullptr, 0));
  }
  return value;
}

std::string NormalExpected(const std::string& field, const std::string& value) {
  return kBytesFields.count(field) != 0 ? Normal(field, value, "") : value;
}

const std::vector<std::string> kHeadFields = {"velkor.code",       "velkor.byte1",  "velkor.type",
                                              "velkor.generation", "velkor.serial", "velkor.free"};

TEST(Dissector, PluginLoadsAndRegistersItsFields) {
  const TsharkRun run = Tshark({"-G", "plugins"});
  EXPECT_EQ(run.status, 0) << run.err;
  EXPECT_NE(run.out.find(PluginDir()), std::string::npos) << run.out;
  // The fields filter by the types users expect.
  const TsharkRun fields = Tshark({"-G", "fields"});
  for (const char* line :
       {"velkor.serial\tFT_BYTES", "velkor.card.number\tFT_UINT64",
        "velkor.event.number\tFT_UINT64", "velkor.code\tFT_UINT8", "velkor.check_ok\tFT_BOOLEAN"}) {
    EXPECT_NE(fields.out.find(line), std::string::npos) << line;
  }
}

TEST(Dissector, EveryVectorShowsItsHeadAndPayloadFields) {
  // Every field vectors.json holds, the ones expected of each vector, and what tshark shows.
  std::vector<Fields> expected;
  std::set<std::string> names = {"velkor.key", "velkor.direction", "velkor.family",
                                 "velkor.prepare", "velkor.check_ok"};
  names.insert(kHeadFields.begin(), kHeadFields.end());
  for (const auto& v : Vectors()) {
    Fields f;
    const std::string key = Find(v.entry, "key")->get<std::string>();
    f["velkor.key"] = {key};
    f["velkor.direction"] = {key == "unsealed" ? "unsealed"
                                               : Find(v.entry, "direction")->get<std::string>()};
    f["velkor.family"] = {Find(v.entry, "family")->get<std::string>()};
    f["velkor.prepare"] = {Text(*Find(v.entry, "prepare"))};
    if (key != "unsealed" && v.bytes.size() >= 26) {
      f["velkor.check_ok"] = {key == "none" ? "false" : "true"};
    }
    if (const Json* head = Find(v.entry, "head")) {
      for (const auto& [name, value] : head->items()) {
        Add(f, "velkor." + name, value);
      }
    }
    if (const Json* payload = Find(v.entry, "payload")) {
      Flatten(f, Find(v.entry, "family")->get<std::string>(), "", *payload);
    }
    for (const auto& [name, values] : f) {
      names.insert(name);
    }
    expected.push_back(std::move(f));
  }
  const std::vector<std::string> fields(names.begin(), names.end());
  // The capture's ports are no registered ones: the opened packets come through the heuristic,
  // and Decode As brings the ones no key text opens (and the short one) to the dissector too.
  const std::vector<Fields> shown =
      Dissect(Readable(velkor::test::VectorsFolder() + "/vectors.pcap"), fields, nullptr,
              {"-d", "udp.port==6000,velkor", "-d", "udp.port==6001,velkor"});
  ASSERT_EQ(shown.size(), Vectors().size());
  for (std::size_t i = 0; i < shown.size(); ++i) {
    SCOPED_TRACE(Vectors()[i].name);
    for (const auto& [field, values] : expected[i]) {
      const std::vector<std::string>& got = shown[i].at(field);
      std::vector<std::string> want, have;
      for (const std::string& value : values) {
        want.push_back(NormalExpected(field, value));
      }
      for (std::size_t k = 0; k < got.size(); ++k) {
        have.push_back(Normal(field, got[k], values.empty() ? "" : values[0]));
      }
      // An empty text shows as no occurrence at all when it is the only one.
      if (have.empty() && want == std::vector<std::string>{""}) {
        continue;
      }
      EXPECT_EQ(have, want) << field;
    }
  }
}

// ---- Damaged datagrams ----

constexpr std::uint16_t kPort = 47810;

// A classic capture of raw IPv4 frames, each a UDP datagram to port 47810 (or `port`).
std::string WriteCapture(const std::string& name, const std::vector<Bytes>& datagrams,
                         std::uint16_t port = kPort) {
  Bytes file;
  const auto u32 = [&](std::uint32_t v) {
    for (int i = 0; i < 4; ++i) {
      file.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
    }
  };
  u32(0xA1B2C3D4);
  u32(0x00040002);
  u32(0);
  u32(0);
  u32(65535);
  u32(228);  // raw IPv4
  for (const Bytes& payload : datagrams) {
    const Bytes ip = velkor::test::Ipv4Udp(payload, 17, 0x4000, 0, 40000, port);
    u32(1700000000);
    u32(0);
    u32(static_cast<std::uint32_t>(ip.size()));
    u32(static_cast<std::uint32_t>(ip.size()));
    file.insert(file.end(), ip.begin(), ip.end());
  }
  const fs::path path = Scratch() / name;
  std::ofstream(path, std::ios::binary)
      .write(reinterpret_cast<const char*>(file.data()), static_cast<std::streamsize>(file.size()));
  chmod(path.c_str(), 0644);
  return path.string();
}

const Bytes& VectorBytes(const char* name) {
  return velkor::test::VectorNamed(name).bytes;
}

TEST(Dissector, DamagedDatagramsGetExpertInfo) {
  Bytes wrong_check = VectorBytes("poll");
  // A device's block sealed with a check value that does not match.
  std::copy(wrong_check.begin() + 2, wrong_check.begin() + 10, wrong_check.begin() + 10);
  const std::uint16_t check = velkor::devicekit::CheckValue(wrong_check.data());
  wrong_check[24] = static_cast<std::uint8_t>((check >> 8) ^ 0x5A);
  wrong_check[25] = static_cast<std::uint8_t>(check & 0xFF);
  velkor::devicekit::EncryptBlockAsDevice(wrong_check.data());

  Bytes control_cut = VectorBytes("control-current");  // a 41-byte command
  control_cut.resize(35);
  Bytes events_cut = VectorBytes("events-current");  // announces 8 records
  events_cut.resize(60);
  Bytes passwords_cut = VectorBytes("finger-passwords");
  passwords_cut.resize(50);

  struct Case {
    const char* what;
    Bytes datagram;
    std::string message;
  };
  const std::vector<Case> cases = {
      {"ten bytes", Bytes(10, 0x01), "Shorter than the 26-byte packet head"},
      {"a random block", Bytes(41, 0x5C), "opens under neither link key text"},
      {"a wrong check value", wrong_check, "wrong check value under the incoming key text"},
      {"a command cut short", control_cut, "no command of code 0xF9 is 35 bytes long"},
      {"an event report cut short", events_cut, "the count announces 8 records"},
      {"passwords cut short", passwords_cut, "the ten password fields needs 66 bytes"},
  };
  std::vector<Bytes> datagrams;
  for (const Case& c : cases) {
    datagrams.push_back(c.datagram);
  }
  const std::vector<Fields> shown = Dissect(WriteCapture("damaged.pcap", datagrams),
                                            {"_ws.expert.message", "_ws.malformed", "velkor.key"});
  ASSERT_EQ(shown.size(), cases.size());
  for (std::size_t i = 0; i < cases.size(); ++i) {
    SCOPED_TRACE(cases[i].what);
    std::string messages;
    for (const std::string& m : shown[i].at("_ws.expert.message")) {
      messages += m + "\n";
    }
    EXPECT_NE(messages.find(cases[i].message), std::string::npos) << messages;
    EXPECT_EQ(messages.find("Exception"), std::string::npos) << messages;
    EXPECT_FALSE(shown[i].at("velkor.key").empty());
  }
}

// Every cut of every vector and a flipped byte in each: dissected within bounds, no exception.
TEST(Dissector, EveryTruncationAndFlippedByteIsDissectedWithinBounds) {
  std::vector<Bytes> datagrams;
  for (const auto& v : Vectors()) {
    for (std::size_t n = 1; n < v.bytes.size(); n += (n < 40 ? 1 : 7)) {
      datagrams.emplace_back(v.bytes.begin(), v.bytes.begin() + static_cast<std::ptrdiff_t>(n));
    }
    for (std::size_t at : {std::size_t{0}, std::size_t{2}, std::size_t{26}, v.bytes.size() - 1}) {
      Bytes flipped = v.bytes;
      if (at < flipped.size()) {
        flipped[at] ^= 0xFF;
        datagrams.push_back(std::move(flipped));
      }
    }
  }
  TsharkRun run;
  const std::vector<Fields> shown =
      Dissect(WriteCapture("cut.pcap", datagrams), {"_ws.expert.message", "velkor.family"}, &run);
  ASSERT_EQ(shown.size(), datagrams.size()) << run.err;
  for (std::size_t i = 0; i < shown.size(); ++i) {
    for (const std::string& message : shown[i].at("_ws.expert.message")) {
      EXPECT_EQ(message.find("Exception"), std::string::npos) << "datagram " << i << message;
      EXPECT_EQ(message.find("Dissector bug"), std::string::npos) << "datagram " << i << message;
    }
    EXPECT_EQ(shown[i].at("velkor.family").size(), 1u) << "datagram " << i;
  }
  EXPECT_EQ(run.err.find("Dissector bug"), std::string::npos) << run.err;
}

}  // namespace
