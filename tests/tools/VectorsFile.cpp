#include "VectorsFile.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "Hex.h"

namespace velkor::test {

using inspect::Find;

std::string VectorsFolder() {
  return VELKOR_VECTORS_DIR;
}

const std::vector<LinkVector>& Vectors() {
  static const std::vector<LinkVector> vectors = [] {
    std::vector<LinkVector> out;
    std::ifstream file(VectorsFolder() + "/vectors.json", std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    std::string error;
    const std::optional<inspect::Json> document = inspect::ReadJson(text.str(), error);
    if (!document) {
      ADD_FAILURE() << "vectors.json: " << error;
      return out;
    }
    const inspect::Json* list = Find(*document, "vectors");
    if (list == nullptr || !list->is_array()) {
      ADD_FAILURE() << "vectors.json has no vector list";
      return out;
    }
    for (const inspect::Json& entry : *list) {
      const inspect::Json* name = Find(entry, "name");
      const inspect::Json* hex = Find(entry, "hex");
      std::optional<std::vector<std::uint8_t>> bytes;
      if (name != nullptr && hex != nullptr) {
        bytes = inspect::ParseHex(hex->get<std::string>(), error);
      }
      if (!bytes) {
        ADD_FAILURE() << "a vector without a name or readable hex bytes";
        continue;
      }
      out.push_back({name->get<std::string>(), std::move(*bytes), entry});
    }
    return out;
  }();
  return vectors;
}

const LinkVector& VectorNamed(const std::string& name) {
  for (const LinkVector& v : Vectors()) {
    if (v.name == name) {
      return v;
    }
  }
  ADD_FAILURE() << "no vector named " << name;
  static const LinkVector none;
  return none;
}

}  // namespace velkor::test
