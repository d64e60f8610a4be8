#pragma once

#include <QDialog>
#include <QStringList>

#include <memory>

class Kist;

namespace Ui {
class CKEnterEmail;
}

// The one-row password prompt: before opening a package (mode 1), before
// adding a package to the vault (mode 2) and before restoring a backup
// (mode 3). Ok logs the given engine in; a wrong password leaves the prompt
// open.
//
// Callers run it with ask(), which returns true only when the engine was
// logged in. In tests, queue the passwords to type with setNextAnswers():
// ask() then tries them in turn without showing the prompt and returns false
// when they run out (as if the user cancelled).
class CKEnterEmail : public QDialog {
    Q_OBJECT

public:
    enum Mode {
        OpenPackage = 1,  // the package's password
        AddToVault = 2,   // the Vault password
        VaultRestore = 3, // the Vault password the backup was made with (+ the backup suffix)
    };

    CKEnterEmail(QWidget* parent, Kist* engine);
    ~CKEnterEmail() override;

    // Title, info text, label and password echo of modes 1-3; other numbers change nothing.
    void setMode(int mode);
    [[nodiscard]] int mode() const { return currentMode; }
    void applySkin();

    // Builds the prompt on engine in mode, with the stored skin, and runs it
    // modally: true when the engine was logged in.
    static bool ask(QWidget* parent, Kist* engine, int mode);

    // Test hooks of ask(): passwords typed in turn; what was shown.
    static void setNextAnswers(const QStringList& passwords);
    static void answerAllWithoutShowing(bool on);
    static void clearAnswers();

    // The suffix that turns a Vault password into a backup's password.
    static constexpr const char* backupPasswordSuffix = "471502836";

public Q_SLOTS:
    void okButtonClicked();
    void cancelButtonClicked();

private:
    std::unique_ptr<Ui::CKEnterEmail> ui;
    Kist* engine;
    int currentMode = 0;
};
