// The capture readers of a build without libpcap: every reading fails with a clear message.
#include "Capture.h"

namespace velkor::inspect {

std::string ReadCaptureFile(const std::string&, const CaptureSink&, bool& nanoseconds) {
  nanoseconds = false;
  return kNoCaptureSupport;
}

std::string ReadCaptureBytes(const std::uint8_t*, std::size_t, const CaptureSink&,
                             bool& nanoseconds) {
  nanoseconds = false;
  return kNoCaptureSupport;
}

Capture ReadCapture(const std::uint8_t*, std::size_t) {
  Capture capture;
  capture.error = kNoCaptureSupport;
  return capture;
}

int CaptureLive(const std::string&, const std::string&, const CaptureSink&, LiveStatistics&,
                std::string& error) {
  error = kNoCaptureSupport;
  return 1;
}

}  // namespace velkor::inspect
