// Captured traffic through libpcap: capture files (classic pcap in either byte order and
// either time stamp resolution, and pcapng) and live capture on an interface. Frames go
// through FrameReader; what comes out is handed to the caller one datagram at a time.
//
// Builds without libpcap (the Windows build) carry a stand-in whose every reading fails with
// kNoCaptureSupport.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "Frames.h"

namespace velkor::inspect {

inline constexpr char kNoCaptureSupport[] =
    "this build of velkor-inspect has no capture support (built without libpcap)";

struct CaptureSink {
  std::function<void(const UdpDatagram&)> datagram;
  std::function<void(const std::string&)> skipped;  // "frame N: why"
  std::function<void()> started = nullptr;          // live capture: the filter is in place
};

// Reads a whole capture. Returns an empty text when the file was read to its end, otherwise
// why not (what came before the damage has reached the sink). `nanoseconds` tells the
// resolution of the time stamp fractions.
std::string ReadCaptureFile(const std::string& path, const CaptureSink& sink, bool& nanoseconds);

// The same on a capture held in memory.
std::string ReadCaptureBytes(const std::uint8_t* bytes, std::size_t size, const CaptureSink& sink,
                             bool& nanoseconds);

// A whole capture in memory, collected: for tests and the fuzz harness.
struct Capture {
  bool nanoseconds = false;
  std::vector<UdpDatagram> datagrams;
  std::vector<std::string> skipped;
  std::string error;
};
Capture ReadCapture(const std::uint8_t* bytes, std::size_t size);
inline Capture ReadCapture(const std::vector<std::uint8_t>& file) {
  return ReadCapture(file.data(), file.size());
}

struct LiveStatistics {
  bool started = false;       // the interface was opened and the filter set
  bool nanoseconds = false;   // the resolution of the fractions, known once capturing started
  std::uint64_t frames = 0;   // frames the filter let through
  std::uint64_t dropped = 0;  // frames the kernel dropped for want of buffer space
};

// Captures on `interface` through the BPF `filter`, time stamps in nanoseconds, until SIGINT
// or SIGTERM comes (handlers are installed for the time of the call). Returns 0 after such a
// stop, 1 when capturing failed (no such interface, no capture rights: `error` says which),
// 2 when the filter does not compile.
int CaptureLive(const std::string& interface, const std::string& filter, const CaptureSink& sink,
                LiveStatistics& statistics, std::string& error);

}  // namespace velkor::inspect
