#include "Capture.h"

#include <pcap/pcap.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstring>
#include <optional>

namespace velkor::inspect {
namespace {

constexpr int kLiveSnapshot = 262144;
constexpr int kLiveTimeoutMs = 100;

std::optional<Link> LinkOf(int datalink) {
  switch (datalink) {
    case DLT_EN10MB:
      return Link::kEthernet;
    case DLT_NULL:
      return Link::kLoopback;
    case DLT_LOOP:
      return Link::kLoopbackNet;
    case DLT_LINUX_SLL:
      return Link::kLinuxCooked;
#ifdef DLT_LINUX_SLL2
    case DLT_LINUX_SLL2:
      return Link::kLinuxCooked2;
#endif
    case DLT_RAW:
      return Link::kRaw;
#ifdef DLT_IPV4
    case DLT_IPV4:
      return Link::kIpv4;
#endif
#ifdef DLT_IPV6
    case DLT_IPV6:
      return Link::kIpv6;
#endif
    default:
      return std::nullopt;
  }
}

std::string UnsupportedLink(pcap_t* pcap) {
  const int datalink = pcap_datalink(pcap);
  const char* name = pcap_datalink_val_to_name(datalink);
  return "unsupported link type " + std::to_string(datalink) +
         (name != nullptr ? std::string(" (") + name + ")" : std::string());
}

struct Reading {
  FrameReader frames;
  const CaptureSink& sink;
  std::size_t count = 0;

  void Frame(const pcap_pkthdr* header, const std::uint8_t* bytes) {
    ++count;
    std::string why;
    std::optional<UdpDatagram> datagram =
        frames.Read(count, static_cast<std::int64_t>(header->ts.tv_sec),
                    static_cast<std::uint32_t>(header->ts.tv_usec), bytes, header->caplen, why);
    if (datagram) {
      sink.datagram(*datagram);
    } else if (!why.empty()) {
      sink.skipped(FrameNote(count, why));
    }
  }

  void Finish() {
    for (const std::string& note : frames.TakeIncomplete()) {
      sink.skipped(note);
    }
  }
};

void OnFrame(u_char* user, const pcap_pkthdr* header, const u_char* bytes) {
  reinterpret_cast<Reading*>(user)->Frame(header, bytes);
}

// The classic format's magic numbers in either byte order, and pcapng's section header block.
enum class Format { kMicro, kNano, kNg, kUnknown };

Format FormatOf(const std::uint8_t magic[4]) {
  const std::uint32_t little =
      static_cast<std::uint32_t>(magic[3]) << 24 | magic[2] << 16 | magic[1] << 8 | magic[0];
  const std::uint32_t big =
      static_cast<std::uint32_t>(magic[0]) << 24 | magic[1] << 16 | magic[2] << 8 | magic[3];
  for (std::uint32_t m : {little, big}) {
    if (m == 0xA1B2C3D4 || m == 0xA1B2CD34) {  // the second: Alexey Kuznetsov's variant
      return Format::kMicro;
    }
    if (m == 0xA1B23C4D) {
      return Format::kNano;
    }
  }
  return big == 0x0A0D0D0A ? Format::kNg : Format::kUnknown;
}

// Reads the capture open in `file` (which this function closes).
std::string ReadStream(std::FILE* file, const CaptureSink& sink, bool& nanoseconds) {
  std::uint8_t magic[4] = {};
  const std::size_t got = std::fread(magic, 1, sizeof magic, file);
  const Format format = got == sizeof magic ? FormatOf(magic) : Format::kUnknown;
  if (format == Format::kUnknown || std::fseek(file, 0, SEEK_SET) != 0) {
    std::fclose(file);
    return got < sizeof magic ? "not a capture file: too short for a file header"
                              : "not a capture file (unknown magic number)";
  }
  // A classic file's fractions are given as the file has them; pcapng ones in nanoseconds.
  nanoseconds = format != Format::kMicro;
  char error[PCAP_ERRBUF_SIZE] = "";
  pcap_t* pcap = pcap_fopen_offline_with_tstamp_precision(
      file, nanoseconds ? PCAP_TSTAMP_PRECISION_NANO : PCAP_TSTAMP_PRECISION_MICRO, error);
  if (pcap == nullptr) {
    std::fclose(file);
    return std::string("not a readable capture file: ") + error;
  }
  std::string outcome;
  const std::optional<Link> link = LinkOf(pcap_datalink(pcap));
  if (!link) {
    outcome = UnsupportedLink(pcap);
  } else {
    Reading reading{FrameReader(*link), sink};
    while (true) {
      pcap_pkthdr* header = nullptr;
      const u_char* bytes = nullptr;
      const int status = pcap_next_ex(pcap, &header, &bytes);
      if (status == 1) {
        reading.Frame(header, bytes);
      } else if (status == PCAP_ERROR_BREAK) {
        break;  // the end of the file
      } else {
        outcome = "frame " + std::to_string(reading.count + 1) + ": " + pcap_geterr(pcap);
        break;
      }
    }
    reading.Finish();
  }
  pcap_close(pcap);  // closes the file too
  return outcome;
}

// The capture running in CaptureLive, for the signal handler.
pcap_t* volatile g_live = nullptr;
volatile std::sig_atomic_t g_stop = 0;

extern "C" void StopLive(int) {
  g_stop = 1;
  if (pcap_t* live = g_live) {
    pcap_breakloop(live);
  }
}

std::string ActivationError(pcap_t* pcap, int status, const std::string& interface) {
  const std::string detail = pcap_geterr(pcap);
  switch (status) {
    case PCAP_ERROR_PERM_DENIED:
      return "no permission to capture on " + interface +
             ": capturing needs the CAP_NET_RAW capability (run as root, or give the program "
             "the rights: setcap cap_net_raw,cap_net_admin=eip velkor-inspect); " +
             detail;
    case PCAP_ERROR_NO_SUCH_DEVICE:
      return "no interface named " + interface + " to capture on" +
             (detail.empty() ? "" : "; " + detail);
    case PCAP_ERROR_IFACE_NOT_UP:
      return "interface " + interface + " is not up";
    default:
      return "cannot capture on " + interface + ": " + pcap_statustostr(status) +
             (detail.empty() ? "" : "; " + detail);
  }
}

}  // namespace

std::string ReadCaptureFile(const std::string& path, const CaptureSink& sink, bool& nanoseconds) {
  std::FILE* file = std::fopen(path.c_str(), "rb");
  if (file == nullptr) {
    return "cannot open " + path + ": " + std::strerror(errno);
  }
  return ReadStream(file, sink, nanoseconds);
}

std::string ReadCaptureBytes(const std::uint8_t* bytes, std::size_t size, const CaptureSink& sink,
                             bool& nanoseconds) {
  if (size == 0) {
    return "not a capture file: too short for a file header";
  }
  std::FILE* file = fmemopen(const_cast<std::uint8_t*>(bytes), size, "rb");
  if (file == nullptr) {
    return std::string("cannot read the capture from memory: ") + std::strerror(errno);
  }
  return ReadStream(file, sink, nanoseconds);
}

Capture ReadCapture(const std::uint8_t* bytes, std::size_t size) {
  Capture capture;
  const CaptureSink sink{
      [&](const UdpDatagram& d) { capture.datagrams.push_back(d); },
      [&](const std::string& note) { capture.skipped.push_back(note); },
  };
  capture.error = ReadCaptureBytes(bytes, size, sink, capture.nanoseconds);
  return capture;
}

int CaptureLive(const std::string& interface, const std::string& filter, const CaptureSink& sink,
                LiveStatistics& statistics, std::string& error) {
  char message[PCAP_ERRBUF_SIZE] = "";
  pcap_t* pcap = pcap_create(interface.c_str(), message);
  if (pcap == nullptr) {
    error = "cannot capture on " + interface + ": " + message;
    return 1;
  }
  pcap_set_snaplen(pcap, kLiveSnapshot);
  pcap_set_promisc(pcap, 0);
  pcap_set_timeout(pcap, kLiveTimeoutMs);
  pcap_set_immediate_mode(pcap, 1);
  pcap_set_tstamp_precision(pcap, PCAP_TSTAMP_PRECISION_NANO);  // microseconds if refused
  const int status = pcap_activate(pcap);
  if (status < 0) {
    error = ActivationError(pcap, status, interface);
    pcap_close(pcap);
    return 1;
  }
  const std::optional<Link> link = LinkOf(pcap_datalink(pcap));
  if (!link) {
    error = interface + ": " + UnsupportedLink(pcap);
    pcap_close(pcap);
    return 1;
  }
  bpf_program program{};
  if (pcap_compile(pcap, &program, filter.c_str(), 1, PCAP_NETMASK_UNKNOWN) != 0) {
    error = "filter \"" + filter + "\" does not compile: " + pcap_geterr(pcap);
    pcap_close(pcap);
    return 2;
  }
  const int set = pcap_setfilter(pcap, &program);
  pcap_freecode(&program);
  if (set != 0) {
    error = "cannot set the filter on " + interface + ": " + pcap_geterr(pcap);
    pcap_close(pcap);
    return 1;
  }

  Reading reading{FrameReader(*link), sink};
  statistics.started = true;
  statistics.nanoseconds = pcap_get_tstamp_precision(pcap) == PCAP_TSTAMP_PRECISION_NANO;
  g_stop = 0;
  g_live = pcap;
  struct sigaction stop {};
  stop.sa_handler = StopLive;
  sigemptyset(&stop.sa_mask);
  struct sigaction old_int {
  }, old_term{};
  sigaction(SIGINT, &stop, &old_int);
  sigaction(SIGTERM, &stop, &old_term);
  if (sink.started) {
    sink.started();
  }

  int outcome = 0;
  while (g_stop == 0) {
    const int n = pcap_dispatch(pcap, -1, OnFrame, reinterpret_cast<u_char*>(&reading));
    if (n == PCAP_ERROR) {
      error = "capture on " + interface + " failed: " + pcap_geterr(pcap);
      outcome = 1;
      break;
    }
  }
  sigaction(SIGINT, &old_int, nullptr);
  sigaction(SIGTERM, &old_term, nullptr);
  g_live = nullptr;
  reading.Finish();
  statistics.frames = reading.count;
  pcap_stat counts{};
  if (pcap_stats(pcap, &counts) == 0) {
    statistics.dropped = counts.ps_drop;
  }
  pcap_close(pcap);
  return outcome;
}

}  // namespace velkor::inspect
