#pragma once

#include <QString>

#include "desktop/SendTarget.h"

class CKDefaultOffPwdSystem;
class CKDefaultsOffPwd;
class QWidget;

// What the sending operations and the password dialogs need from the window
// around them. The main window implements it; tests stand in for it with a
// small fake.
class SendHost {
public:
    virtual ~SendHost();

    // The three entry points the dialogs hand their answers to: write the
    // ticked entries as a package into folder (save to the computer, send to
    // Dropbox), or attach them to an e-mail. An empty package name lets the
    // program choose one; form is what the user chose in the dialog.
    virtual void saveToFolder(const QString& folder, const QString& packageName, const QString& password,
                              PackageForm form) = 0;
    virtual void sendToDropbox(const QString& folder, const QString& packageName, const QString& password,
                               PackageForm form) = 0;
    virtual void sendByEmail(const QString& packageName, const QString& password, PackageForm form) = 0;

    // The window's status line (text and tool tip).
    virtual void setStatusLine(const QString& text) = 0;

    // The Vault password kept from the last unlock or password change.
    [[nodiscard]] virtual QString vaultPassword() const = 0;
    virtual void keepVaultPassword(const QString& password) = 0;

    // The dialogs the window owns and reuses: the password dialog (its send
    // modes and the password change) and the save-to-computer dialog.
    [[nodiscard]] virtual CKDefaultsOffPwd* passwordDialog() = 0;
    [[nodiscard]] virtual CKDefaultOffPwdSystem* saveToComputerDialog() = 0;

    // Parent of the boxes and choosers the operations show.
    [[nodiscard]] virtual QWidget* hostWidget() = 0;
};
