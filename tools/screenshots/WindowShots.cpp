#include "tools/screenshots/WindowShots.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPropertyAnimation>
#include <QPushButton>

#include <cstdio>

#include "desktop/CKDropBox.h"
#include "desktop/CKMainWindow.h"
#include "desktop/dialogs/CKBackupRestore.h"
#include "desktop/dialogs/CKDefaultSettings.h"
#include "engine/Kist.h"
#include "ui_CKMainWindow.h"

namespace {

bool saveWidget(QWidget& widget, const QString& path)
{
    widget.show();
    QApplication::processEvents();
    const bool ok = widget.grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

// The slides end where they are going, as a person would see them a moment later.
void settle(CKMainWindow& window)
{
    for (QPropertyAnimation* slide : {window.coverAnimation(), window.shelfAnimation()})
        if (slide->state() == QAbstractAnimation::Running)
            slide->setCurrentTime(slide->duration());
}

void unlock(CKMainWindow& window, const std::string& password)
{
    window.form()->password->setText(QString::fromStdString(password));
    window.form()->lockButton->click();
    settle(window);
}

} // namespace

bool shootWindowModes(Kist& vault, const std::string& vaultPassword, const QString& root, const QString& out)
{
    bool ok = true;
    vault.persistConfig("Skin", "black");
    // A Dropbox client, so that the settings show their Dropbox row.
    const QString home = qEnvironmentVariable("HOME");
    QDir().mkpath(home + "/Dropbox");
    QDir().mkpath(home + "/.dropbox");
    QFile info(home + "/.dropbox/info.json");
    if (info.open(QIODevice::WriteOnly))
        info.write(QStringLiteral("{\"personal\": {\"path\": \"%1/Dropbox\"}}").arg(home).toUtf8());
    info.close();
    {
        CKMainWindow window(&vault, VaultMode);
        window.setVaultMode(true);
        settle(window);
        unlock(window, vaultPassword);
        window.vaultView()->setStatus(QStringLiteral("Drag/Drop the files to this box and select desired button."));
        ok &= saveWidget(window, out + "/window-vault-shelf-closed.png");
        window.form()->writerButton->click();
        settle(window);
        ok &= saveWidget(window, out + "/window-vault-shelf-open.png");
        // The settings, backup and restore open only while the vault is unlocked.
        window.SettingsMenuSelected();
        // A weak default password half typed: the strength bar says so.
        window.defaultSettingsDialog()->findChild<QLineEdit*>(QStringLiteral("newPwd"))->setText(QStringLiteral("kzip2025"));
        ok &= saveWidget(*window.defaultSettingsDialog(), out + "/default-settings.png");
        window.defaultSettingsDialog()->hide();
        CKBackupRestore* backup = window.backupRestoreDialog();
        backup->setMode(CKBackupRestore::Backup);
        ok &= saveWidget(*backup, out + "/backup-vault.png");
        backup->hide();
        backup->setMode(CKBackupRestore::Restore);
        backup->findChild<QComboBox*>(QStringLiteral("optionsComboBox"))->setCurrentIndex(1);
        ok &= saveWidget(*backup, out + "/restore-vault.png");
        backup->hide();

        window.form()->lockButton->click();
        settle(window);
        ok &= saveWidget(window, out + "/window-vault-locked-again.png");
    }
    // Locking logged the engine off.
    vault.login(vaultPassword);

    // An opened package: its entries at once, the extract button, no shelf.
    const QString package = root + "/Tax papers.kzip";
    std::vector<KistFile*> files;
    vault.listFiles(files);
    std::vector<std::string> names;
    for (KistFile* file : files) {
        names.push_back(file->name);
        delete file;
    }
    vault.exportFiles(package.toStdString(), names, "package password");
    {
        Kist reader(package.toStdString());
        if (!reader.login("package password"))
            return false;
        CKMainWindow window(&reader, OpenFileMode);
        window.setVaultMode(false);
        settle(window);
        ok &= saveWidget(window, out + "/window-package.png");
    }
    {
        Kist composer(false);
        composer.login("");
        // The composer encrypts a copy; the file stays where it is.
        const QString file = root + "/composer/Quarterly report.pdf";
        QDir().mkpath(root + "/composer");
        QFile body(file);
        if (body.open(QIODevice::WriteOnly))
            body.write(QByteArray(64000, 'r'));
        body.close();
        composer.addFile(file.toStdString(), nullptr, false);
        CKMainWindow window(&composer, FileCreatorMode);
        window.setVaultMode(false);
        settle(window);
        ok &= saveWidget(window, out + "/window-composer.png");
    }
    return ok;
}
