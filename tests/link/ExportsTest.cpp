// The shared library's dynamic symbol table holds exactly the documented exports.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <set>
#include <sstream>
#include <string>

namespace {

const std::set<std::string> kDocumentedExports = {
    // Intake, identity, configuration, link commands
    "_PreparePackage",
    "_GetDeviceType",
    "_GetDeviceIdent",
    "_GetReconnectPackage",
    "_ReadNetConfigration",
    "_SendNetConfigration",
    "_SendDeviceReadCommand",
    "_SendDeviceEcho",
    "_GetFirmwareVersion",
    // Card and schedule data
    "_SendCards",
    "_GetCards",
    "_SendMultiCards",
    "_GetMultiCards",
    "_SendWorkTime",
    "_GetWorkTime",
    "_SendDevicePassword",
    "_SendFingerPassword",
    "_GetDevicePassword",
    // Events, control and peripherals
    "_GetEvents",
    "_SendControl",
    "_SendExOutput",
    "_SendTimer",
    "_SendReaderMoton",
    "_GetReaderMoton",
    "_SendFingerMoton",
    "_GetFingerMoton",
    "_SendFingerControl",
    "_GetFingerControl",
    "_GetFingerData",
    "_SendFingerData",
    "_GetSoundBuffer",
    "_SendSoundData",
};

std::set<std::string> DefinedDynamicSymbols(const std::string& library) {
  std::set<std::string> names;
  const std::string command = std::string(VELKOR_NM) + " -D --defined-only '" + library + "'";
  FILE* pipe = popen(command.c_str(), "r");
  if (pipe == nullptr) {
    return names;
  }
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    std::istringstream fields(line);
    std::string address, type, name;
    if (fields >> address >> type >> name) {
      names.insert(name.substr(0, name.find('@')));
    }
  }
  pclose(pipe);
  return names;
}

TEST(Exports, ExactlyTheDocumentedNames) {
  EXPECT_EQ(DefinedDynamicSymbols(VELKORLINK_LIBRARY_PATH), kDocumentedExports);
}

}  // namespace
