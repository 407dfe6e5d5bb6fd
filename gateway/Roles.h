// Who may do what through the API. Each role may do what the one before it may, and more:
// read the GET routes and the event stream; operate also queue commands and admit devices;
// admin also set lists, templates and voice clips, manage keys and read the audit trail.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace velkor::gateway {

enum class Role { kRead = 0, kOperate = 1, kAdmin = 2 };

inline const char* RoleName(Role role) {
  switch (role) {
    case Role::kOperate:
      return "operate";
    case Role::kAdmin:
      return "admin";
    case Role::kRead:
      break;
  }
  return "read";
}

inline std::optional<Role> ParseRole(std::string_view text) {
  for (Role role : {Role::kRead, Role::kOperate, Role::kAdmin}) {
    if (text == RoleName(role)) {
      return role;
    }
  }
  return std::nullopt;
}

// Who made a request: a key's name and its role.
struct Principal {
  std::string name;
  Role role = Role::kRead;
};

}  // namespace velkor::gateway
