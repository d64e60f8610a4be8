#pragma once

#include <string>

#include "engine/Kist.h"

class PasswordSource;

// The user's vault, logged in: with no password while its password is still
// empty, else with the Vault password from its variable or the terminal.
class VaultSession {
public:
    // Throws ToolError for a wrong or missing password, ExceptionModule when
    // the vault cannot be opened.
    explicit VaultSession(PasswordSource& passwords);
    VaultSession(const VaultSession&) = delete;
    VaultSession& operator=(const VaultSession&) = delete;

    [[nodiscard]] Kist& kist() { return vault; }
    // The Vault password of this login (empty for a vault without one).
    [[nodiscard]] const std::string& password() const { return vaultPassword; }

private:
    Kist vault;
    std::string vaultPassword;
};
