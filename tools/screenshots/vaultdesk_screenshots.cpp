// Renders the main window offscreen, in each skin, locked and unlocked with a
// few entries (one of them a folder), into PNG files: what users see first.
// Also the small progress window of a shell start (extracting a package from
// the file manager).
// Everything happens in a scratch home that is removed at the end.
// Everything is rendered at scale 1 into the folder and again at twice the
// scale (QT_SCALE_FACTOR=2, a second run of this program) into its
// sub-folder scale-2.
// Usage: vaultdesk_screenshots [OUTPUT-FOLDER]   (default: docs/screenshots)
#include <QApplication>
#include <QDir>
#include <QIcon>
#include <QFile>
#include <QProcess>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QStandardItemModel>
#include <QTreeView>

#include <cstdio>
#include <cstdlib>
#include <memory>

#include "desktop/CKDropBox.h"
#include "desktop/CKMainWindow.h"
#include "desktop/MessageBox.h"
#include "desktop/ProgressWindow.h"
#include "desktop/Resources.h"
#include "desktop/StatusProgress.h"
#include "engine/Kist.h"
#include "tools/screenshots/DialogShots.h"
#include "tools/screenshots/WindowShots.h"
#include "ui_CKMainWindow.h"

namespace {

QString makeScratchHome()
{
    QByteArray pattern = QDir::tempPath().toLocal8Bit() + "/vaultdesk-shots-XXXXXX";
    if (!mkdtemp(pattern.data()))
        return {};
    const QString root = QString::fromLocal8Bit(pattern);
    for (const char* sub : {"/home/Desktop", "/home/.local/share", "/home/.config", "/tmp"})
        QDir().mkpath(root + sub);
    QFile::setPermissions(root + "/tmp", QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    qputenv("HOME", (root + "/home").toLocal8Bit());
    qputenv("XDG_DATA_HOME", (root + "/home/.local/share").toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (root + "/home/.config").toLocal8Bit());
    qputenv("XDG_DESKTOP_DIR", (root + "/home/Desktop").toLocal8Bit());
    qputenv("XDG_RUNTIME_DIR", (root + "/tmp").toLocal8Bit());
    qputenv("TMPDIR", (root + "/tmp").toLocal8Bit());
    return root;
}

void writeFile(const QString& path, qint64 size)
{
    QDir().mkpath(path.left(path.lastIndexOf('/')));
    QFile file(path);
    if (file.open(QIODevice::WriteOnly))
        file.write(QByteArray(size, 'k'));
}

// A few entries of the kind a user keeps: two files and a folder of three.
void fillVault(Kist& engine, const QString& root)
{
    const QString in = root + "/samples";
    writeFile(in + "/Tax return 2025.pdf", 48000);
    writeFile(in + "/passport-scan.jpg", 120000);
    writeFile(in + "/Family photos/beach.jpg", 90000);
    writeFile(in + "/Family photos/birthday.jpg", 70000);
    writeFile(in + "/Family photos/letters/grandma.txt", 900);
    for (const char* name : {"Tax return 2025.pdf", "passport-scan.jpg", "Family photos"})
        engine.addFile((in + "/" + name).toStdString(), nullptr, false);
}

bool save(QWidget& window, const QString& path)
{
    window.show();
    QApplication::processEvents();
    const bool ok = window.grab().save(path);
    std::printf("%s %s\n", ok ? "wrote" : "FAILED", qPrintable(path));
    return ok;
}

// What the window looks like once the Vault password was accepted: the cover
// slid away to the right, the view filled, a folder opened and one entry ticked.
void showUnlocked(CKMainWindow& window, bool justOpened = false)
{
    Ui::CKMainWindow* ui = window.form();
    ui->password->setText("screenshot");
    ui->lockButton->click();
    ui->writerButton->click();
    for (QPropertyAnimation* slide : {window.coverAnimation(), window.shelfAnimation()})
        slide->setCurrentTime(slide->duration());
    CKDropBox* view = window.vaultView();
    QStandardItemModel* model = view->itemModel();
    for (int row = 0; row < model->rowCount(); ++row) {
        if (model->item(row)->hasChildren())
            view->tree()->expand(model->index(row, 0));
        if (model->item(row)->text() == "Family photos")
            model->item(row)->setCheckState(Qt::Checked);
    }
    if (!justOpened)
        view->setStatus("Added /home/user/Documents/Family photos");
}

} // namespace

int main(int argc, char** argv)
{
    // The second run starts from the environment this one was given.
    const QProcessEnvironment given = QProcessEnvironment::systemEnvironment();
    const QString root = makeScratchHome();
    // A 1280x800 screen: at twice the scale the windows still fit, as they must.
    QFile screens(root + "/tmp/screens.json");
    if (screens.open(QIODevice::WriteOnly))
        screens.write(R"({"screens": [{"name": "shots", "x": 0, "y": 0, "width": 1280, "height": 800,
                          "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1}]})");
    screens.close();
    qputenv("QT_QPA_PLATFORM", ("offscreen:configfile=" + screens.fileName()).toLocal8Bit());
    QApplication app(argc, argv);
    vaultdesk::registerResources();
    MessageBox::answerAllWithoutShowing(true);
    if (root.isEmpty())
        return 1;
    const QString out = argc > 1 ? QString::fromLocal8Bit(argv[1]) : QStringLiteral(KIST_SOURCE_DIR "/docs/screenshots");
    QDir().mkpath(out);
    bool ok = true;
    {
        Kist engine(true);
        engine.setPassword("screenshot", "");
        fillVault(engine, root);
        for (const char* skin : {"black", "blue", "pink"}) {
            engine.persistConfig("Skin", skin);
            {
                CKMainWindow window(&engine, VaultMode);
                window.setVaultMode(true);
                // The shelf closes as the window is built; show where it ends.
                window.shelfAnimation()->setCurrentTime(window.shelfAnimation()->duration());
                ok &= save(window, QStringLiteral("%1/vault-%2-locked.png").arg(out, skin));
            }
            {
                CKMainWindow window(&engine, VaultMode);
                window.setVaultMode(true);
                // The blue window keeps the status line's first words.
                showUnlocked(window, QLatin1String(skin) == QLatin1String("blue"));
                ok &= save(window, QStringLiteral("%1/vault-%2-unlocked.png").arg(out, skin));
            }
        }
        // Adding a large file: the progress strip with its Cancel.
        engine.persistConfig("Skin", "black");
        CKMainWindow window(&engine, VaultMode);
        window.setVaultMode(true);
        showUnlocked(window);
        window.statusProgress()->begin([] {});
        KistProgressState state;
        state.name = "holiday-video.mkv";
        state.bytesDone = 385ull << 20;
        state.bytesTotal = 1ull << 30;
        state.filesTotal = 1;
        window.vaultView()->setStatus(
            "Adding /home/user/Videos/Holidays/2025 summer by the sea with the whole family/holiday-video.mkv...");
        window.show();
        window.statusProgress()->showProgress(state);
        ok &= save(window, out + "/vault-adding.png");
        window.statusProgress()->end();
        ok &= shootDialogs(engine, out);

        // A shell start's progress, with no main window around it.
        ProgressWindow progress(QStringLiteral("Extracting holidays.kzip"), &engine);
        progress.begin([] {});
        state.name = "holiday-video.mkv";
        progress.showProgress(state);
        ok &= save(progress, out + "/progress-window.png");
        progress.end();
        ok &= shootWindowModes(engine, "screenshot", root, out);
    }
    QDir(root).removeRecursively();
    if (!qEnvironmentVariableIsSet("QT_SCALE_FACTOR")) {
        QProcess twice;
        QProcessEnvironment environment = given;
        environment.insert(QStringLiteral("QT_SCALE_FACTOR"), QStringLiteral("2"));
        twice.setProcessEnvironment(environment);
        twice.setProcessChannelMode(QProcess::ForwardedChannels);
        twice.start(QCoreApplication::applicationFilePath(), {out + QStringLiteral("/scale-2")});
        ok &= twice.waitForFinished(-1) && twice.exitStatus() == QProcess::NormalExit && twice.exitCode() == 0;
    }
    return ok ? 0 : 1;
}
