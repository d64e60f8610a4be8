#include <QComboBox>
#include <QDateTime>
#include <QRegularExpression>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>

#include "desktop/CKDropBox.h"
#include "desktop/CKMainWindow.h"
#include "desktop/StatusProgress.h"
#include "desktop/dialogs/CKBackupRestore.h"
#include "desktop/dialogs/CKDefaultSettings.h"
#include "desktop/dialogs/CKDefaultsOffPwd.h"
#include "desktop/dialogs/CKEnterEmail.h"
#include "tests/desktop/DesktopTestSupport.h"
#include "ui_CKBackupRestore.h"
#include "ui_CKDefaultSettings.h"
#include "ui_CKMainWindow.h"

namespace {

const QString kDropboxFolder = QStringLiteral("/Dropbox");

// Points the Dropbox client's settings at a folder of the scratch home.
QString installDropbox()
{
    const QString home = qEnvironmentVariable("HOME");
    const QString folder = home + kDropboxFolder;
    QDir().mkpath(folder);
    desktoptest::writeFile(home + "/.dropbox/info.json",
                           QStringLiteral("{\"personal\": {\"path\": \"%1\"}}").arg(folder).toUtf8());
    return folder;
}

void uninstallDropbox()
{
    const QString home = qEnvironmentVariable("HOME");
    QDir(home + "/.dropbox").removeRecursively();
    QDir(home + kDropboxFolder).removeRecursively();
}

QString backupFolderInDropbox()
{
    return qEnvironmentVariable("HOME") + kDropboxFolder + "/KORVELIN_Backup";
}

void unlock(CKMainWindow& window, const QString& password)
{
    window.form()->password->setText(password);
    window.form()->lockButton->click();
    QVERIFY(window.isUnlocked());
}

void runBackupDialog(CKMainWindow& window, int mode, const QString& location)
{
    CKBackupRestore* dialog = window.backupRestoreDialog();
    dialog->setMode(mode);
    auto* options = dialog->findChild<QComboBox*>(QStringLiteral("optionsComboBox"));
    options->setCurrentText(location);
    dialog->okButtonClicked();
}

QString status(CKMainWindow& window)
{
    return window.form()->InfoLabel->toolTip();
}

} // namespace

class SettingsAndBackupTest : public QObject {
    Q_OBJECT

private:
    std::unique_ptr<Kist> engine;
    std::unique_ptr<CKMainWindow> window;

    // The user's vault with two entries, in an unlocked window.
    void openWindow(WindowMode mode = VaultMode)
    {
        engine = desktoptest::openVault("secret");
        const QString in = desktoptest::makeFolder("in");
        engine->addFile(desktoptest::writeFile(in + "/notes.txt", "first notes").toStdString(), nullptr, false);
        desktoptest::writeFile(in + "/photos/p1.bin", 300000, 3);
        engine->addFile((in + "/photos").toStdString(), nullptr, false);
        window = std::make_unique<CKMainWindow>(engine.get(), mode);
        window->setVaultMode(mode == VaultMode);
        unlock(*window, "secret");
    }

    void takeEverythingOut()
    {
        const QString out = desktoptest::makeFolder("out");
        for (const QString& name : desktoptest::listedNames(*engine))
            engine->removeFile(name.toStdString(), out.toStdString());
        window->vaultView()->refresh();
        QCOMPARE(desktoptest::listedNames(*engine), QStringList());
    }

private Q_SLOTS:
    void init()
    {
        desktoptest::resetProfile();
        desktoptest::clearDialogHooks();
        CKEnterEmail::clearAnswers();
        CKEnterEmail::answerAllWithoutShowing(true);
        CKMainWindow::overrideTrayAvailable(false);
        installDropbox();
    }

    void cleanup()
    {
        window.reset();
        engine.reset();
        uninstallDropbox();
    }

    // ---- default settings ----

    void defaultSettingsNeedTheCurrentVaultPassword()
    {
        openWindow();
        engine->persistConfig("DefaultPassword", "old default");
        window->SettingsMenuSelected();
        CKDefaultSettings* dialog = window->defaultSettingsDialog();
        QVERIFY(dialog->isVisible());
        auto* current = dialog->findChild<QLineEdit*>("currentPwd");
        auto* newPwd = dialog->findChild<QLineEdit*>("newPwd");
        auto* again = dialog->findChild<QLineEdit*>("reEnterNewPwd");
        auto* extraction = dialog->findChild<QLineEdit*>("extractionFolder");
        auto* dropbox = dialog->findChild<QLineEdit*>("dropBoxFolder");
        QCOMPARE(extraction->text(), QString::fromStdString(engine->retrieveConfig("RestoreFolder")));
        QCOMPARE(dropbox->text(), qEnvironmentVariable("HOME") + kDropboxFolder);
        QVERIFY(current->isVisibleTo(dialog));

        const QString folder = desktoptest::makeFolder("defaults");
        extraction->setText(folder);
        newPwd->setText("new default-Marble-Orchid");
        again->setText("new default-Marble-Orchid");

        dialog->okButtonClicked(); // no current password
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("Enter Password"));

        again->setText("typo");
        current->setText("secret");
        dialog->okButtonClicked();
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("Invalid Password!"));

        // A weak default password is asked about, and kept out without a yes.
        newPwd->setText("kzip2025");
        again->setText("kzip2025");
        dialog->okButtonClicked();
        QCOMPARE(MessageBox::lastAsked().text, QStringLiteral("Use this weak password anyway?"));
        QVERIFY(dialog->isVisible());
        QCOMPARE(engine->retrieveConfig("DefaultPassword"), std::string("old default"));

        newPwd->setText("new default-Marble-Orchid");
        again->setText("new default-Marble-Orchid");
        current->setText("wrong");
        dialog->okButtonClicked();
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("Wrong Password"));
        QVERIFY(dialog->isVisible());
        QCOMPARE(engine->retrieveConfig("DefaultPassword"), std::string("old default"));
        QVERIFY(engine->retrieveConfig("RestoreFolder") != folder.toStdString());
        QVERIFY(engine->retrieveConfig("DropboxFolder").empty());
        // The unlocked window's engine still works after the wrong guess.
        QCOMPARE(desktoptest::listedNames(*engine).size(), 2);

        current->setText("secret");
        dialog->okButtonClicked();
        QVERIFY(!dialog->isVisible());
        QCOMPARE(engine->retrieveConfig("DefaultPassword"), std::string("new default-Marble-Orchid"));
        QCOMPARE(engine->retrieveConfig("RestoreFolder"), folder.toStdString());
        QCOMPARE(engine->retrieveConfig("DropboxFolder"), (qEnvironmentVariable("HOME") + kDropboxFolder).toStdString());
        QCOMPARE(status(*window), QStringLiteral("Default settings updated"));
        QCOMPARE(current->text(), QString());
        QCOMPARE(newPwd->text(), QString());

        // Empty default-password fields keep the stored one.
        window->SettingsMenuSelected();
        current->setText("secret");
        const QString other = desktoptest::makeFolder("other");
        extraction->setText(other);
        dialog->okButtonClicked();
        QCOMPARE(engine->retrieveConfig("DefaultPassword"), std::string("new default-Marble-Orchid"));
        QCOMPARE(engine->retrieveConfig("RestoreFolder"), other.toStdString());
    }

    // The user reaches the button through Settings, types the Vault
    // password and clicks it; the recovery key is shown once and opens the
    // vault in place of a forgotten password.
    void hardeningFromDefaultSettingsShowsTheRecoveryKeyOnce()
    {
        openWindow();
        window->show();
        window->SettingsMenuSelected();
        CKDefaultSettings* dialog = window->defaultSettingsDialog();
        QTRY_VERIFY(dialog->isVisible());
        auto* harden = dialog->findChild<QPushButton*>("hardenButton");
        auto* current = dialog->findChild<QLineEdit*>("currentPwd");
        QVERIFY(harden->isVisible());
        const auto click = [&] {
            QTest::mouseClick(dialog->windowHandle(), Qt::LeftButton, {},
                              harden->mapTo(dialog, harden->rect().center()));
        };

        click(); // no password typed yet
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("Enter Password"));
        current->setText("wrong");
        MessageBox::setNextAnswer(QMessageBox::No);
        click(); // the question is declined: nothing happens
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("Harden the Vault?"));
        QCOMPARE(QString::fromStdString(engine->vaultInfo().format), QStringLiteral("standard"));
        MessageBox::setNextAnswer(QMessageBox::Yes);
        click();
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("Cannot harden the Vault!"));
        QCOMPARE(QString::fromStdString(engine->vaultInfo().format), QStringLiteral("standard"));

        current->setText("secret");
        MessageBox::setNextAnswer(QMessageBox::Yes);
        click();
        const MessageBox::Asked shown = MessageBox::lastAsked();
        QCOMPARE(shown.title, QStringLiteral("Recovery key"));
        const QRegularExpression keyPattern(QStringLiteral("([A-Z2-7]{4}-){12}[A-Z2-7]{4}"));
        const QString recoveryKey = keyPattern.match(shown.text).captured(0);
        QVERIFY2(!recoveryKey.isEmpty(), qPrintable(shown.text));
        QCOMPARE(QString::fromStdString(engine->vaultInfo().format), QStringLiteral("hardened"));
        QVERIFY(!harden->isVisible());
        QCOMPARE(status(*window), QStringLiteral("The Vault is hardened"));
        // The window goes on with the hardened vault.
        QCOMPARE(desktoptest::listedNames(*engine).size(), 2);
        dialog->hide();
        window->SettingsMenuSelected();
        QTRY_VERIFY(dialog->isVisible());
        QVERIFY2(!harden->isVisible(), "offered once only");
        dialog->hide();

        // The window follows another program's add to the hardened vault.
        {
            Kist other(true);
            QVERIFY(other.login("secret"));
            const QString later = desktoptest::makeFolder("later");
            other.addFile(desktoptest::writeFile(later + "/later.txt", "later").toStdString(), nullptr, false);
        }
        QTRY_VERIFY(window->vaultView()->allNames().contains(QStringLiteral("later.txt")));

        // The recovery key stands in for the forgotten password.
        Kist other(true);
        other.setPassword("after recovery", recoveryKey.toLower().toStdString());
        QVERIFY(other.login("after recovery"));
    }

    void theComposerChecksThePasswordOnTheUserVault()
    {
        desktoptest::openVault("secret"); // sets the Vault password
        Kist composer(false);
        CKMainWindow composerWindow(&composer, FileCreatorMode);
        composerWindow.setVaultMode(false);
        composerWindow.SettingsMenuSelected();
        CKDefaultSettings* dialog = composerWindow.defaultSettingsDialog();
        auto* current = dialog->findChild<QLineEdit*>("currentPwd");
        QVERIFY(current->isVisibleTo(dialog));
        current->setText(""); // the temporary vault's own (empty) password is not the Vault password
        current->setText(" ");
        dialog->okButtonClicked();
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("Wrong Password"));
        current->setText("secret");
        dialog->findChild<QLineEdit*>("newPwd")->setText("pk-Marble-Orchid-27");
        dialog->findChild<QLineEdit*>("reEnterNewPwd")->setText("pk-Marble-Orchid-27");
        dialog->okButtonClicked();
        QCOMPARE(composer.retrieveConfig("DefaultPassword"), std::string("pk-Marble-Orchid-27"));
    }

    // ---- backup ----

    void aBackupIsNamedAfterTheDeviceAndOpensWithTheSuffixedPassword()
    {
        openWindow();
        runBackupDialog(*window, CKBackupRestore::Backup, "Dropbox");
        QCOMPARE(status(*window), QStringLiteral("Backup to Dropbox Successful!"));
        const QString path = backupFolderInDropbox() + "/" + CKBackupRestore::backupFileName();
        QVERIFY(QFileInfo(path).isFile());
        QVERIFY(CKBackupRestore::backupFileName().contains(QRegularExpression("^korvelin\\.[0-9A-F]{12}\\.kzipbkp$")));

        Kist backup(path.toStdString());
        QVERIFY(!backup.login("secret"));
        QVERIFY(backup.login("secret471502836"));
        QStringList names = desktoptest::listedNames(backup);
        names.sort();
        QCOMPARE(names, (QStringList{"notes.txt", "photos"}));

        // A second backup asks first; declining keeps the first one.
        const QByteArray before = desktoptest::readFile(path);
        MessageBox::setNextAnswer(QMessageBox::Cancel);
        runBackupDialog(*window, CKBackupRestore::Backup, "Dropbox");
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("KORVELIN Backup Exists!"));
        QCOMPARE(status(*window), QStringLiteral("Backup to Dropbox Failed!"));
        QCOMPARE(desktoptest::readFile(path), before);

        MessageBox::setNextAnswer(QMessageBox::Ok);
        runBackupDialog(*window, CKBackupRestore::Backup, "Dropbox");
        QCOMPARE(status(*window), QStringLiteral("Backup to Dropbox Successful!"));
    }

    void aLocalBackupGoesWhereTheUserChoosesAndACancelledChooserFails()
    {
        openWindow();
        runBackupDialog(*window, CKBackupRestore::Backup, "Local Device");
        QCOMPARE(status(*window), QStringLiteral("Backup to Local Device Failed!"));
        QCOMPARE(FileDialog::lastAsked().caption, QStringLiteral("Select a directory"));
        QCOMPARE(FileDialog::lastAsked().startAt, qEnvironmentVariable("XDG_DESKTOP_DIR"));

        const QString folder = desktoptest::makeFolder("local");
        FileDialog::setNextDirName(folder);
        runBackupDialog(*window, CKBackupRestore::Backup, "Local Device");
        QCOMPARE(status(*window), QStringLiteral("Backup to Local Device Successful!"));
        QVERIFY(QFileInfo(folder + "/" + CKBackupRestore::backupFileName()).isFile());
    }

    void anEmptyVaultHasNothingToBackUp()
    {
        engine = desktoptest::openVault("secret");
        window = std::make_unique<CKMainWindow>(engine.get(), VaultMode);
        window->setVaultMode(true);
        unlock(*window, "secret");
        window->BackupMenuSelected();
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("EMPTY VAULT!"));
        QCOMPARE(MessageBox::lastAsked().text, QStringLiteral("Vault is empty! Nothing to backup."));
        QVERIFY(!QFileInfo::exists(backupFolderInDropbox()));
    }

    // ---- restore ----

    void aRestoreAfterAPasswordChangeTakesTheOldPasswordAndStoresUnderTheNew()
    {
        openWindow();
        runBackupDialog(*window, CKBackupRestore::Backup, "Dropbox");
        QCOMPARE(status(*window), QStringLiteral("Backup to Dropbox Successful!"));

        // "Change Vault Password" from the menu: the window keeps the new one.
        CKDefaultsOffPwd* change = window->passwordDialog();
        change->setMode(CKDefaultsOffPwd::ChangeVaultPassword);
        change->findChild<QLineEdit*>("zipFileName")->setText("secret");
        change->findChild<QLineEdit*>("enterPwd")->setText("newer-Quarry-Violin-64");
        change->findChild<QLineEdit*>("reEnterPwd")->setText("newer-Quarry-Violin-64");
        QCOMPARE(change->OkButtonPressed(), int(QDialog::Accepted));
        QCOMPARE(window->vaultPassword(), QStringLiteral("newer-Quarry-Violin-64"));
        QCOMPARE(status(*window), QStringLiteral("Password changed."));
        takeEverythingOut();

        CKEnterEmail::setNextAnswers({"newer-Quarry-Violin-64", "secret"});
        runBackupDialog(*window, CKBackupRestore::Restore, "Dropbox");
        QCOMPARE(status(*window), QStringLiteral("Restore from Dropbox Successful!"));
        QStringList names = window->vaultView()->allNames();
        names.sort();
        QCOMPARE(names, (QStringList{"notes.txt", "photos"}));
        QVERIFY(window->form()->restoreButton->isVisibleTo(window.get()));

        // The restored entries open under the current Vault password.
        Kist fresh(true);
        QVERIFY(fresh.login("newer-Quarry-Violin-64"));
        const QString out = desktoptest::makeFolder("check");
        fresh.removeFile("notes.txt", out.toStdString());
        QCOMPARE(desktoptest::readFile(out + "/notes.txt"), QByteArray("first notes"));
        fresh.removeFile("photos", out.toStdString());
        QCOMPARE(desktoptest::readFile(out + "/photos/p1.bin").size(), 300000);
    }

    // A hardened vault in the window backs up to a hardened backup (no name
    // readable in it), and restores from it with the prompt's password.
    void aHardenedVaultBacksUpHardenedAndRestores()
    {
        openWindow();
        (void)engine->harden("secret");
        window->vaultView()->refresh();
        runBackupDialog(*window, CKBackupRestore::Backup, "Dropbox");
        QCOMPARE(status(*window), QStringLiteral("Backup to Dropbox Successful!"));
        const QString path = backupFolderInDropbox() + "/" + CKBackupRestore::backupFileName();
        const QByteArray bytes = desktoptest::readFile(path);
        QVERIFY(!bytes.contains("notes.txt"));
        QVERIFY(bytes.contains("vault.header"));
        takeEverythingOut();

        CKEnterEmail::setNextAnswers({"wrong", "secret"});
        runBackupDialog(*window, CKBackupRestore::Restore, "Dropbox");
        QCOMPARE(status(*window), QStringLiteral("Restore from Dropbox Successful!"));
        QStringList names = window->vaultView()->allNames();
        names.sort();
        QCOMPARE(names, (QStringList{"notes.txt", "photos"}));
        QCOMPARE(QString::fromStdString(engine->vaultInfo().format), QStringLiteral("hardened"));
        const QString out = desktoptest::makeFolder("hardened-check");
        engine->removeFile("photos", out.toStdString());
        QCOMPARE(desktoptest::readFile(out + "/photos/p1.bin").size(), 300000);
    }

    void aBackupFromAnotherComputerIsOfferedInTheChooser()
    {
        openWindow();
        runBackupDialog(*window, CKBackupRestore::Backup, "Dropbox");
        const QString ours = backupFolderInDropbox() + "/" + CKBackupRestore::backupFileName();
        const QString theirs = backupFolderInDropbox() + "/korvelin.0A1B2C3D4E5F.kzipbkp";
        QVERIFY(QFile::rename(ours, theirs));
        takeEverythingOut();

        FileDialog::setNextFileName(theirs);
        CKEnterEmail::setNextAnswers({"secret"});
        runBackupDialog(*window, CKBackupRestore::Restore, "Dropbox");
        QCOMPARE(FileDialog::lastAsked().startAt, theirs);
        QCOMPARE(FileDialog::lastAsked().filter, QStringLiteral("*.kzipbkp"));
        QCOMPARE(status(*window), QStringLiteral("Restore from Dropbox Successful!"));
        QCOMPARE(desktoptest::listedNames(*engine).size(), 2);
    }

    void theDropboxChoiceProposesOwnThenNewest()
    {
        const QString folder = desktoptest::makeFolder("choice");
        QCOMPARE(CKBackupRestore::dropboxChoice(folder, "korvelin.AAAAAAAAAAAA.kzipbkp").path, QString());
        desktoptest::writeFile(folder + "/korvelin.111111111111.kzipbkp", "old");
        QFile older(folder + "/korvelin.111111111111.kzipbkp");
        QVERIFY(older.open(QIODevice::ReadWrite));
        QVERIFY(older.setFileTime(QDateTime::currentDateTime().addDays(-2), QFileDevice::FileModificationTime));
        older.close();
        desktoptest::writeFile(folder + "/korvelin.222222222222.kzipbkp", "new");
        desktoptest::writeFile(folder + "/notes.txt", "not a backup");

        auto choice = CKBackupRestore::dropboxChoice(folder, "korvelin.AAAAAAAAAAAA.kzipbkp");
        QCOMPARE(choice.path, folder + "/korvelin.222222222222.kzipbkp");
        QVERIFY(choice.ask);
        choice = CKBackupRestore::dropboxChoice(folder, "korvelin.111111111111.kzipbkp");
        QCOMPARE(choice.path, folder + "/korvelin.111111111111.kzipbkp");
        QVERIFY(choice.ask);
        QFile::remove(folder + "/korvelin.222222222222.kzipbkp");
        choice = CKBackupRestore::dropboxChoice(folder, "korvelin.111111111111.kzipbkp");
        QCOMPARE(choice.path, folder + "/korvelin.111111111111.kzipbkp");
        QVERIFY(!choice.ask);
    }

    // Cancel during a restore is heard inside the large entry under way: it
    // stays out of the vault, no error box, and the status says cancelled.
    void cancelDuringARestoreSaysSoWithoutAnErrorBox()
    {
        openWindow();
        const QString large =
            desktoptest::writeFile(desktoptest::makeFolder("large") + "/a-large.bin", 32 * 1024 * 1024, 5);
        engine->addFile(large.toStdString(), nullptr, false);
        window->vaultView()->refresh();
        runBackupDialog(*window, CKBackupRestore::Backup, "Dropbox");
        QCOMPARE(status(*window), QStringLiteral("Backup to Dropbox Successful!"));
        takeEverythingOut();

        int reports = 0;
        connect(window->statusProgress(), &StatusProgress::progressShown, window.get(), [&] {
            // The first report names the first entry, before any of its bytes.
            if (++reports == 1)
                window->statusProgress()->cancelButton()->click();
        });
        MessageBox::clearAsked();
        CKEnterEmail::setNextAnswers({"secret"});
        runBackupDialog(*window, CKBackupRestore::Restore, "Dropbox");
        QVERIFY(reports >= 1);
        QCOMPARE(status(*window), QStringLiteral("Restore Cancelled"));
        QVERIFY(MessageBox::asked().isEmpty());
        QVERIFY(!desktoptest::listedNames(*engine).contains(QStringLiteral("a-large.bin")));
    }

    void aCancelledPromptOrAMissingBackupFails()
    {
        openWindow();
        runBackupDialog(*window, CKBackupRestore::Restore, "Dropbox");
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("No KORVELIN Backup!"));
        QCOMPARE(status(*window), QStringLiteral("Restore from Dropbox Failed!"));

        runBackupDialog(*window, CKBackupRestore::Backup, "Dropbox");
        takeEverythingOut();
        CKEnterEmail::setNextAnswers({"wrong"});
        runBackupDialog(*window, CKBackupRestore::Restore, "Dropbox");
        QCOMPARE(status(*window), QStringLiteral("Restore from Dropbox Failed!"));
        QCOMPARE(desktoptest::listedNames(*engine), QStringList());

        // A file that is no backup: a clear error, nothing restored.
        const QString bogus = desktoptest::writeFile(desktoptest::makeFolder("bogus") + "/x.kzipbkp", "not a zip");
        FileDialog::setNextFileName(bogus);
        runBackupDialog(*window, CKBackupRestore::Restore, "Local Device");
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("File restore error!"));
        QCOMPARE(status(*window), QStringLiteral("Restore from Local Device Failed!"));

        // A backup that holds nothing (kist backs up an empty vault) restores
        // nothing, and the status does not call that a success.
        const QString empty = desktoptest::makeFolder("empty") + "/" + CKBackupRestore::backupFileName();
        {
            Kist composer(false);
            composer.login("");
            composer.exportFiles(empty.toStdString(), {}, std::string("secret") + CKEnterEmail::backupPasswordSuffix);
        }
        FileDialog::setNextFileName(empty);
        CKEnterEmail::setNextAnswers({"secret"});
        runBackupDialog(*window, CKBackupRestore::Restore, "Local Device");
        QCOMPARE(status(*window), QStringLiteral("Restore from Local Device: 0 of 0 entries restored"));

        window->backupRestoreDialog()->setMode(CKBackupRestore::Restore);
        window->backupRestoreDialog()->cancelButtonClicked();
        QCOMPARE(status(*window), QStringLiteral("Restore Cancelled"));
    }
};

VAULTDESK_TEST_MAIN(SettingsAndBackupTest)
#include "SettingsAndBackupTest.moc"
