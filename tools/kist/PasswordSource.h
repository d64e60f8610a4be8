#pragma once

#include <functional>
#include <optional>
#include <string>

// Where each password comes from: its environment variable when that is set
// (an empty value counts), else a prompt on the terminal, else nowhere, and
// then the command fails naming the variable. New passwords are asked twice
// and may not be empty.
class PasswordSource {
public:
    // Asks one question; nullopt when there is no terminal to ask on.
    using Prompt = std::function<std::optional<std::string>(const std::string& question)>;

    static constexpr char kVaultVariable[] = "KIST_PASSWORD";
    static constexpr char kNewVaultVariable[] = "KIST_NEW_PASSWORD";
    static constexpr char kPackageVariable[] = "KIST_PACKAGE_PASSWORD";
    static constexpr char kBackupVariable[] = "KIST_BACKUP_PASSWORD";
    static constexpr char kRecoveryKeyVariable[] = "KIST_RECOVERY_KEY";

    explicit PasswordSource(Prompt prompt);

    [[nodiscard]] std::string vaultPassword();
    // The current Vault password or a reset code, for a password change.
    [[nodiscard]] std::string oldVaultPassword();
    [[nodiscard]] std::string newVaultPassword();
    // A hardened vault's recovery key, in place of the current password.
    [[nodiscard]] std::string recoveryKey();
    // The password of an existing package.
    [[nodiscard]] std::string packagePassword();
    // The password a new package gets.
    [[nodiscard]] std::string newPackagePassword();
    // The Vault password that was current when a backup was made, when the
    // caller has set it.
    [[nodiscard]] std::optional<std::string> backupPasswordVariable() const;
    // Asks for that password; nullopt when there is no terminal.
    [[nodiscard]] std::optional<std::string> askBackupPassword();

private:
    std::string obtain(const char* variable, const std::string& what, const std::string& question, bool confirm);

    Prompt prompt;
};
