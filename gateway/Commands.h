// Commands the API queues for a device: one per Send function that takes host values. A body
// is {"command": NAME, ...arguments named as in velkorlink.h}; the control and fingerprint
// control commands name their own `command` argument "code", since the key "command" names
// the command itself.
#pragma once

#include <cstdint>
#include <optional>

#include "Records.h"

namespace velkor::gateway {

// The names a body may give: control, extra_output, clock, reader_mode, finger_mode,
// finger_control, device_passwords, finger_passwords, read.
const std::vector<const char*>& CommandNames();

// Checks a request body and returns it complete and normalised (every argument present, with
// its default where it has one), or nullopt with `error` naming the field. `legacy` is the
// device's generation: a legacy reader takes the first two mode settings as 0..99.
std::optional<Json> ParseCommand(const Json& body, bool legacy, FieldError& error);

// Builds the command's reply in `packet`, a packet PreparePackage has just accepted, and
// returns its length. The body is one that ParseCommand returned.
std::int32_t SendCommand(const Json& command, std::uint8_t* packet);

}  // namespace velkor::gateway
