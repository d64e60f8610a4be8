#pragma once

#include <QFileSystemWatcher>
#include <QObject>
#include <QTimer>

#include <functional>

class CKDropBox;
class Kist;
class QWidget;
class VaultViewHost;

// Shows in the vault window what other programs change in the vault (a
// shell switch's "Add to my vault", kist): it watches the vault database and
// its journal, and looks again when the window is activated. Once things
// settle it asks the engine whether the vault's change count moved since the
// view's last refresh and, if so, refreshes the view keeping ticks and open
// folders. It never touches the engine while an operation runs, and only
// while the view shows the vault (unlocked).
class VaultWatch : public QObject {
    Q_OBJECT

public:
    VaultWatch(QWidget* window, Kist& engine, CKDropBox& view, VaultViewHost& host, std::function<bool()> showsVault);

    // Looks at once (the view refreshes when the vault changed); true when it did.
    bool checkNow();

    // How long the watch waits after the last change it heard before it looks.
    static constexpr int settleMs = 250;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void heard();
    void watchFiles();

    Kist& engine;
    CKDropBox& view;
    VaultViewHost& host;
    std::function<bool()> showsVault;
    QFileSystemWatcher watcher;
    QTimer settle;
};
