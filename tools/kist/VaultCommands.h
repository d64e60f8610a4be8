#pragma once

#include <optional>
#include <string>
#include <vector>

class Console;

// The commands on the user's vault itself.
class VaultCommands {
public:
    explicit VaultCommands(Console& console);

    void list();
    void add(const std::vector<std::string>& paths);
    // to: the destination folder (created when missing); none: the restore folder.
    void takeOut(const std::vector<std::string>& names, const std::optional<std::string>& to);
    // hardened: a hardened package (only this program reads it).
    void exportPackage(const std::string& out, bool force, bool hardened, const std::vector<std::string>& names);
    // With byRecoveryKey the hardened vault's recovery key stands in for the
    // current password.
    void changePassword(bool byRecoveryKey);
    // Makes the vault hardened and prints its recovery key once.
    void harden();
    // The vault's format and key derivation parameters.
    void info();
    void setEmail(const std::string& address);
    void checkForUpdate();
    // Prints one line per finding of the vault check; fails when there is any.
    // Bodies without an integrity tag are listed apart and do not fail it;
    // with addMissingTags those that decrypt cleanly get one.
    void check(bool addMissingTags);

private:
    Console& console;
};
