#include "desktop/VaultWatch.h"

#include <QEvent>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QWidget>

#include "desktop/CKDropBox.h"
#include "desktop/EngineCall.h"
#include "desktop/EngineText.h"
#include "desktop/VaultViewHost.h"
#include "engine/Kist.h"

Q_LOGGING_CATEGORY(vaultWatchLog, "korvelin.vaultwatch", QtWarningMsg)

VaultWatch::VaultWatch(QWidget* window, Kist& kist, CKDropBox& vaultView, VaultViewHost& viewHost,
                       std::function<bool()> showing)
    : QObject(window)
    , engine(kist)
    , view(vaultView)
    , host(viewHost)
    , showsVault(std::move(showing))
{
    settle.setSingleShot(true);
    settle.setInterval(settleMs);
    connect(&settle, &QTimer::timeout, this, [this] { (void)checkNow(); });
    connect(&watcher, &QFileSystemWatcher::fileChanged, this, &VaultWatch::heard);
    connect(&watcher, &QFileSystemWatcher::directoryChanged, this, &VaultWatch::heard);
    watchFiles();
    window->installEventFilter(this);
}

void VaultWatch::watchFiles()
{
    const QString database = EngineText::fromEngine(engine.databasePath());
    if (database.isEmpty())
        return;
    // The folder tells of the journal coming and going; the file of every
    // write. A file replaced or deleted drops out of the watch: it is added again.
    const QString folder = QFileInfo(database).absolutePath();
    if (!watcher.directories().contains(folder))
        watcher.addPath(folder);
    if (QFileInfo::exists(database) && !watcher.files().contains(database))
        watcher.addPath(database);
}

void VaultWatch::heard()
{
    watchFiles();
    // A burst of writes (one add is several transactions) is looked at once.
    settle.start();
}

bool VaultWatch::checkNow()
{
    if (!showsVault())
        return false;
    if (EngineCall::isRunning() || view.busy()) {
        // The engine is at work for this window: look again afterwards.
        settle.start();
        return false;
    }
    bool changed = false;
    try {
        EngineCall call(engine, nullptr);
        changed = call.run([this] { return view.vaultChangedSinceRefresh(); });
    } catch (const ExceptionModule& error) {
        qCWarning(vaultWatchLog) << "vault change not read:" << EngineText::failureText(error);
        return false;
    }
    if (!changed)
        return false;
    view.refreshKeepingState();
    host.updateSelectionState();
    return true;
}

bool VaultWatch::eventFilter(QObject* watched, QEvent* event)
{
    if (event->type() == QEvent::WindowActivate)
        settle.start();
    return QObject::eventFilter(watched, event);
}
