#pragma once

#include <QMainWindow>
#include <QPoint>
#include <QRect>

#include <functional>
#include <memory>
#include <optional>

#include "desktop/SendHost.h"
#include "desktop/Skin.h"
#include "desktop/VaultViewHost.h"
#include "desktop/WindowMode.h"

class AutoLock;
class CKBackupRestore;
class CKDefaultOffPwdSystem;
class CKDefaultSettings;
class CKDefaultsOffPwd;
class CKDropBox;
class Kist;
class QAction;
class QActionGroup;
class QMenu;
class QMimeData;
class QPropertyAnimation;
class QSystemTrayIcon;
class StatusProgress;
class VaultSender;
class VaultWatch;
class WindowActions;
class WindowLook;

namespace Ui {
class CKMainWindow;
}

// The program's main window: the user's vault, an opened package or the
// package composer. It borrows the engine; whoever started it destroys both.
// In the vault a lock cover hides the view until the Vault password is given;
// the writer shelf holds the send buttons; the options menu, the tray icon
// and the dialogs the window owns hang off it.
class CKMainWindow : public QMainWindow, public VaultViewHost, public SendHost {
    Q_OBJECT

public:
    CKMainWindow(Kist* engine, WindowMode mode, QWidget* parent = nullptr);
    ~CKMainWindow() override;

    // Called once after construction: true only for the user's vault at a
    // normal start (the lock and the vault's menu entries).
    void setVaultMode(bool on);
    // A writer button or a shell switch (0 folder, 1 Dropbox, 2 e-mail); true
    // when a dialog was opened that finishes the send.
    bool sendSelected(int target);

    // VaultViewHost
    WindowMode windowMode() const override;
    void setSelectAllChecked(bool checked) override;
    void updateSelectionState() override;
    ProgressDisplay* progressDisplay() override;
    bool vaultLocked() const override;

    // SendHost
    void saveToFolder(const QString& folder, const QString& packageName, const QString& password,
                      PackageForm form) override;
    void sendToDropbox(const QString& folder, const QString& packageName, const QString& password,
                       PackageForm form) override;
    void sendByEmail(const QString& packageName, const QString& password, PackageForm form) override;
    void setStatusLine(const QString& text) override;
    QString vaultPassword() const override;
    void keepVaultPassword(const QString& password) override;
    CKDefaultsOffPwd* passwordDialog() override;
    CKDefaultOffPwdSystem* saveToComputerDialog() override;
    QWidget* hostWidget() override;

    Ui::CKMainWindow* form() const { return ui.get(); }
    CKDropBox* vaultView() const { return view; }
    VaultSender* operations() const { return sender; }
    // The watch on other programs' changes (vault mode only, else null).
    VaultWatch* watch() const { return vaultWatch; }
    WindowLook* look() const { return windowLook.get(); }
    WindowActions* actions() const { return windowActions; }
    StatusProgress* statusProgress() const { return progress; }
    QMenu* optionsMenu() const { return menu; }
    CKDefaultSettings* defaultSettingsDialog() const { return settingsDialog; }
    CKBackupRestore* backupRestoreDialog() const { return backupDialog; }
    QSystemTrayIcon* trayIcon() const { return tray; }
    QPropertyAnimation* coverAnimation() const { return coverSlide; }
    QPropertyAnimation* shelfAnimation() const { return shelfSlide; }
    // The skin whose menu action is checked.
    SkinKind currentSkin() const { return skin; }
    [[nodiscard]] bool isUnlocked() const;
    // Locks an unlocked vault as the Lock button does: every dialog the
    // window opened is closed (nothing it asked for is written), a call
    // under way is asked to stop, the engine is logged off once it is free
    // and the kept password wiped. Minimising, the idle time-out and the
    // desktop session's lock come here.
    void lockVault();
    // The idle and session lock of the vault window (null in other windows).
    AutoLock* autoLocker() const { return autoLock; }
    // Where the sending operations show their progress instead of the
    // window's strip (a shell send, whose window is never shown); null: the strip.
    void setProgressDisplay(ProgressDisplay* display) { sendProgress = display; }
    // The cover's two places: over the view, and just right of the window.
    QRect coverClosedGeometry() const { return coverClosed; }
    QRect coverOpenGeometry() const { return coverOpen; }
    QPoint shelfOpenPosition() const { return shelfOpen; }
    QPoint shelfClosedPosition() const { return shelfClosed; }

    // What quitting does; tests record it instead of ending their event loop.
    void setQuitAction(std::function<void()> action);
    // Tests stand in for a desktop with or without a system tray; unset, the
    // platform is asked. Takes effect for windows built afterwards.
    static void overrideTrayAvailable(std::optional<bool> available);

public Q_SLOTS:
    void btnEmail_Click();
    void btnCloud_Click();
    void btnExport_Click();
    void btnDefaults_Click();
    void btnLock_Clicked();
    void exit_Clicked();
    void minimized_Clicked();
    void passwordReturn_Pressed();
    void options_Clicked();
    void btnRestoreAllFilesTo_Clicked();
    void restore_Clicked();
    void writer_Clicked();
    void selectAll_Clicked();
    void showWindow();
    void SettingsMenuSelected();
    void changeVaultPwdMenuSelected();
    void FeedbackMenuSelected();
    void AboutMenuSelected();
    void BackupMenuSelected();
    void RestoreMenuSelected();
    void BlackSkinSelected();
    void BlueSkinSelected();
    void PinkSkinSelected();

Q_SIGNALS:
    void changed(const QMimeData* data);
    void changed();

protected:
    void dragEnterEvent(QDragEnterEvent* event) override;
    void dragLeaveEvent(QDragLeaveEvent* event) override;
    void dropEvent(QDropEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void buildMenu();
    void createDialogs();
    void applyModeVisibility();
    void applyStoredDefaultsSwitch();
    void createTrayIcon();
    void applyLockState();
    void unlock();
    void lock();
    void showDefaultsState(bool on);
    void selectSkin(SkinKind kind);
    // Presses the title bar's left button at a window point: a system move
    // where the platform offers one, else a move by hand.
    bool startMove(const QPoint& pressPoint);
    void quitWhenIdle();
    [[nodiscard]] bool dropsGoToView() const;
    // True (after saying so) when the vault is locked and the action must wait for the unlock.
    bool refusedWhileLocked();
    void closeOpenedDialogs();
    void applyAutoLockSetting();
    void wipeKeptPassword();
    // Runs a slot's body; an engine error shows its message and changes nothing more.
    void guarded(const std::function<void()>& body);

    Kist* engine;
    WindowMode mode;
    std::unique_ptr<Ui::CKMainWindow> ui;
    CKDropBox* view;
    StatusProgress* progress;
    VaultSender* sender = nullptr;
    VaultWatch* vaultWatch = nullptr;
    std::unique_ptr<WindowLook> windowLook;
    WindowActions* windowActions = nullptr;
    SkinKind skin = SkinKind::Black;

    QPropertyAnimation* shelfSlide = nullptr;
    QPropertyAnimation* coverSlide = nullptr;
    QPoint shelfOpen;
    QPoint shelfClosed;
    QRect coverClosed;
    QRect coverOpen;

    QMenu* menu = nullptr;
    QMenu* skinMenu = nullptr;
    QActionGroup* skinGroup = nullptr;
    QAction* settingsAction = nullptr;
    QAction* changePasswordAction = nullptr;
    QAction* feedbackAction = nullptr;
    QAction* aboutAction = nullptr;
    QAction* backupAction = nullptr;
    QAction* restoreAction = nullptr;
    QAction* blackAction = nullptr;
    QAction* blueAction = nullptr;
    QAction* pinkAction = nullptr;

    CKDefaultsOffPwd* pwdDialog = nullptr;
    CKBackupRestore* backupDialog = nullptr;
    CKDefaultOffPwdSystem* systemDialog = nullptr;
    CKDefaultSettings* settingsDialog = nullptr;
    QSystemTrayIcon* tray = nullptr;
    AutoLock* autoLock = nullptr;
    ProgressDisplay* sendProgress = nullptr;
    // The lock cover guards this window (the user's vault at a normal start).
    bool lockGuards = false;

    bool dragging = false;
    QPoint pressPoint;
    QString keptPassword;
    bool quitPending = false;
    std::function<void()> quitAction;
};
