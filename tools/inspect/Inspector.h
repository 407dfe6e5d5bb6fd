// velkor-inspect's command line, apart from main() so that tests drive it with string streams.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace velkor::inspect {

// Longest hex line read from standard input; longer lines are reported and skipped.
inline constexpr std::size_t kMaxLineBytes = 512 * 1024;

// Runs the inspector on `args` (without the program name). Returns the exit status: 0 when
// every input was read (with --live: capturing stopped on Ctrl-C), 1 when some input could
// not be (bad hex, unreadable capture, no capture rights), 2 for a usage error or a filter
// that does not compile.
int RunInspector(const std::vector<std::string>& args, std::istream& in, std::ostream& out,
                 std::ostream& err);

}  // namespace velkor::inspect
