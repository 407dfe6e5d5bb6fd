#include "Keys.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

#include <algorithm>
#include <stdexcept>

#include "Http.h"
#include "Log.h"
#include "Store.h"

namespace velkor::gateway {
namespace {

constexpr std::size_t kKeyBytes = 32;
constexpr std::size_t kMaxKeyName = 64;
constexpr auto kRefreshEvery = std::chrono::seconds(1);
constexpr std::int64_t kLastUseEveryMs = 60 * 1000;

std::string LowerHex(const unsigned char* bytes, std::size_t count) {
  static constexpr char kDigits[] = "0123456789abcdef";
  std::string text;
  text.reserve(count * 2);
  for (std::size_t i = 0; i < count; ++i) {
    text += kDigits[bytes[i] >> 4];
    text += kDigits[bytes[i] & 0x0F];
  }
  return text;
}

}  // namespace

bool ValidKeyName(std::string_view name, std::string& error) {
  const auto alnum = [](char c) { return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9'); };
  bool ok = !name.empty() && name.size() <= kMaxKeyName && alnum(name.front());
  for (char c : name) {
    ok = ok && (alnum(c) || c == '.' || c == '_' || c == '-');
  }
  if (!ok) {
    error =
        "a key's name is 1 to 64 of a-z, 0-9, '.', '_' and '-', starting with a letter or digit";
    return false;
  }
  if (name == kTokenKeyName) {
    error = "the name \"token\" belongs to the key that --token and --token-file give";
    return false;
  }
  return true;
}

std::string NewKey() {
  unsigned char random[kKeyBytes];
  if (RAND_bytes(random, sizeof random) != 1) {
    throw std::runtime_error("cannot draw a random key");
  }
  return "vk_" + LowerHex(random, sizeof random);
}

std::string KeyHash(std::string_view key) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int length = 0;
  EVP_Digest(key.data(), key.size(), digest, &length, EVP_sha256(), nullptr);
  return LowerHex(digest, length);
}

bool InsertKey(Database& db, const std::string& name, Role role, const std::string& hash,
               const std::string& at) {
  Statement& insert = db.Prepare(
      "INSERT INTO api_keys (name, role, hash, created_at) VALUES (?, ?, ?, ?) "
      "ON CONFLICT (name) DO NOTHING");
  insert.Bind(name, RoleName(role), hash, at).Run();
  return insert.Changes() == 1;
}

bool DeleteKey(Database& db, const std::string& name) {
  Statement& remove = db.Prepare("DELETE FROM api_keys WHERE name = ?");
  remove.Bind(name).Run();
  return remove.Changes() == 1;
}

std::vector<KeyInfo> ListKeys(Database& db) {
  Statement& select =
      db.Prepare("SELECT name, role, created_at, last_used_at FROM api_keys ORDER BY name");
  select.Bind();
  std::vector<KeyInfo> keys;
  while (select.Step()) {
    KeyInfo key;
    key.name = select.Text(0);
    key.role = ParseRole(select.Text(1)).value_or(Role::kRead);
    key.createdAt = select.Text(2);
    key.lastUsedAt = select.IsNull(3) ? std::string() : select.Text(3);
    keys.push_back(std::move(key));
  }
  return keys;
}

KeyRing::KeyRing(std::string location, std::string token)
    : location_(std::move(location)), token_(std::move(token)) {}

KeyRing::~KeyRing() = default;

void KeyRing::SetToken(std::string token) {
  std::lock_guard lock(mutex_);
  token_ = std::move(token);
}

void KeyRing::Invalidate() {
  std::lock_guard lock(mutex_);
  loadedAt_.reset();
}

void KeyRing::RefreshLocked(std::chrono::steady_clock::time_point now) {
  loadedAt_ = now;  // a failed read is tried again a second later, not at every request
  try {
    if (!db_) {
      db_ = Database::Open(location_);
    }
    Statement& select = db_->Prepare("SELECT name, role, hash FROM api_keys");
    select.Bind();
    std::vector<Stored> keys;
    while (select.Step()) {
      // A role this build does not know grants nothing beyond reading.
      keys.push_back(
          {select.Text(0), ParseRole(select.Text(1)).value_or(Role::kRead), select.Text(2)});
    }
    if (loadedOnce_) {
      // Changes made elsewhere (the command line, another gateway) into this gateway's log.
      const auto named = [](const std::vector<Stored>& in, const Stored& key) {
        return std::any_of(in.begin(), in.end(), [&](const Stored& k) {
          return k.name == key.name && k.hash == key.hash;
        });
      };
      for (const Stored& key : keys) {
        if (!named(keys_, key)) {
          LogInfo("key \"" + key.name + "\" (" + RoleName(key.role) + ") is valid from now on");
        }
      }
      for (const Stored& key : keys_) {
        if (!named(keys, key)) {
          LogInfo("key \"" + key.name + "\" is revoked");
        }
      }
    }
    loadedOnce_ = true;
    keys_ = std::move(keys);
    if (!lastUse_.empty()) {
      Transaction transaction(*db_);
      Statement& touch = db_->Prepare("UPDATE api_keys SET last_used_at = ? WHERE name = ?");
      for (const auto& [name, ms] : lastUse_) {
        touch.Bind(IsoTime(ms), name).Run();
        written_[name] = ms;
      }
      transaction.Commit();
      lastUse_.clear();
    }
  } catch (const DatabaseError&) {
    db_.reset();  // opened again next time: the connection may be what failed
  }
}

std::optional<Principal> KeyRing::Find(std::string_view bearer) {
  const auto now = std::chrono::steady_clock::now();
  const std::string given(bearer);
  const std::string hash = KeyHash(given);
  std::lock_guard lock(mutex_);
  if (!loadedAt_ || now - *loadedAt_ >= kRefreshEvery) {
    RefreshLocked(now);
  }
  std::optional<Principal> found;
  // Every key compared, none skipped: the time taken says nothing about which one matched.
  for (const Stored& key : keys_) {
    const bool same = key.hash.size() == hash.size() &&
                      CRYPTO_memcmp(key.hash.data(), hash.data(), hash.size()) == 0;
    if (same) {
      found = Principal{key.name, key.role};
    }
  }
  if (!token_.empty() && SameSecret(given, token_)) {
    found = Principal{kTokenKeyName, Role::kAdmin};
  }
  if (found && found->name != kTokenKeyName) {
    const std::int64_t ms = NowMs();
    const auto written = written_.find(found->name);
    if (written == written_.end() || ms - written->second >= kLastUseEveryMs) {
      lastUse_[found->name] = ms;
    }
  }
  return found;
}

}  // namespace velkor::gateway
