#pragma once

#include <QMainWindow>

#include <memory>

#include "desktop/VaultViewHost.h"
#include "desktop/WindowMode.h"

class Kist;
class StatusProgress;

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
    StatusProgress* statusProgress() const { return progress; }

private:
    Kist* engine;
    WindowMode mode;
    std::unique_ptr<Ui::CKMainWindow> ui;
    StatusProgress* progress;
};
