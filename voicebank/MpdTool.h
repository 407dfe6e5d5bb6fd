// velkor-mpd: lists, verifies, extracts and builds MP3DATA.MPD from the command line, on the same
// compile as the Sonpak window. The program's main() only hands its arguments to RunMpd.
#pragma once

#include <iosfwd>
#include <string>
#include <vector>

namespace sonpak::mpd {

// Runs one command line (`args` without the program name) and returns the exit status: 0 done,
// 1 bad input or a fault found, 2 a usage error. Reports go to `out`, messages to `err`.
int RunMpd(const std::vector<std::string>& args, std::ostream& out, std::ostream& err);

}  // namespace sonpak::mpd
