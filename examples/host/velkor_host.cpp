// velkor-host: an example host application for Velkorlink devices, over UDP on 127.0.0.1.
//
// Devices speak first. For every datagram the host
//   1. hands the bytes to PreparePackage, which opens and checks the security block and
//      returns the command code, or 0 when the packet must be dropped (no reply then);
//   2. reads what the packet holds with the Get functions and prints it;
//   3. answers with exactly one reply, built in the same buffer by one Send function, sending
//      the number of bytes it returns back to the sender.
//
// Replies: a voice data request gets voice data, a template request gets the template that
// device uploaded for that slot, from the store; otherwise a device not seen before gets its
// clock set; a configuration gets the configuration back; a card list gets the card list from
// the cards file; anything else (events, polls, groups, schedules, mode reports, template
// uploads) gets an echo.
//
// Event reports carry command code 0x01 and polls 0x02 on our devices: the library fixes no
// code for them.
//
// Only velkorlink.h, POSIX sockets and the C++ standard library are used.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <cinttypes>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

#include "VelkorVersion.h"
#include "velkorlink.h"

namespace {

constexpr uint16_t kDefaultPort = 47810;
constexpr std::size_t kVoiceClipLength = 480;  // bytes of voice data per request
constexpr std::size_t kVoiceHead = 29;         // voice data starts at packet byte 29
// One buffer per packet: the longest fixed reply is a list of 88 cards, 1346 bytes.
constexpr std::size_t kBufferSize = 1346;
static_assert(kVoiceHead + kVoiceClipLength <= kBufferSize, "voice reply must fit the buffer");

// Command codes of the packets devices send.
constexpr int32_t kEventReport = 0x01;
constexpr int32_t kPoll = 0x02;
constexpr int32_t kFingerUpload = 0xE8;
constexpr int32_t kFingerRequest = 0xEA;
constexpr int32_t kFingerModeReport = 0xEC;
constexpr int32_t kReaderModeReport = 0xEE;
constexpr int32_t kVoiceRequest = 0xF2;
constexpr int32_t kScheduleList = 0xF4;
constexpr int32_t kGroupList = 0xF6;
constexpr int32_t kCardList = 0xF8;
constexpr int32_t kModulePacket = 0xFA;
constexpr int32_t kFirmware = 0xFC;
constexpr int32_t kConfiguration = 0xFF;

constexpr int32_t kLegacyDevice = 0;
constexpr uint32_t kEventRecord = 16;  // an event record, or a legacy controller frame
constexpr uint32_t kFirstEvent = 27;   // current devices; legacy frames start at byte 86
constexpr uint32_t kFirstFrame = 86;
constexpr std::size_t kMaxCards = 88;
constexpr std::size_t kMaxGroups = 32;
constexpr std::size_t kMaxSchedules = 16;

volatile sig_atomic_t stop_requested = 0;

struct Host {
  std::vector<CardRecord> cards;                // sent to every device's card list
  std::set<std::pair<int32_t, uint64_t>> seen;  // devices (type, serial) met so far
  // Fingerprint templates by device serial and lead byte: a reader gets its own back.
  std::map<std::pair<uint64_t, uint8_t>, FingerDataRecord> templates;
  unsigned accepted = 0, refused = 0, events = 0, replies = 0;
  bool quiet = false;
};

// ---- The cards file ----

bool ParseCard(const std::string& line, CardRecord& card) {
  std::istringstream fields(line);
  std::string number, password, stamp = "99123123";
  if (!(fields >> number >> password)) {
    return false;
  }
  fields >> stamp;
  card = CardRecord{};
  card.cardNumber = std::strtoll(number.c_str(), nullptr, 10);
  std::snprintf(card.password, sizeof card.password, "%s", password == "-" ? "" : password.c_str());
  const unsigned long date = std::strtoul(stamp.c_str(), nullptr, 10);
  card.year = static_cast<int16_t>(date / 1000000 % 100);
  card.month = static_cast<uint8_t>(date / 10000 % 100);
  card.day = static_cast<uint8_t>(date / 100 % 100);
  card.hour = static_cast<uint8_t>(date % 100);
  return true;
}

bool LoadCards(const char* path, std::vector<CardRecord>& cards) {
  std::ifstream file(path);
  if (!file) {
    return false;
  }
  std::string line;
  CardRecord card;
  while (std::getline(file, line) && cards.size() < kMaxCards) {
    if (line.empty() || line[0] == '#') {
      continue;
    }
    if (ParseCard(line, card)) {
      cards.push_back(card);
    }
  }
  return true;
}

// ---- Reading what a packet holds ----

void PrintEvent(const EventRecord& e) {
  std::printf("     event kind %u", e.kind);
  if (e.kind == 0 || e.kind == 3 || e.kind == 4) {
    std::printf(" number %" PRIu64, e.number);
  }
  if (e.kind == 0 || e.kind == 1 || e.kind == 3) {
    std::printf(" code 0x%02X", e.code);
  }
  const int16_t values[8] = {e.value1, e.value2, e.value3, e.value4,
                             e.value5, e.value6, e.value7, e.value8};
  for (int i = 0; i < 8; ++i) {
    if (values[i] != -1) {  // -1: the record carries no such value
      std::printf(" value%d %d", i + 1, values[i]);
    }
  }
  if (e.cardNumber != -1) {
    std::printf(" card %" PRId64, e.cardNumber);
  }
  if (e.digits[0] != '\0') {
    std::printf(" digits %s", e.digits);
  }
  std::printf("\n");
}

// GetEvents trusts the record count in byte 26, so first check that the packet holds every
// record it announces. Each call decodes one record, the last first, and counts it off.
bool ReadEvents(Host& host, uint8_t* packet, uint32_t length) {
  const uint32_t first = GetDeviceType(packet) == kLegacyDevice ? kFirstFrame : kFirstEvent;
  if (length < first + kEventRecord * packet[26]) {
    return false;
  }
  EventRecord event;
  while (GetEvents(packet, &event)) {
    ++host.events;
    if (!host.quiet) {
      PrintEvent(event);
    }
  }
  return true;
}

void PrintCards(const uint8_t* packet, uint32_t length) {
  std::vector<CardRecord> cards((length - 26) / 15);  // room for every record the length holds
  const int32_t count = GetCards(packet, length, cards.data());
  std::printf("     %d cards:", count);
  for (int32_t i = 0; i < count; ++i) {
    std::printf(" %" PRId64 "%s%s", cards[i].cardNumber, cards[i].password[0] ? "/" : "",
                cards[i].password);
  }
  std::printf("\n");
}

void PrintGroups(const uint8_t* packet, uint32_t length) {
  MultiCardGroup groups[kMaxGroups];
  const int32_t count = GetMultiCards(packet, length, groups);
  std::printf("     %d multi-card groups:", count);
  for (int32_t i = 0; i < count; ++i) {
    int members = 0;
    for (int slot = 0; slot < 5; ++slot) {  // -1 marks an empty slot
      members += groups[i].cardNumbers[slot] >= 0 ? 1 : 0;
    }
    std::printf(" #%u (%d cards%s)", groups[i].groupNumber, members,
                groups[i].enabled ? ", enabled" : "");
  }
  std::printf("\n");
}

void PrintSchedules(const uint8_t* packet, uint32_t length) {
  WorkTimeSchedule schedules[kMaxSchedules];
  const int32_t count = GetWorkTime(packet, length, schedules);
  for (int32_t i = 0; i < count; ++i) {
    std::printf("     schedule %d:", i);
    for (const WorkTimePeriod& p : schedules[i].periods) {
      if (p.startHour != 255) {  // 255 in every field: no period
        std::printf(" %02u:%02u-%02u:%02u", p.startHour, p.startMinute, p.endHour, p.endMinute);
      }
    }
    std::printf("\n");
  }
}

void PrintConfig(const uint8_t* packet, int32_t code) {
  // The library keeps the configuration of the last accepted packet; its two 16-bit words
  // are stored low byte first.
  const uint8_t* config = ReadNetConfigration();
  std::printf("     module configuration: words %u and %u, address %u.%u.%u.%u",
              config[5] | config[6] << 8, config[7] | config[8] << 8, config[1], config[2],
              config[3], config[4]);
  if (code == kFirmware) {
    std::printf(", firmware version %d", GetFirmwareVersion(packet));
  }
  std::printf("\n");
}

void PrintMode(const uint8_t* packet) {
  ModeBlock block;
  if (GetReaderMoton(packet, &block) || GetFingerMoton(packet, &block)) {
    std::printf("     mode block %u %u %u %u %u\n", block.settings[0], block.settings[1],
                block.settings[2], block.settings[3], block.settings[4]);
  }
}

// Prints (and keeps) what the packet holds. False for an event report shorter than its count.
bool ReadPacket(Host& host, uint8_t* packet, uint32_t length, int32_t code) {
  if (!host.quiet) {
    std::printf("<- %s %014" PRIX64 " code 0x%02X, %u bytes\n",
                GetDeviceType(packet) == kLegacyDevice ? "legacy " : "current",
                GetDeviceIdent(packet), code, length);
  }
  if (code == kEventReport) {
    return ReadEvents(host, packet, length);
  }
  if (code == kFingerUpload) {
    FingerDataRecord upload{};
    GetFingerData(packet, &upload);
    host.templates[{GetDeviceIdent(packet), upload.leadByte}] = upload;
  }
  if (host.quiet) {
    return true;
  }
  switch (code) {
    case kConfiguration:
    case kFirmware:
    case kModulePacket:
      PrintConfig(packet, code);
      break;
    case kCardList:
      PrintCards(packet, length);
      break;
    case kGroupList:
      PrintGroups(packet, length);
      break;
    case kScheduleList:
      PrintSchedules(packet, length);
      break;
    case kReaderModeReport:
    case kFingerModeReport:
      PrintMode(packet);
      break;
    default:
      break;
  }
  return true;
}

// ---- Building the one reply ----

// Voice data: the sound buffer starts at packet byte 25 as 16-bit little-endian elements
// (0: data count, 1: request word); the data goes from byte 29. The buffer is not aligned
// for 16-bit access, so it is read and written byte by byte.
int32_t ReplyVoice(uint8_t* packet) {
  uint8_t* sound = reinterpret_cast<uint8_t*>(GetSoundBuffer(packet));
  const unsigned word = sound[2] | sound[3] << 8;
  // A real host reads entry `word` of its voice bank; this one makes up a clip.
  for (std::size_t i = 0; i < kVoiceClipLength; ++i) {
    sound[4 + i] = static_cast<uint8_t>(word + i);
  }
  sound[0] = kVoiceClipLength & 0xFF;
  sound[1] = kVoiceClipLength >> 8;
  return SendSoundData(packet);
}

// A template request names a slot (lead byte); the reply carries the template the same
// device uploaded for it, or an empty one.
int32_t ReplyTemplate(const Host& host, uint8_t* packet) {
  FingerDataRecord request{};
  GetFingerData(packet, &request);
  const auto stored = host.templates.find({GetDeviceIdent(packet), request.leadByte});
  const FingerDataRecord empty{};
  return SendFingerData(packet, stored != host.templates.end() ? &stored->second : &empty);
}

const char* Reply(Host& host, uint8_t* packet, int32_t code, int32_t& length) {
  if (code == kVoiceRequest && GetDeviceType(packet) == kLegacyDevice) {
    length = ReplyVoice(packet);
    return "voice data";
  }
  if (code == kFingerRequest) {
    length = ReplyTemplate(host, packet);
    return "fingerprint template";
  }
  if (host.seen.insert({GetDeviceType(packet), GetDeviceIdent(packet)}).second) {
    length = SendTimer(packet);
    return "clock setting (new device)";
  }
  switch (code) {
    case kConfiguration:
    case kFirmware:
      length = SendNetConfigration(packet);
      return "configuration back";
    case kCardList:
      length = SendCards(packet, static_cast<int32_t>(host.cards.size()), host.cards.data());
      return "card list";
    case kPoll:  // polls, like everything else, get an echo
    default:
      length = SendDeviceEcho(packet);
      return "echo";
  }
}

// The whole exchange for one received packet; returns the number of reply bytes (0: none).
int32_t Answer(Host& host, uint8_t* packet, uint32_t length) {
  const int32_t code = PreparePackage(packet, length);
  if (code == 0 || !ReadPacket(host, packet, length, code)) {
    ++host.refused;
    if (!host.quiet) {
      std::printf("<- refused a packet of %u bytes: no reply\n", length);
    }
    return 0;
  }
  ++host.accepted;
  int32_t reply = 0;
  const char* what = Reply(host, packet, code, reply);
  if (!host.quiet) {
    std::printf("-> 0x%02X %s, %d bytes\n", packet[0], what, reply);
  }
  return reply;
}

// ---- Transport ----

int OpenSocket(uint16_t port) {
  const int fd = socket(AF_INET, SOCK_DGRAM, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0) {
    if (errno == EADDRINUSE) {
      std::fprintf(stderr,
                   "velkor-host: port %u on 127.0.0.1 is already in use (another host?); "
                   "choose another with --port, or --port 0 for a free one\n",
                   port);
    } else {
      std::fprintf(stderr, "velkor-host: cannot open UDP port %u: %s\n", port,
                   std::strerror(errno));
    }
    return -1;
  }
  // Wake up now and then, so that a stop request is seen even when no packet comes.
  const timeval wake{0, 250000};
  setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &wake, sizeof wake);
  socklen_t size = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &size);
  std::printf("velkor-host: listening on 127.0.0.1:%u\n", ntohs(address.sin_port));
  return fd;
}

void Serve(Host& host, int fd) {
  uint8_t buffer[kBufferSize];
  while (!stop_requested) {
    sockaddr_in from{};
    socklen_t from_size = sizeof from;
    // MSG_TRUNC makes recvfrom report a datagram's full length even when it did not fit.
    const ssize_t got = recvfrom(fd, buffer, sizeof buffer, MSG_TRUNC,
                                 reinterpret_cast<sockaddr*>(&from), &from_size);
    if (got < 0) {
      continue;  // woken up or interrupted: the loop condition decides
    }
    if (static_cast<std::size_t>(got) > sizeof buffer) {
      ++host.refused;
      std::printf("<- refused a datagram of %zd bytes: longer than the buffer\n", got);
      continue;
    }
    const int32_t reply = Answer(host, buffer, static_cast<uint32_t>(got));
    if (reply > 0) {
      sendto(fd, buffer, static_cast<std::size_t>(reply), 0, reinterpret_cast<sockaddr*>(&from),
             from_size);
      ++host.replies;
    }
  }
}

void RequestStop(int) {
  stop_requested = 1;
}

}  // namespace

int main(int argc, char** argv) {
  std::setvbuf(stdout, nullptr, _IOLBF, 0);  // one line at a time, also into a pipe or file
  Host host;
  long port = kDefaultPort;
  for (int i = 1; i < argc; ++i) {
    const std::string flag = argv[i];
    if (flag == "--port" && i + 1 < argc) {
      char* end = nullptr;
      port = std::strtol(argv[++i], &end, 10);
      if (*end != '\0' || port < 0 || port > 65535) {
        std::fprintf(stderr, "velkor-host: --port takes 0..65535\n");
        return 2;
      }
    } else if (flag == "--cards" && i + 1 < argc) {
      if (!LoadCards(argv[++i], host.cards)) {
        std::fprintf(stderr, "velkor-host: cannot read cards file %s\n", argv[i]);
        return 2;
      }
    } else if (flag == "--quiet") {
      host.quiet = true;
    } else if (flag == "--version") {
      std::puts("velkor-host " VELKOR_VERSION);
      return 0;
    } else {
      std::printf(
          "usage: velkor-host [--port N] [--cards FILE] [--quiet] [--version]\n"
          "  --port N      UDP port on 127.0.0.1 (default %u; 0 picks a free port)\n"
          "  --cards FILE  cards sent in answer to a card list (lines: number password "
          "[YYMMDDHH])\n"
          "  --quiet       print only the port and, on SIGINT or SIGTERM, the summary\n"
          "Event reports are command code 0x01, polls 0x02. Each accepted packet gets one reply;\n"
          "a refused packet gets none.\n",
          kDefaultPort);
      return flag == "--help" ? 0 : 2;
    }
  }

  const int fd = OpenSocket(static_cast<uint16_t>(port));
  if (fd < 0) {
    return 1;
  }
  struct sigaction stop = {};
  stop.sa_handler = RequestStop;  // no SA_RESTART: a signal interrupts the wait for a packet
  sigaction(SIGINT, &stop, nullptr);
  sigaction(SIGTERM, &stop, nullptr);

  Serve(host, fd);
  close(fd);
  std::printf("velkor-host: packets accepted %u, refused %u, events decoded %u, replies sent %u\n",
              host.accepted, host.refused, host.events, host.replies);
  return 0;
}
