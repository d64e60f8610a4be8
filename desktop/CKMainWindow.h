#pragma once

#include <QMainWindow>

#include <memory>

#include "desktop/Skin.h"
#include "desktop/VaultViewHost.h"
#include "desktop/WindowMode.h"

class CKDropBox;
class Kist;
class QMimeData;
class StatusProgress;
class WindowLook;

namespace Ui {
class CKMainWindow;
}

// The program's main window: the user's vault, an opened package or the
// package composer. It borrows the engine; whoever started it destroys both.
class CKMainWindow : public QMainWindow, public VaultViewHost {
    Q_OBJECT

public:
    CKMainWindow(Kist* engine, WindowMode mode, QWidget* parent = nullptr);
    ~CKMainWindow() override;

    // VaultViewHost
    WindowMode windowMode() const override;
    void setSelectAllChecked(bool checked) override;
    void updateSelectionState() override;
    ProgressDisplay* progressDisplay() override;

    Ui::CKMainWindow* form() const { return ui.get(); }
    CKDropBox* vaultView() const { return view; }
    WindowLook* look() const { return windowLook.get(); }
    StatusProgress* statusProgress() const { return progress; }
    // The skin whose menu action is checked.
    SkinKind currentSkin() const { return skin; }

public Q_SLOTS:
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

private:
    Kist* engine;
    WindowMode mode;
    std::unique_ptr<Ui::CKMainWindow> ui;
    CKDropBox* view;
    StatusProgress* progress;
    std::unique_ptr<WindowLook> windowLook;
    SkinKind skin = SkinKind::Black;
};
