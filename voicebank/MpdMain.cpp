#include <iostream>
#include <string>
#include <vector>

#include "voicebank/MpdTool.h"

int main(int argc, char** argv) {
  const std::vector<std::string> args(argv + 1, argv + argc);
  return sonpak::mpd::RunMpd(args, std::cout, std::cerr);
}
