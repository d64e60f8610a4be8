#pragma once

#include <optional>
#include <string>

class Console;

// Backing the whole vault up into one package and bringing it back, by the
// rules the desktop program follows, so either can restore the other's backups.
class BackupCommands {
public:
    // Appended to the Vault password to make the backup's password.
    static constexpr char kPasswordSuffix[] = "471502836";
    static constexpr char kDropboxFolder[] = "KORVELIN_Backup";

    explicit BackupCommands(Console& console);

    // Into folder, or into KORVELIN_Backup in the Dropbox folder when none is
    // given; prints the path of the backup written.
    void backup(const std::optional<std::string>& folder, bool force);
    // Copies every entry of the backup into the vault; prints the names they received.
    void restore(const std::string& file);

    // "korvelin." + device identity + ".kzipbkp"
    [[nodiscard]] static std::string backupFileName(const std::string& deviceIdentity);

private:
    Console& console;
};
