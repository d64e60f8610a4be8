#pragma once

#include <QDialog>
#include <QString>

#include <memory>

class CKDropBox;
class Kist;
class SendHost;
class VaultViewHost;

namespace Ui {
class CKBackupRestore;
}

// Backs the whole vault up as one package named after this device, in the
// Dropbox folder or a folder the user picks, and restores such a backup into
// the vault. The backup's password is the kept Vault password with a fixed
// suffix; the verdict goes to the window's status line.
class CKBackupRestore : public QDialog {
    Q_OBJECT

public:
    enum Mode { Backup = 0, Restore = 1 };

    CKBackupRestore(QWidget* parent, Kist& engine, CKDropBox& view, SendHost& host, VaultViewHost& viewHost);
    ~CKBackupRestore() override;

    void setMode(int mode);
    [[nodiscard]] int mode() const { return currentMode; }

    // "korvelin." + this device's identity + ".kzipbkp"; throws when the
    // device has no identity.
    [[nodiscard]] static QString backupFileName();
    // The folder inside Dropbox that holds backups.
    static constexpr const char* dropboxBackupFolder = "KORVELIN_Backup";

    // What a Dropbox backup folder offers for a restore: this device's
    // backup when it is the only one; otherwise the chooser, proposing this
    // device's backup or, when there is none (a backup made on another
    // computer), the newest. Empty when the folder holds no backup.
    struct DropboxChoice {
        QString path;
        bool ask = false;
    };
    [[nodiscard]] static DropboxChoice dropboxChoice(const QString& folder, const QString& thisDeviceName);

public Q_SLOTS:
    void okButtonClicked();
    void cancelButtonClicked();

private:
    [[nodiscard]] bool backup(bool toDropbox);
    // What a restore did: the backup's entries, and how many of them the vault received.
    struct Restored {
        bool done = false;
        bool cancelled = false; // Cancel was pressed while it ran
        int inBackup = 0;
        int received = 0;
    };
    [[nodiscard]] Restored restore(bool fromDropbox);
    // The Dropbox folder, or "" after telling the user Dropbox is not set up.
    QString dropboxFolder();
    // The backup file to restore, or "" when none was chosen.
    QString chooseBackup(bool fromDropbox);
    void tell(const QString& title, const QString& text);

    std::unique_ptr<Ui::CKBackupRestore> ui;
    Kist& engine;
    CKDropBox& view;
    SendHost& host;
    VaultViewHost& viewHost;
    int currentMode = Backup;
};
