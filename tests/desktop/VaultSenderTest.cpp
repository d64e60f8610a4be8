#include <QFileInfo>
#include <QLineEdit>
#include <QSignalSpy>
#include <QStandardItemModel>
#include <QUrl>

#include <sys/stat.h>

#include "desktop/InputRules.h"
#include "tests/desktop/SendTestSupport.h"

using desktoptest::makeFolder;
using desktoptest::readFile;
using desktoptest::writeFile;
using sendtest::FakeSendWindow;
using sendtest::packageHolds;
using sendtest::storeFile;

namespace {

const QByteArray photoBytes = QByteArrayLiteral("not really a photo\n");
const QByteArray notesBytes = QByteArrayLiteral("notes of a meeting\n");

void setDefaults(Kist& engine, bool on, const QString& password, const QString& restoreFolder)
{
    engine.persistConfig("DefaultsOn", on ? "true" : "false");
    engine.persistConfig("DefaultPassword", password.toStdString());
    engine.persistConfig("RestoreFolder", restoreFolder.toStdString());
}

// Removes the bodies of every entry stored so far, so that reading them fails.
void loseStoredBodies()
{
    const QDir vault(qEnvironmentVariable("XDG_DATA_HOME") + "/kist");
    for (const QFileInfo& info : vault.entryInfoList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot)) {
        if (info.fileName().startsWith(QLatin1String("f13f2488")) || info.fileName().contains(QLatin1String("lock")))
            continue;
        if (info.isDir())
            QDir(info.filePath()).removeRecursively();
        else
            QFile::remove(info.filePath());
    }
}

// A mail client stand-in: writes the mailto: address it is given to a file
// and exits with the given status.
QString installMailer(int exitStatus)
{
    const QString folder = makeFolder(QStringLiteral("mailer"));
    const QString script = writeFile(folder + "/mailer.sh", QStringLiteral("#!/bin/sh\nprintf '%s' \"$1\" > '%1/url'\n"
                                                                           "exit %2\n")
                                                                .arg(folder)
                                                                .arg(exitStatus)
                                                                .toUtf8());
    QFile::setPermissions(script, QFileDevice::ReadOwner | QFileDevice::ExeOwner);
    qputenv("MAILER", script.toUtf8());
    return folder + "/url";
}

unsigned modeOf(const QString& path)
{
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return 0;
    return info.st_mode & 07777u;
}

struct MailTo {
    QString subject;
    QString body;
    QString attachment;
};

MailTo parseMailTo(const QByteArray& address)
{
    const QUrlQuery query(QUrl::fromEncoded(address).query(QUrl::FullyEncoded));
    MailTo mail;
    mail.subject = query.queryItemValue(QStringLiteral("subject"), QUrl::FullyDecoded);
    mail.body = query.queryItemValue(QStringLiteral("body"), QUrl::FullyDecoded).replace("\r\n", "\n");
    mail.attachment = query.queryItemValue(QStringLiteral("attach"), QUrl::FullyDecoded);
    return mail;
}

} // namespace

class VaultSenderTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        desktoptest::resetProfile();
        desktoptest::clearDialogHooks();
        qunsetenv("MAILER");
        engine = desktoptest::openVault();
    }

    void cleanup()
    {
        window.reset();
        engine.reset();
    }

    // Runs first: the engine remembers a Dropbox folder once it found one.
    void dropboxNotInstalledIsSaidWithALinkAndOpensNothing()
    {
        storeFile(*engine, "photo.jpg", photoBytes);
        makeWindow();
        window->tick({"photo.jpg"});
        QVERIFY(!window->sender->sendSelected(1));
        const auto box = MessageBox::lastAsked();
        QCOMPARE(box.title, QStringLiteral("No Dropbox"));
        QVERIFY(box.text.startsWith("DropBox is not setup on your computer. <a href="));
        QVERIFY(box.text.contains(">Install Dropbox</span></a> and then try again."));
        QVERIFY(!window->pwdDialog->isVisible());
    }

    void nothingTickedIsRefusedBeforeAnythingMoves()
    {
        storeFile(*engine, "photo.jpg", photoBytes);
        makeWindow();
        window->sender->restoreSelected();
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("No Files Selected!"));
        QCOMPARE(MessageBox::lastAsked().text,
                 QStringLiteral("Looks like You haven't selected any files to take out of the Vault"));
        QVERIFY(FileDialog::asked().isEmpty());
        QCOMPARE(desktoptest::listedNames(*engine), QStringList{"photo.jpg"});

        for (int target = 0; target < 3; ++target) {
            QVERIFY(!window->sender->sendSelected(target));
            QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("No Files!"));
        }
        QVERIFY(!window->pwdDialog->isVisible() && !window->systemDialog->isVisible());
    }

    void takeOutGoesToTheChosenFolderAndClearsSelectAll()
    {
        storeFile(*engine, "photo.jpg", photoBytes);
        storeFile(*engine, "notes.txt", notesBytes);
        makeWindow();
        window->selectAll->setChecked(true);
        window->tick({"photo.jpg"});
        const QString destination = makeFolder("chosen");
        FileDialog::setNextDirName(destination);

        window->sender->restoreSelected();
        QCOMPARE(FileDialog::lastAsked().caption, QStringLiteral("Select a directory"));
        QCOMPARE(FileDialog::lastAsked().startAt, QString::fromStdString(Kist::getFolder(DesktopDir)));
        QCOMPARE(readFile(destination + "/photo.jpg"), photoBytes);
        QCOMPARE(desktoptest::listedNames(*engine), QStringList{"notes.txt"});
        QCOMPARE(window->status->text(), QStringLiteral("Files sent to %1").arg(destination));
        QVERIFY(!window->selectAll->isChecked());
        QCOMPARE(window->selectionUpdates, 1);
        QCOMPARE(window->view->allNames(), QStringList{"notes.txt"});
        QVERIFY(!window->view->busy());

        // A cancelled chooser takes nothing out.
        window->tick({"notes.txt"});
        window->sender->restoreSelected();
        QCOMPARE(desktoptest::listedNames(*engine), QStringList{"notes.txt"});
    }

    void takeOutAllUsesTheDefaultFolderWithoutAsking()
    {
        storeFile(*engine, "photo.jpg", photoBytes);
        storeFile(*engine, "notes.txt", notesBytes);
        const QString restore = makeFolder("restore") + "/gone since";
        setDefaults(*engine, true, "pkg", restore);
        makeWindow();
        QSignalSpy statuses(window->view, qOverload<const QString&>(&CKDropBox::statusChanged));

        window->sender->restoreAll();
        QVERIFY(FileDialog::asked().isEmpty());
        QCOMPARE(readFile(restore + "/photo.jpg"), photoBytes);
        QCOMPARE(readFile(restore + "/notes.txt"), notesBytes);
        QVERIFY(desktoptest::listedNames(*engine).isEmpty());
        QCOMPARE(statuses.first().first().toString(), QStringLiteral(" Getting the files out of KORVELIN format..."));
        QCOMPARE(window->status->text(), QStringLiteral("Files sent to %1").arg(restore));
        QCOMPARE(window->selectionUpdates, 0);
    }

    void failedEntriesAreReportedTogetherAndTheOthersStillComeOut()
    {
        storeFile(*engine, "first.txt", "1");
        storeFile(*engine, "second.txt", "2");
        loseStoredBodies();
        storeFile(*engine, "third.txt", "3");
        makeWindow();
        window->view->setAllTicked(true);
        const QString destination = makeFolder("out");
        FileDialog::setNextDirName(destination);

        window->sender->restoreSelected();
        QCOMPARE(MessageBox::asked().size(), 1);
        const auto box = MessageBox::lastAsked();
        QCOMPARE(box.kind, MessageBox::Kind::Warning);
        QCOMPARE(box.title, QStringLiteral("Apologies, Unable to extract some files!"));
        QCOMPARE(box.parentName, window->view->objectName());
        const QString prefix = QStringLiteral("The following files could not be extracted. This is usually caused by a "
                                              "problem while creating the encrypted files.\n\n");
        QVERIFY(box.text.startsWith(prefix));
        // One report for both failures, each naming its entry, ending in a line break.
        const QString failures = box.text.mid(prefix.size());
        QVERIFY(failures.contains(QStringLiteral("first.txt")));
        QVERIFY(failures.contains(QStringLiteral("second.txt")));
        QVERIFY(!failures.contains(QStringLiteral("third.txt")));
        QVERIFY(failures.endsWith('\n'));
        QCOMPARE(readFile(destination + "/third.txt"), QByteArray("3"));
        // Only a take-out of everything says the files were sent.
        QCOMPARE(window->status->text(),
                 QStringLiteral("Took out 1 of 3 to %1; 2 not taken out (failed)").arg(destination));
    }

    void defaultsOnSaveToFolderNamesThePackageAfterTheFirstTickedEntry()
    {
        storeFile(*engine, "photo.jpg", photoBytes);
        storeFile(*engine, "notes.txt", notesBytes);
        const QString restore = makeFolder("restore");
        setDefaults(*engine, true, "pkg pass", restore);
        makeWindow();

        window->tick({"photo.jpg"});
        QVERIFY(!window->sender->sendSelected(0));
        const QString first = restore + "/photo.kzip";
        QCOMPARE(window->status->text(), QStringLiteral("Created %1").arg(first));
        QVERIFY(packageHolds(first, "pkg pass", {"photo.jpg"}));
        const QByteArray firstBytes = readFile(first);
        QVERIFY(window->view->selectedNames().isEmpty()); // refreshed

        // The name is the program's choice, so an existing package is kept.
        window->tick({"photo.jpg"});
        QVERIFY(!window->sender->sendSelected(0));
        const QString second = restore + "/photo (2).kzip";
        QCOMPARE(window->status->text(), QStringLiteral("Created %1").arg(second));
        QVERIFY(packageHolds(second, "pkg pass", {"photo.jpg"}));
        QCOMPARE(readFile(first), firstBytes);

        // Named after the first ticked entry in the order of the tree.
        window->view->setAllTicked(true);
        const QString firstInTree = window->view->allNames().first();
        QVERIFY(!window->sender->sendSelected(0));
        const QString third = restore + "/" + InputRules::defaultPackageName(firstInTree);
        QCOMPARE(window->status->text(), QStringLiteral("Created %1").arg(third));
        QVERIFY(packageHolds(third, "pkg pass", {"photo.jpg", "notes.txt"}));
        QCOMPARE(desktoptest::listedNames(*engine).size(), 2);
    }

    void defaultsOffEachWriterButtonOpensItsDialog()
    {
        storeFile(*engine, "photo.jpg", photoBytes);
        setDefaults(*engine, false, "pkg", makeFolder("restore"));
        sendtest::installDropbox(makeFolder("Dropbox"));
        makeWindow();
        window->tick({"photo.jpg"});

        QVERIFY(window->sender->sendSelected(0));
        QTRY_VERIFY(window->systemDialog->isVisible());
        QCOMPARE(window->systemDialog->findChild<QLineEdit*>("zipFileName")->text(),
                 QString::fromStdString(Kist::getFolder(DesktopDir)) + "/MyFiles.kzip");
        QVERIFY(window->sender->sendSelected(1));
        QCOMPARE(window->pwdDialog->mode(), int(CKDefaultsOffPwd::SendToDropbox));
        QTRY_VERIFY(window->pwdDialog->isVisible());
        QVERIFY(window->sender->sendSelected(2));
        QCOMPARE(window->pwdDialog->mode(), int(CKDefaultsOffPwd::SendByEmail));
        QCOMPARE(window->pwdDialog->windowTitle(), QStringLiteral("Encrypt and Email"));
        QVERIFY(window->handOvers.isEmpty());
        QVERIFY(QDir(qEnvironmentVariable("XDG_DESKTOP_DIR")).entryList({"*.kzip"}).isEmpty());
    }

    void exportsIntoDropboxSayCreatedAndABackupSaysSent()
    {
        storeFile(*engine, "photo.jpg", photoBytes);
        storeFile(*engine, "notes.txt", notesBytes);
        const QString dropbox = makeFolder("DropboxHome");
        sendtest::installDropbox(dropbox);
        setDefaults(*engine, true, "pkg", makeFolder("restore"));
        makeWindow();

        // Defaults on without a Dropbox folder of their own: the client's folder.
        window->tick({"notes.txt"});
        QVERIFY(!window->sender->sendSelected(1));
        const QString sent = QString::fromStdString(Kist::getFolder(DropboxDir)) + "/notes.kzip";
        QCOMPARE(window->status->text(), QStringLiteral("Created %1").arg(sent));
        QVERIFY(packageHolds(sent, "pkg", {"notes.txt"}));

        const QString backup = window->sender->exportAll(dropbox, "korvelin.test.kzipbkp", "vault+suffix",
                                                         SendTarget::Dropbox);
        QCOMPARE(backup, dropbox + "/korvelin.test.kzipbkp");
        QCOMPARE(window->status->text(), QStringLiteral("Sent %1 to Dropbox").arg(backup));
        QVERIFY(packageHolds(backup, "vault+suffix", {"photo.jpg", "notes.txt"}));
    }

    void aFailedExportSaysSoAndReturnsNoPath()
    {
        storeFile(*engine, "photo.jpg", photoBytes);
        loseStoredBodies();
        makeWindow();
        window->tick({"photo.jpg"});
        const QString folder = makeFolder("packages");
        QCOMPARE(window->sender->exportSelected(folder, "lost.kzip", "pkg", SendTarget::Folder), QString());
        QCOMPARE(window->status->text(), QStringLiteral("File export failed"));
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("File export error!"));
        QCOMPARE(MessageBox::lastAsked().parentName, window->view->objectName());
        QVERIFY(!QFile::exists(folder + "/lost.kzip"));
        QVERIFY(!window->view->busy());

        // A name that is a path is refused before anything is written.
        window->tick({"photo.jpg"});
        QCOMPARE(window->sender->exportSelected(folder + "/inner", "../up.kzip", "pkg", SendTarget::Folder), QString());
        QCOMPARE(MessageBox::lastAsked().text, QStringLiteral("Invalid KORVELIN file name: ../up.kzip"));
        QVERIFY(!QFile::exists(folder + "/up.kzip"));
    }

    void anEmailCarriesAPrivatePackageNamedInItsSubject()
    {
        const QString urlFile = installMailer(0);
        storeFile(*engine, "photo.jpg", photoBytes);
        setDefaults(*engine, true, "mail pass", makeFolder("restore"));
        makeWindow();
        window->tick({"photo.jpg"});

        QVERIFY(!window->sender->sendSelected(2));
        QTRY_COMPARE(window->status->text(), QStringLiteral("Handed to your mail program"));
        const MailTo mail = parseMailTo(readFile(urlFile));
        QCOMPARE(mail.subject, QStringLiteral("Please find KORVELIN file photo.kzip attached"));
        QCOMPARE(mail.body.trimmed(), VaultSender::mailBody().trimmed());
        QVERIFY(mail.body.startsWith("\n\n" + QString(100, '-') + "\nThis is sent by KORVELIN"));
        QCOMPARE(QFileInfo(mail.attachment).fileName(), QStringLiteral("photo.kzip"));
        QVERIFY(packageHolds(mail.attachment, "mail pass", {"photo.jpg"}));
        // Left for the mail client, readable by this user alone.
        QCOMPARE(modeOf(mail.attachment), 0600u);
        QCOMPARE(modeOf(QFileInfo(mail.attachment).path()), 0700u);
    }

    void aTypedNameReachesTheSubjectAndAFailingClientIsEmailNotSent()
    {
        const QString urlFile = installMailer(3);
        storeFile(*engine, "photo.jpg", photoBytes);
        makeWindow();
        window->tick({"photo.jpg"});
        window->sender->emailSelected("holiday.kzip", "pw");
        QTRY_COMPARE(window->status->text(), QStringLiteral("Email not sent"));
        QCOMPARE(parseMailTo(readFile(urlFile)).subject, QStringLiteral("Please find KORVELIN file holiday.kzip attached"));
    }

    void withoutXdgEmailNoMailIsSent()
    {
        storeFile(*engine, "photo.jpg", photoBytes);
        makeWindow();
        window->tick({"photo.jpg"});
        const QByteArray path = qgetenv("PATH");
        qputenv("PATH", makeFolder("empty-path").toUtf8());
        window->sender->emailSelected(QString(), "pw");
        qputenv("PATH", path);
        QCOMPARE(window->status->text(), QStringLiteral("Email not sent"));
        QVERIFY(MessageBox::asked().isEmpty());
    }

    void aFailedExportHandsNothingToTheMailClient()
    {
        const QString urlFile = installMailer(0);
        storeFile(*engine, "photo.jpg", photoBytes);
        loseStoredBodies();
        makeWindow();
        window->tick({"photo.jpg"});
        const QStringList tempBefore = QDir(qEnvironmentVariable("TMPDIR")).entryList(QDir::Dirs | QDir::NoDotAndDotDot);

        window->sender->emailSelected("lost.kzip", "pw");
        QCOMPARE(MessageBox::lastAsked().title, QStringLiteral("File export error!"));
        QCOMPARE(window->status->text(), QStringLiteral("Email not sent"));
        QVERIFY(!QFile::exists(urlFile));
        QCOMPARE(QDir(qEnvironmentVariable("TMPDIR")).entryList(QDir::Dirs | QDir::NoDotAndDotDot), tempBefore);
    }

    void defaultsCountOnlyWhileSwitchedOn()
    {
        setDefaults(*engine, false, "pkg", "/somewhere");
        makeWindow();
        QCOMPARE(window->sender->getDefaultConfig("DefaultsOn"), QStringLiteral("false"));
        QCOMPARE(window->sender->getDefaultConfig("DefaultPassword"), QString());
        QCOMPARE(window->sender->getDefaultConfig("RestoreFolder"), QString());
        engine->persistConfig("DefaultsOn", "true");
        QCOMPARE(window->sender->getDefaultConfig("DefaultPassword"), QStringLiteral("pkg"));
        QCOMPARE(window->sender->getDefaultConfig("RestoreFolder"), QStringLiteral("/somewhere"));
        engine->persistConfig("DefaultsOn", "True");
        QCOMPARE(window->sender->getDefaultConfig("DefaultPassword"), QString());
    }

private:
    void makeWindow()
    {
        window = std::make_unique<FakeSendWindow>(engine.get());
        window->view->refresh();
    }

    std::unique_ptr<Kist> engine;
    std::unique_ptr<FakeSendWindow> window;
};

VAULTDESK_TEST_MAIN(VaultSenderTest)
#include "VaultSenderTest.moc"
