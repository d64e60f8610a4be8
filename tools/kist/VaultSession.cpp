#include "tools/kist/VaultSession.h"

#include "tools/kist/PasswordSource.h"
#include "tools/kist/ToolError.h"

VaultSession::VaultSession(PasswordSource& passwords)
    : vault(true)
{
    if (vault.isEmptyPassword())
        return;
    vaultPassword = passwords.vaultPassword();
    if (!vault.login(vaultPassword))
        throw ToolError::password("Wrong password.");
}
