// The API's keys: each named, with one role, and stored only as the SHA-256 of the key. The key
// ring tells which key a bearer token is, from the store's keys as they were at most a second
// ago, so that a key added or revoked on the command line of a running gateway takes effect
// within a second.
#pragma once

#include <chrono>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "Database.h"
#include "Roles.h"

namespace velkor::gateway {

// The name of the admin key that --token and --token-file give.
inline constexpr const char* kTokenKeyName = "token";

struct KeyInfo {
  std::string name;
  Role role = Role::kRead;
  std::string createdAt;
  std::string lastUsedAt;  // empty until first used
};

// 1 to 64 of a-z, 0-9, '.', '_' and '-', starting with a letter or digit; not "token". The reason
// in `error` otherwise.
bool ValidKeyName(std::string_view name, std::string& error);
// A new key: 32 random bytes as 64 hex digits. Throws std::runtime_error when no random bytes.
std::string NewKey();
std::string KeyHash(std::string_view key);  // SHA-256, hex

// ---- The store ----
// False when a key of that name exists.
bool InsertKey(Database& db, const std::string& name, Role role, const std::string& hash,
               const std::string& at);
bool DeleteKey(Database& db, const std::string& name);  // false when there was none
std::vector<KeyInfo> ListKeys(Database& db);            // by name

class KeyRing {
 public:
  // Keys are read from the store at `location` through a connection of the ring's own.
  KeyRing(std::string location, std::string token);
  ~KeyRing();
  KeyRing(const KeyRing&) = delete;
  KeyRing& operator=(const KeyRing&) = delete;

  void SetToken(std::string token);  // the "token" key from now on; empty: none
  // The key `bearer` is, or nullopt. Every stored key's hash is compared, in time that depends on
  // neither the token nor which key matched. A store that cannot be read keeps the keys it last
  // gave; when a key was used, its last use is written at most once a minute.
  std::optional<Principal> Find(std::string_view bearer);
  // The store's keys are read again at the next Find (after a change through the API).
  void Invalidate();

 private:
  struct Stored {
    std::string name;
    Role role;
    std::string hash;
  };
  void RefreshLocked(std::chrono::steady_clock::time_point now);

  std::mutex mutex_;
  std::string location_;
  std::unique_ptr<Database> db_;
  std::string token_;
  std::vector<Stored> keys_;
  std::optional<std::chrono::steady_clock::time_point> loadedAt_;
  bool loadedOnce_ = false;
  std::map<std::string, std::int64_t> lastUse_;  // uses to write (ms since 1970), by name
  std::map<std::string, std::int64_t> written_;  // the last use written, by name
};

}  // namespace velkor::gateway
