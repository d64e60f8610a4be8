#pragma once

#include <QString>

class Kist;

// Renders the main window in its three modes (the vault locked and unlocked,
// with the writer shelf open and closed; an opened package; the composer)
// and the default-settings and backup/restore dialogs into out. The vault
// engine is the user's, with entries and the Vault password given. False
// when a file failed.
bool shootWindowModes(Kist& vault, const std::string& vaultPassword, const QString& root, const QString& out);
