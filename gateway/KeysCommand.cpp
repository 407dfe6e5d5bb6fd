#include "KeysCommand.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdio>
#include <exception>

#include "Audit.h"
#include "Keys.h"
#include "Store.h"

namespace velkor::gateway {
namespace {

// Who ran the command, for the audit trail.
std::string Actor() {
  const passwd* user = getpwuid(geteuid());
  return std::string("cli:") + (user != nullptr ? user->pw_name : std::to_string(geteuid()));
}

int Failed(const std::string& message) {
  std::fprintf(stderr, "velkor-gateway: keys: %s\n", message.c_str());
  return 1;
}

}  // namespace

int RunKeysCommand(const KeysCommand& command, const std::string& location) {
  try {
    const auto db = Database::Open(location);
    Migrate(*db);
    AuditEntry audit;
    audit.actor = Actor();
    audit.address = "local";
    audit.method = "CLI";
    audit.route = "keys " + command.action;
    if (command.action == "list") {
      std::printf("%-24s %-8s %-24s %s\n", "NAME", "ROLE", "CREATED", "LAST USED");
      for (const KeyInfo& key : ListKeys(*db)) {
        std::printf("%-24s %-8s %-24s %s\n", key.name.c_str(), RoleName(key.role),
                    key.createdAt.c_str(),
                    key.lastUsedAt.empty() ? "never" : key.lastUsedAt.c_str());
      }
      return 0;
    }
    std::string error;
    if (!ValidKeyName(command.name, error)) {
      return Failed(error);
    }
    if (command.action == "add") {
      const auto role = ParseRole(command.role);
      if (!role) {
        return Failed("--role must be read, operate or admin");
      }
      const std::string key = NewKey();
      Transaction transaction(*db);
      if (!InsertKey(*db, command.name, *role, KeyHash(key), IsoTime(NowMs()))) {
        return Failed("a key named \"" + command.name + "\" exists; revoke it first");
      }
      audit.detail = {{"key", command.name}, {"role", RoleName(*role)}};
      InsertAudit(*db, audit);
      transaction.Commit();
      std::printf("%s\n", key.c_str());
      std::fprintf(stderr,
                   "velkor-gateway: key \"%s\" (%s) added; this is the only time it is shown\n",
                   command.name.c_str(), RoleName(*role));
      return 0;
    }
    Transaction transaction(*db);
    if (!DeleteKey(*db, command.name)) {
      return Failed("no key \"" + command.name + "\"");
    }
    audit.detail = {{"key", command.name}};
    InsertAudit(*db, audit);
    transaction.Commit();
    std::fprintf(stderr, "velkor-gateway: key \"%s\" revoked\n", command.name.c_str());
    return 0;
  } catch (const DatabaseError& e) {
    return Failed("the store " + Database::Redacted(location) + ": " + e.what());
  } catch (const std::exception& e) {
    return Failed(e.what());
  }
}

}  // namespace velkor::gateway
