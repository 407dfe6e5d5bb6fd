// The committed test vectors, read once per test program.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "Json.h"

namespace velkor::test {

struct LinkVector {
  std::string name;
  std::vector<std::uint8_t> bytes;
  inspect::Json entry;  // the whole entry as the file has it
};

// tools/vectors/vectors.json; fails the calling test when it cannot be read.
const std::vector<LinkVector>& Vectors();
const LinkVector& VectorNamed(const std::string& name);

// The folder of the committed vectors files.
std::string VectorsFolder();

}  // namespace velkor::test
