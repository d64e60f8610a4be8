#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "engine/Kist.h"

// Helpers shared by the engine tests: a fresh user vault for each test and
// listings as plain values.
namespace enginetest {

// Deletes the user's vault, settings and restore folders of the scratch home,
// so the next Kist(true) starts from nothing.
void resetProfile();

// A fresh vault under one password, made once and copied back for every
// round of a kill-point test. The copies keep the databases' salts, so a
// process derives their keys once instead of in every round (under the
// sanitizers that derivation was most of such a test's time).
class FreshProfile {
public:
    explicit FreshProfile(const std::string& password);
    // resetProfile(), then the saved vault and settings back in place.
    void restore() const;

private:
    std::string saved;
};

// The vault folder of the scratch home.
std::string vaultFolder();

// The vault database inside it.
inline constexpr char kDatabaseName[] = "f13f2488-44d3-4267-bf0d-80a84ac7f3ee";
std::string vaultDatabasePath();

// Runs SQL on a vault database through the sqlcipher shell, so what the
// engine wrote is read back without the engine's own access layer. Throws
// when the shell reports an error.
std::string sqlcipher(const std::string& database, const std::string& statements);

// The message of the ExceptionModule that action throws, or "(no error)".
std::string errorOf(const std::function<void()>& action);

struct Entry {
    std::string name;
    bool isDirectory;
    uint32_t size;
    bool operator==(const Entry& other) const = default;
};

std::vector<Entry> list(Kist& kist);

// A user vault logged in with password (set on first use).
std::unique_ptr<Kist> openVault(const std::string& password = "secret");

// The vault check's findings, one a line ("" when the vault is whole).
std::string checkFindings(Kist& kist);

// Every regular file below folder, relative path -> bytes.
std::vector<std::pair<std::string, std::string>> tree(const std::string& folder);

// Regular files inside the vault folder whose bytes equal one of contents.
bool vaultHoldsPlainCopy(const std::vector<std::string>& contents);

// How a child process run by runInterrupted ended.
constexpr int kStoppedAtBoundary = 42;
constexpr int kRanToTheEnd = 43;
constexpr int kFailedInChild = 44;

// Runs operation in a child process that dies at step boundary number
// stopAt, as a kill would stop it; returns how the child ended.
int runInterrupted(const std::function<void()>& operation, int stopAt);

} // namespace enginetest
