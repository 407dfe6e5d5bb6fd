// The text form of an inspector report.
#pragma once

#include <string>

#include "Json.h"

namespace velkor::inspect {

// One packet's report (as InspectPacket gives it, with a "source" member added by the caller)
// as indented lines.
std::string RenderText(const Json& report);

}  // namespace velkor::inspect
