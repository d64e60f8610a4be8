// The window as a user meets it: started the way the program starts it (no
// listing before), files dropped through Qt's own drop path, buttons pressed
// at their place in the window, and other programs changing the vault.

#include <QCheckBox>
#include <QDir>
#include <QDirIterator>
#include <QLineEdit>
#include <QMimeData>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTreeView>

#include <fcntl.h>
#include <unistd.h>

#include "desktop/CKDropBox.h"
#include "desktop/CKMainWindow.h"
#include "desktop/StartUp.h"
#include "desktop/VaultWatch.h"
#include "desktop/dialogs/CKDefaultOffPwdSystem.h"
#include "desktop/dialogs/CKDefaultsOffPwd.h"
#include "tests/desktop/DesktopTestSupport.h"
#include "ui_CKMainWindow.h"

using namespace desktoptest;

namespace {

const std::string kVaultPassword = "secret";
// Latin-1 bytes of "café.txt", as older disks and archives hold them: not UTF-8.
const QByteArray kLatin1Name("caf\xe9.txt");

// A file whose name is the given bytes, in folder; returns its path as bytes.
QByteArray writeRawNamedFile(const QString& folder, const QByteArray& name, const QByteArray& bytes)
{
    const QByteArray path = QFile::encodeName(folder) + '/' + name;
    const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    if (fd < 0 || ::write(fd, bytes.constData(), static_cast<size_t>(bytes.size())) != bytes.size())
        throw std::runtime_error("cannot write a raw-named file");
    ::close(fd);
    return path;
}

QByteArray readRaw(const QByteArray& path)
{
    QByteArray bytes;
    const int fd = ::open(path.constData(), O_RDONLY);
    if (fd < 0)
        return {};
    char buffer[4096];
    ssize_t got = 0;
    while ((got = ::read(fd, buffer, sizeof buffer)) > 0)
        bytes.append(buffer, got);
    ::close(fd);
    return bytes;
}

bool rawExists(const QByteArray& path)
{
    return ::access(path.constData(), F_OK) == 0;
}

// What a file manager drops: a folder with a subfolder, a non-ASCII name and
// a name that is not UTF-8 (sent percent-encoded, as text/uri-list carries it).
struct DroppedFiles {
    QString folder;
    QString accented;
    QByteArray latin1Path;
    QList<QUrl> urls;
};

DroppedFiles makeDroppedFiles()
{
    DroppedFiles files;
    const QString in = makeFolder(QStringLiteral("from-file-manager"));
    files.folder = in + QStringLiteral("/Photos2024");
    writeFile(files.folder + QStringLiteral("/beach.jpg"), 3000, 1);
    writeFile(files.folder + QStringLiteral("/Trip/day one.txt"), QByteArray("day one"));
    files.accented = writeFile(in + QString::fromUtf8("/naïve résumé.txt"), QByteArray("accented"));
    files.latin1Path = writeRawNamedFile(in, kLatin1Name, QByteArray("latin-1 named"));
    files.urls = {QUrl::fromLocalFile(files.folder), QUrl::fromLocalFile(files.accented),
                  QUrl::fromEncoded("file://" + files.latin1Path.toPercentEncoding("/"))};
    return files;
}

// Relative path -> bytes of everything below folder (as the file system spells the names).
QMap<QByteArray, QByteArray> snapshot(const QString& folder)
{
    QMap<QByteArray, QByteArray> files;
    QDirIterator it(folder, QDir::Files | QDir::Hidden | QDir::NoDotAndDotDot, QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QByteArray raw = QFile::encodeName(path);
        files.insert(raw.mid(QFile::encodeName(folder).size()), readRaw(raw));
    }
    return files;
}

// A drag entering the tree, moving over it and dropping: Qt hands each to
// the widget under the point that takes drops.
void dropOnView(CKDropBox* view, const QList<QUrl>& urls)
{
    QWidget* target = view->tree()->viewport();
    const QPoint at = target->rect().center();
    QMimeData data;
    data.setUrls(urls);
    QDragEnterEvent enter(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &enter);
    QDragMoveEvent move(at, Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &move);
    QDropEvent dropped(QPointF(at), Qt::CopyAction | Qt::MoveAction, &data, Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(target, &dropped);
}

// A left click where widget lies, delivered to the window: the hit-test decides who gets it.
void clickAt(CKMainWindow* window, QWidget* widget, QPoint inside = {})
{
    if (inside.isNull())
        inside = widget->rect().center();
    QTest::mouseClick(window->windowHandle(), Qt::LeftButton, {}, widget->mapTo(window, inside));
}

void unlockByKeyboard(CKMainWindow* window)
{
    window->activateWindow();
    window->form()->password->setFocus();
    QTest::keyClicks(window->form()->password, QString::fromStdString(kVaultPassword));
    QTest::keyClick(window->form()->password, Qt::Key_Return);
    // The cover slides away before anything under it can be reached.
    QTRY_COMPARE(window->coverAnimation()->state(), QAbstractAnimation::Stopped);
}

QStringList topLevelTexts(CKDropBox* view)
{
    QStringList texts;
    for (int row = 0; row < view->itemModel()->rowCount(); ++row)
        texts.append(view->itemModel()->item(row)->text());
    return texts;
}

QStringList boxesTitled(const QString& title)
{
    QStringList texts;
    for (const MessageBox::Asked& box : MessageBox::asked())
        if (box.title == title)
            texts.append(box.text);
    return texts;
}

// Raw names of the vault's entries, through an engine of another program.
QList<QByteArray> vaultNames()
{
    Kist other(true);
    if (!other.login(kVaultPassword))
        return {};
    std::vector<KistFile*> files;
    other.listFiles(files);
    QList<QByteArray> names;
    for (KistFile* file : files) {
        names.append(QByteArray::fromStdString(file->name));
        delete file;
    }
    return names;
}

// The names a zip file's central directory lists, read from its bytes
// (the engine tells a hardened package by its two entries).
QStringList zipEntryNames(const QString& path)
{
    const QByteArray zip = readFile(path);
    const qsizetype end = zip.lastIndexOf(QByteArray("PK\x05\x06", 4));
    if (end < 0 || end + 22 > zip.size())
        return {};
    // Little-endian fields, byte by byte: qFromLittleEndian on constData()
    // trips GCC's bounds warning in the sanitizer build.
    const auto byteAt = [&](qsizetype offset) { return qsizetype(quint8(zip.at(offset))); };
    const auto at16 = [&](qsizetype offset) { return int(byteAt(offset) | byteAt(offset + 1) << 8); };
    const auto at32 = [&](qsizetype offset) { return qsizetype(at16(offset)) | qsizetype(at16(offset + 2)) << 16; };
    QStringList names;
    qsizetype entry = at32(end + 16);
    for (int i = 0; i < at16(end + 10); ++i) {
        if (entry + 46 > zip.size() || zip.mid(entry, 4) != QByteArray("PK\x01\x02", 4))
            return {};
        const int nameSize = at16(entry + 28);
        names.append(QString::fromUtf8(zip.mid(entry + 46, nameSize)));
        entry += 46 + nameSize + at16(entry + 30) + at16(entry + 32);
    }
    names.sort();
    return names;
}

// The dialog's fields typed into from the keyboard, Tab after Tab from the
// first field to the "Hardened package" box, which Space ticks when asked.
// True when each key reached the control it was meant for.
bool typeByKeyboard(QDialog* dialog, const QString& name, const QString& password, bool tick)
{
    QWindow* window = dialog->windowHandle();
    const auto focused = [](const char* objectName) {
        return QApplication::focusWidget() && QApplication::focusWidget()->objectName() == QLatin1String(objectName);
    };
    if (!focused("zipFileName"))
        return false;
    QTest::keyClick(window, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(QApplication::focusWidget(), name);
    do
        QTest::keyClick(window, Qt::Key_Tab);
    while (!focused("enterPwd") && !focused("okButton"));
    QTest::keyClicks(QApplication::focusWidget(), password);
    QTest::keyClick(window, Qt::Key_Tab);
    if (!focused("reEnterPwd"))
        return false;
    QTest::keyClicks(QApplication::focusWidget(), password);
    QTest::keyClick(window, Qt::Key_Tab);
    if (!focused("hardenedPackage"))
        return false;
    if (tick)
        QTest::keyClick(window, Qt::Key_Space);
    return true;
}

// The entries of the package, copied into a new vault with the package
// password and taken out of it again: relative path -> bytes. Empty when the
// package opens with a wrong password too, or not with its own.
QMap<QByteArray, QByteArray> importedBack(const QString& package, const std::string& password)
{
    resetProfile();
    (void)openVault(kVaultPassword);
    {
        Kist reader(package.toStdString());
        if (reader.login(password + "x") || !reader.login(password))
            return {};
        std::vector<std::string> names;
        for (const QString& name : listedNames(reader))
            names.push_back(name.toStdString());
        reader.copyFilesToVault(names, kVaultPassword);
    }
    auto vault = openVault(kVaultPassword);
    const QString out = makeFolder(QStringLiteral("imported"));
    for (const QString& name : listedNames(*vault))
        vault->removeFile(name.toStdString(), out.toStdString());
    return snapshot(out);
}

} // namespace

class WindowFlowsTest : public QObject {
    Q_OBJECT

private Q_SLOTS:
    void init()
    {
        resetProfile();
        clearDialogHooks();
        StartUp::setModalRunner({});
        StartUp::setEventLoopRunner({});
        qputenv("KORVELIN_UPDATE_SERVER", "127.0.0.1:1");
        auto vault = openVault(kVaultPassword);
        vault->setEmail("ann@example.org");
    }

    void cleanup() { StartUp::setEventLoopRunner({}); }

    void aDropOnTheVaultAddsFoldersAndEveryNameAndShowsThem()
    {
        const DroppedFiles files = makeDroppedFiles();
        const QByteArray beach = readFile(files.folder + QStringLiteral("/beach.jpg"));
        StartUp startUp({QStringLiteral("VaultDesk")});
        const auto body = [&] {
            CKMainWindow* window = startUp.window();
            CKDropBox* view = window->vaultView();
            unlockByKeyboard(window);
            QTRY_VERIFY(window->isUnlocked() && !view->busy());
            dropOnView(view, files.urls);
            QTRY_COMPARE(view->itemModel()->rowCount(), 3);
            QTRY_VERIFY(!view->busy());
        };
        StartUp::setEventLoopRunner([&] {
            body();
            return 0;
        });
        QCOMPARE(startUp.run(), 0);
        QCOMPARE(boxesTitled(QStringLiteral("Cannot add file!")), QStringList());

        // The rows hold every entry under its own bytes; the originals moved in whole.
        const QList<QByteArray> names = vaultNames();
        QCOMPARE(names, (QList<QByteArray>{kLatin1Name, QByteArray("naïve résumé.txt"), QByteArray("Photos2024")}));
        QVERIFY(!QFileInfo::exists(files.folder));
        QVERIFY(!QFileInfo::exists(files.accented));
        QVERIFY(!rawExists(files.latin1Path));
        Kist other(true);
        QVERIFY(other.login(kVaultPassword));
        const QString out = makeFolder(QStringLiteral("out"));
        other.removeFile("Photos2024", out.toStdString());
        other.removeFile(kLatin1Name.toStdString(), out.toStdString());
        QCOMPARE(readFile(out + QStringLiteral("/Photos2024/beach.jpg")), beach);
        QCOMPARE(readFile(out + QStringLiteral("/Photos2024/Trip/day one.txt")), QByteArray("day one"));
        QCOMPARE(readRaw(QFile::encodeName(out) + '/' + kLatin1Name), QByteArray("latin-1 named"));
    }

    void theTreeShowsTheDropAtOnceAndTheStatusSaysWhatHappened()
    {
        const DroppedFiles files = makeDroppedFiles();
        const QString missing = makeFolder(QStringLiteral("gone")) + QStringLiteral("/missing.txt");
        const QString out = makeFolder(QStringLiteral("taken-out"));
        StartUp startUp({QStringLiteral("VaultDesk")});
        const auto body = [&] {
            CKMainWindow* window = startUp.window();
            CKDropBox* view = window->vaultView();
            unlockByKeyboard(window);
            QTRY_VERIFY(window->isUnlocked() && !view->busy());
            dropOnView(view, files.urls + QList<QUrl>{QUrl::fromLocalFile(missing)});
            QTRY_COMPARE(view->itemModel()->rowCount(), 3);
            QTRY_VERIFY(!view->busy());
            QCOMPARE(topLevelTexts(view), (QStringList{QString::fromUtf8("caf\uFFFD.txt"),
                                                       QString::fromUtf8("naïve résumé.txt"), "Photos2024"}));
            QStandardItem* photos = view->itemModel()->item(2);
            QCOMPARE(photos->rowCount(), 2); // Trip and beach.jpg
            QCOMPARE(view->entryCount(), 4);
            QCOMPARE(window->form()->InfoLabel->toolTip(), QStringLiteral("Added 3 of 4; 1 not added (failed)"));

            // The entry whose name is not UTF-8 comes out again under its own bytes.
            view->itemModel()->item(0)->setCheckState(Qt::Checked);
            FileDialog::setNextDirName(out);
            clickAt(window, window->form()->restoreButton);
            QTRY_COMPARE(readRaw(QFile::encodeName(out) + '/' + kLatin1Name), QByteArray("latin-1 named"));
            QCOMPARE(window->form()->InfoLabel->toolTip(), QStringLiteral("Files sent to %1").arg(out));
        };
        StartUp::setEventLoopRunner([&] {
            body();
            return 0;
        });
        QCOMPARE(startUp.run(), 0);
        const QStringList failures = boxesTitled(QStringLiteral("Cannot add file!"));
        QCOMPARE(failures.size(), 1);
        // The engine's message and the system's reason.
        QVERIFY2(failures.first().startsWith(QStringLiteral("Cannot find the file: ")), qPrintable(failures.first()));
        QVERIFY2(failures.first().endsWith(QStringLiteral("missing.txt\nNo such file or directory")),
                 qPrintable(failures.first()));
    }

    void theFileCreatorNeverMovesOrKeepsTheUsersFiles()
    {
        const DroppedFiles files = makeDroppedFiles();
        const QString source = QFileInfo(files.folder).absolutePath();
        const QMap<QByteArray, QByteArray> before = snapshot(source);
        const QString temporary = qEnvironmentVariable("TMPDIR");
        const QStringList temporaryBefore = QDir(temporary).entryList(QDir::AllEntries | QDir::NoDotAndDotDot);
        bool quit = false;
        StartUp startUp({QStringLiteral("VaultDesk"), QStringLiteral("/w")});
        const auto body = [&] {
            CKMainWindow* window = startUp.window();
            window->setQuitAction([&] { quit = true; });
            CKDropBox* view = window->vaultView();
            dropOnView(view, files.urls);
            QTRY_COMPARE(view->itemModel()->rowCount(), 3);
            QTRY_VERIFY(!view->busy());
            QCOMPARE(view->entryCount(), 4);
            QCOMPARE(snapshot(source), before);
            clickAt(window, window->form()->closeButton);
            QTRY_VERIFY(quit);
        };
        StartUp::setEventLoopRunner([&] {
            body();
            return 0;
        });
        QCOMPARE(startUp.run(), 0);
        QCOMPARE(boxesTitled(QStringLiteral("Cannot add file!")), QStringList());
        QCOMPARE(snapshot(source), before);
        QCOMPARE(QDir(temporary).entryList(QDir::AllEntries | QDir::NoDotAndDotDot), temporaryBefore);
    }

    void theExtractButtonTakesAPressAtItsPlace()
    {
        const QString source = makeFolder(QStringLiteral("package-source"));
        writeFile(source + QStringLiteral("/report.txt"), QByteArray("report"));
        const QString package = makeFolder(QStringLiteral("package")) + QStringLiteral("/shared.kzip");
        {
            Kist composer(false);
            composer.login("");
            composer.addFile((source + QStringLiteral("/report.txt")).toStdString(), nullptr, false);
            composer.exportFiles(package.toStdString(), {"report.txt"}, "pkg pw");
        }
        // The centre and a point near the corner: both are the button's.
        for (const QPoint inside : {QPoint(), QPoint(4, 4)}) {
            const QString target = makeFolder(QStringLiteral("extracted"));
            CKEnterEmail::setNextAnswers({QStringLiteral("pkg pw")});
            FileDialog::setNextDirName(target);
            StartUp startUp({QStringLiteral("VaultDesk"), package});
            const auto body = [&] {
                CKMainWindow* window = startUp.window();
                QTRY_VERIFY(window->isVisible());
                clickAt(window, window->form()->extractButton, inside);
                QTRY_COMPARE(readFile(target + QStringLiteral("/report.txt")), QByteArray("report"));
            };
            StartUp::setEventLoopRunner([&] {
                body();
                return 0;
            });
            QCOMPARE(startUp.run(), 0);
        }
    }

    // "Hardened package" in the save and Dropbox dialogs, ticked from the
    // keyboard and with a click: that package alone is hardened, the next is
    // standard again, and each comes back with its password.
    void theHardenedPackageOptionHardensOnlyThePackageItIsTickedFor()
    {
        const QString in = makeFolder(QStringLiteral("ledger-source"));
        writeFile(in + QStringLiteral("/Ledger/2026.txt"), QByteArray("spring accounts"));
        writeFile(in + QStringLiteral("/Ledger/scan.bin"), 70000, 3);
        const QMap<QByteArray, QByteArray> original = snapshot(in);
        {
            auto vault = openVault(kVaultPassword);
            vault->addFile((in + QStringLiteral("/Ledger")).toStdString(), nullptr, false);
        }
        const QString out = makeFolder(QStringLiteral("packages"));
        const QString dropbox = makeFolder(QStringLiteral("Dropbox"));
        writeFile(QDir::homePath() + QStringLiteral("/.dropbox/info.json"),
                  QStringLiteral("{\"personal\": {\"path\": \"%1\"}}").arg(dropbox).toUtf8());
        const QString password = QStringLiteral("Harbour-Lantern-81");
        const QString hardenedPath = out + QStringLiteral("/sealed.kzip");
        const QString standardPath = out + QStringLiteral("/plain.kzip");
        const QString droppedPath = dropbox + QStringLiteral("/dropped.kzip");

        {
            StartUp startUp({QStringLiteral("VaultDesk")});
            const auto body = [&] {
                CKMainWindow* window = startUp.window();
                CKDropBox* view = window->vaultView();
                unlockByKeyboard(window);
                QTRY_VERIFY(window->isUnlocked() && !view->busy());
                QTRY_COMPARE(view->allNames(), QStringList{QStringLiteral("Ledger")});
                clickAt(window, window->form()->writerButton);
                QTRY_COMPARE(window->form()->writerButtons->pos(), window->shelfOpenPosition());
                // Back in the window, Ctrl+A ticks every entry (a written
                // package leaves none ticked).
                const auto tickAll = [&] {
                    window->activateWindow();
                    if (!QTest::qWaitFor([&] { return window->isActiveWindow(); }))
                        return false;
                    QTest::keyClick(window->windowHandle(), Qt::Key_A, Qt::ControlModifier);
                    return QTest::qWaitFor([&] { return view->selectedNames() == QStringList{"Ledger"}; });
                };

                // Saved to the computer, the box ticked with Space, Return for Ok.
                CKDefaultOffPwdSystem* save = window->saveToComputerDialog();
                auto* saveBox = save->findChild<QCheckBox*>(QStringLiteral("hardenedPackage"));
                QVERIFY(tickAll());
                clickAt(window, window->form()->SystemButton);
                QTRY_VERIFY(save->isActiveWindow());
                QVERIFY(!saveBox->isChecked());
                QVERIFY(typeByKeyboard(save, hardenedPath, password, true));
                QVERIFY(saveBox->isChecked());
                QTest::keyClick(save->windowHandle(), Qt::Key_Return);
                QTRY_VERIFY(QFileInfo::exists(hardenedPath) && !view->busy());
                QCOMPARE(window->form()->InfoLabel->toolTip(), QStringLiteral("Created %1").arg(hardenedPath));

                // Saved again: the box starts unticked and the package is standard.
                QTRY_VERIFY(save->isHidden());
                QVERIFY(tickAll());
                clickAt(window, window->form()->SystemButton);
                QTRY_VERIFY(save->isActiveWindow());
                QVERIFY(!saveBox->isChecked());
                QVERIFY(typeByKeyboard(save, standardPath, password, false));
                QTest::keyClick(save->windowHandle(), Qt::Key_Return);
                QTRY_VERIFY(QFileInfo::exists(standardPath) && !view->busy());

                // Sent to Dropbox, the box ticked by a click at its place.
                CKDefaultsOffPwd* send = window->passwordDialog();
                auto* sendBox = send->findChild<QCheckBox*>(QStringLiteral("hardenedPackage"));
                QVERIFY(tickAll());
                clickAt(window, window->form()->dropBoxButton);
                QTRY_VERIFY(send->isActiveWindow());
                QVERIFY(sendBox->isVisible() && !sendBox->isChecked());
                QVERIFY(typeByKeyboard(send, QStringLiteral("dropped"), password, false));
                const QPoint onIndicator(sendBox->height() / 2, sendBox->height() / 2);
                QTest::mouseClick(send->windowHandle(), Qt::LeftButton, {}, sendBox->mapTo(send, onIndicator));
                QVERIFY(sendBox->isChecked());
                QTest::keyClick(send->windowHandle(), Qt::Key_Return);
                QTRY_VERIFY(QFileInfo::exists(droppedPath) && !view->busy());
                QVERIFY(!sendBox->isChecked());
            };
            StartUp::setEventLoopRunner([&] {
                body();
                return 0;
            });
            QCOMPARE(startUp.run(), 0);
        }
        QVERIFY2(MessageBox::asked().isEmpty(), qPrintable(MessageBox::lastAsked().title + ": " + MessageBox::lastAsked().text));

        // The engine tells a hardened package by its two entries.
        const QStringList hardenedEntries{QStringLiteral("package"), QStringLiteral("vault.header")};
        QCOMPARE(zipEntryNames(hardenedPath), hardenedEntries);
        QCOMPARE(zipEntryNames(droppedPath), hardenedEntries);
        const QStringList standardEntries = zipEntryNames(standardPath);
        QVERIFY2(!standardEntries.isEmpty() && !standardEntries.contains(QStringLiteral("vault.header")) &&
                     !standardEntries.contains(QStringLiteral("package")),
                 qPrintable(standardEntries.join(QLatin1Char(','))));

        for (const QString& package : {hardenedPath, standardPath, droppedPath})
            QCOMPARE(importedBack(package, password.toStdString()), original);
    }

    void anotherProgramsChangeShowsKeepingTicksAndOpenFolders()
    {
        const QString in = makeFolder(QStringLiteral("in"));
        {
            auto vault = openVault(kVaultPassword);
            writeFile(in + QStringLiteral("/Album/one.txt"), QByteArray("1"));
            writeFile(in + QStringLiteral("/first.txt"), QByteArray("first"));
            vault->addFile((in + QStringLiteral("/Album")).toStdString(), nullptr, false);
            vault->addFile((in + QStringLiteral("/first.txt")).toStdString(), nullptr, false);
        }
        StartUp startUp({QStringLiteral("VaultDesk")});
        const auto body = [&] {
            CKMainWindow* window = startUp.window();
            CKDropBox* view = window->vaultView();
            unlockByKeyboard(window);
            QTRY_VERIFY(window->isUnlocked() && !view->busy());
            QCOMPARE(topLevelTexts(view), (QStringList{"Album", "first.txt"}));
            view->tree()->expand(view->itemModel()->item(0)->index());
            view->itemModel()->item(1)->setCheckState(Qt::Checked);

            // "Add to my vault" from the file manager, while the window is open.
            writeFile(in + QStringLiteral("/second.txt"), QByteArray("second"));
            {
                auto shell = openVault(kVaultPassword);
                shell->addFile((in + QStringLiteral("/second.txt")).toStdString(), nullptr, false);
            }
            QTRY_COMPARE(topLevelTexts(view), (QStringList{"Album", "first.txt", "second.txt"}));
            QVERIFY(view->tree()->isExpanded(view->itemModel()->item(0)->index()));
            QCOMPARE(view->selectedNames(), QStringList{"first.txt"});

            // Taken out by kist: the view follows again, and coming back to the
            // window finds nothing new to read.
            {
                auto tool = openVault(kVaultPassword);
                tool->removeFile("Album", makeFolder(QStringLiteral("out")).toStdString());
            }
            QTRY_COMPARE(topLevelTexts(view), (QStringList{"first.txt", "second.txt"}));
            QEvent activated(QEvent::WindowActivate);
            QApplication::sendEvent(window, &activated);
            QVERIFY(!window->watch()->checkNow()); // nothing changed since
        };
        StartUp::setEventLoopRunner([&] {
            body();
            return 0;
        });
        QCOMPARE(startUp.run(), 0);
    }
};

VAULTDESK_TEST_MAIN(WindowFlowsTest)
#include "WindowFlowsTest.moc"
