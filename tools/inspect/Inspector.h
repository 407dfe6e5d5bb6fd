// velkor-inspect's command line, apart from main() so that tests drive it with string streams.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace velkor::inspect {

// Longest hex line read from standard input; longer lines are reported and skipped.
inline constexpr std::size_t kMaxLineBytes = 512 * 1024;
// Largest capture file read.
inline constexpr std::size_t kMaxCaptureBytes = 256u << 20;

// Runs the inspector on `args` (without the program name). Returns the exit status: 0 when
// every input was read, 1 when some input could not be (bad hex, unreadable capture), 2 for a
// usage error.
int RunInspector(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                 std::ostream& err);

}  // namespace velkor::inspect
