#pragma once

#include <QDialog>

#include <memory>

class Kist;
class QLineEdit;
class QTimer;
class SendHost;
class StatusProgress;

namespace Ui {
class CKDefaultsOffPwd;
}

// The three-row password dialog of six uses, chosen by setMode: the two
// encrypt-and-send actions, the first-launch welcome, the e-mail-only
// welcome, extracting an opened package into the vault, and changing the
// Vault password. Verdicts are boxes with one OK button; after one the dialog
// stays open with its texts as they were.
class CKDefaultsOffPwd : public QDialog {
    Q_OBJECT

public:
    enum Mode {
        SendToDropbox = 0,       // name, password, re-entered password, hardened or not -> SendHost::sendToDropbox
        SendByEmail = 1,         // the same -> SendHost::sendByEmail
        Welcome = 2,             // first launch: Vault password twice and e-mail address
        ExtractToVault = 3,      // package password and Vault password; copies the package into the vault
        ChangeVaultPassword = 4, // current, new and re-entered Vault password
        WelcomeEmail = 5,        // e-mail address and Vault password
    };

    // host may be null for the modes that need no window (2, 3, 5).
    CKDefaultsOffPwd(QWidget* parent, Kist* engine, SendHost* host = nullptr);
    ~CKDefaultsOffPwd() override;

    // Clears the three rows and sets titles, texts, labels and echo modes;
    // numbers outside 0-5 leave the texts as they are.
    void setMode(int mode);
    [[nodiscard]] int mode() const { return currentMode; }
    // The dialog's style sheet for the stored skin.
    void applySkin();

    // The timer that hides a dialog shown without blocking, a second after Ok.
    [[nodiscard]] QTimer* hideTimer() const { return hideLater; }

public Q_SLOTS:
    // Validates and performs the mode's action; returns the dialog's result
    // code (QDialog::Accepted when it was done, Rejected when it stays open).
    int OkButtonPressed();
    void CancelButtonPressed();
    // Escape and the window's close button cancel like the Cancel button.
    void reject() override;

protected:
    // Opened again within the second after Ok: the pending hide is dropped.
    void showEvent(QShowEvent* event) override;

private:
    int sendPackage();
    int welcome();
    int extractToVault();
    int changeVaultPassword();
    int welcomeEmail();
    void setRow(int row, const QString& label, bool password, bool shown);
    void clearRows();
    // The "Hardened package" box and its explanation, shown unticked or hidden.
    void setHardenedPackageShown(bool shown);
    // Shows the strength meter below field (the mode's new password), or hides it.
    void showStrengthUnder(QLineEdit* field);
    void finish();

    std::unique_ptr<Ui::CKDefaultsOffPwd> ui;
    Kist* engine;
    SendHost* host;
    int currentMode = -1;
    QTimer* hideLater;
    StatusProgress* progress;
    QLineEdit* newPasswordField = nullptr;
    QSize designedSize;
};
