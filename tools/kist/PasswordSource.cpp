#include "tools/kist/PasswordSource.h"

#include <cstdlib>
#include <utility>

#include "tools/kist/ToolError.h"

namespace {

std::optional<std::string> variable(const char* name)
{
    const char* value = std::getenv(name);
    if (value == nullptr)
        return std::nullopt;
    return std::string(value);
}

} // namespace

PasswordSource::PasswordSource(Prompt promptFunction)
    : prompt(std::move(promptFunction))
{
}

std::string PasswordSource::vaultPassword()
{
    return obtain(kVaultVariable, "Vault password", "Vault password: ", false);
}

std::string PasswordSource::oldVaultPassword()
{
    return obtain(kVaultVariable, "current Vault password", "Current Vault password or reset code: ", false);
}

std::string PasswordSource::recoveryKey()
{
    return obtain(kRecoveryKeyVariable, "recovery key", "Recovery key: ", false);
}

std::string PasswordSource::newVaultPassword()
{
    return obtain(kNewVaultVariable, "new Vault password", "New Vault password: ", true);
}

std::string PasswordSource::packagePassword()
{
    return obtain(kPackageVariable, "package password", "Package password: ", false);
}

std::string PasswordSource::newPackagePassword()
{
    return obtain(kPackageVariable, "package password", "Password for the new package: ", true);
}

std::optional<std::string> PasswordSource::backupPasswordVariable() const
{
    return variable(kBackupVariable);
}

std::optional<std::string> PasswordSource::askBackupPassword()
{
    return prompt("Vault password when the backup was made: ");
}

std::string PasswordSource::obtain(const char* name, const std::string& what, const std::string& question,
                                   bool confirm)
{
    std::optional<std::string> answer = variable(name);
    if (!answer) {
        answer = prompt(question);
        if (!answer)
            throw ToolError::password("No terminal to ask for the " + what + ": set " + name + ".");
        if (confirm) {
            const std::optional<std::string> again = prompt("Repeat it: ");
            if (!again || *again != *answer)
                throw ToolError::password("The two passwords do not match.");
        }
    }
    // An empty new password would leave the vault or package open to
    // anyone; the desktop program refuses it too.
    if (confirm && answer->empty())
        throw ToolError::password("The " + what + " cannot be empty.");
    return *answer;
}
