#pragma once

#include <QDialog>

#include <memory>

class Kist;
class SendHost;

namespace Ui {
class CKDefaultSettings;
}

// The default settings: the password given to new KORVELIN files, the folder
// files are taken out to, and the Dropbox folder packages are placed in.
// Nothing is written unless the current Vault password is given (its row is
// hidden in a package window). Shown without blocking; reused.
class CKDefaultSettings : public QDialog {
    Q_OBJECT

public:
    // host (may be null) receives the status line and keeps the Vault
    // password the window was unlocked with.
    CKDefaultSettings(QWidget* parent, Kist* engine, SendHost* host = nullptr);
    ~CKDefaultSettings() override;

    // Shows or hides the Dropbox row and fills both folder fields.
    void setFolders(bool showDropbox, const QString& dropboxFolder, const QString& restoreFolder);
    void showCurrentPassword(bool show);
    // Fills the idle lock and the update check from their stored settings.
    void loadStartSettings();
    // The package composer's engine is a temporary vault: the password is
    // then checked on a second engine opened on the user's vault.
    void setChecksWithUserVault(bool on) { checksWithUserVault = on; }

public Q_SLOTS:
    void okButtonClicked();
    void CancelButtonPressed();
    void selectExtractionFolderClicked();
    void selectDBFolderClicked();
    // Escape and the window's close button cancel like the Cancel button.
    void reject() override;
    // Hardens the user's vault once the current Vault password is given and
    // the question is answered, then shows the recovery key once.
    void hardenButtonClicked();

protected:
    void showEvent(QShowEvent* event) override;

private:
    [[nodiscard]] bool vaultPasswordIsRight(const std::string& typed);
    void clearPasswords();

    std::unique_ptr<Ui::CKDefaultSettings> ui;
    Kist* engine;
    SendHost* host;
    bool checksWithUserVault = false;
};
