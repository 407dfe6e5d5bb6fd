// velkor-inspect: shows what captured device link packets hold.
#include <iostream>
#include <string>
#include <vector>

#include "Inspector.h"

int main(int argc, char** argv) {
  std::ios::sync_with_stdio(false);
  const std::vector<std::string> args(argv + 1, argv + argc);
  return velkor::inspect::RunInspector(args, std::cin, std::cout, std::cerr);
}
