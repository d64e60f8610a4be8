#pragma once

#include <QWidget>

#include "desktop/ProgressDisplay.h"

class Kist;
class QLabel;
class QTimer;
class StatusProgress;

// A small window that shows the progress of a shell start's work (extracting
// a package, storing a file) when there is no main window: what is being
// done, the progress strip and its Cancel. It appears only when the work
// lasts long enough to be worth watching, so quick work flashes nothing.
// Closing it asks the work to stop, like Cancel.
class ProgressWindow : public QWidget, public ProgressDisplay {
    Q_OBJECT

public:
    // task: what the user asked for ("Extracting photos.kzip"). engine (may
    // be null) gives the stored skin.
    ProgressWindow(const QString& task, Kist* engine, QWidget* parent = nullptr);
    ~ProgressWindow() override;

    void begin(std::function<void()> cancel) override;
    void showProgress(const KistProgressState& state) override;
    void end() override;
    QWidget* inputWidget() override;

    [[nodiscard]] StatusProgress* strip() const { return progress; }
    [[nodiscard]] QString task() const;

    // How long work runs before the window appears.
    static constexpr int showDelayMs = 400;
    // Tests see the window of short work; a negative value restores the delay.
    static void setShowDelayForTests(int milliseconds);

protected:
    void closeEvent(QCloseEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    QLabel* taskLabel;
    StatusProgress* progress;
    QTimer* showLater;
    std::function<void()> cancelCall;
    bool running = false;
    KistProgressState lastState;
    bool hasState = false;
};
