// velkor-gateway keys add|list|revoke: the API's keys managed on the store itself, also while
// gateways run on it (they see a change within a second).
#pragma once

#include <string>

namespace velkor::gateway {

struct KeysCommand {
  std::string action;  // "add", "list" or "revoke"
  std::string name;
  std::string role;
};

// Runs the command on the store at `location` and returns the exit status; messages go to
// stderr, the new key (add) and the table (list) to stdout.
int RunKeysCommand(const KeysCommand& command, const std::string& location);

}  // namespace velkor::gateway
