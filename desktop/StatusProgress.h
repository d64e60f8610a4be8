#pragma once

#include <QWidget>

#include "desktop/ProgressDisplay.h"

class QProgressBar;
class QPushButton;

// The progress strip of the window's status area: a bar with the entry's
// name and the bytes done, and a Cancel button. Hidden while nothing runs.
class StatusProgress : public QWidget, public ProgressDisplay {
    Q_OBJECT

public:
    explicit StatusProgress(QWidget* parent = nullptr);

    void begin(std::function<void()> cancel) override;
    void showProgress(const KistProgressState& state) override;
    void end() override;
    QWidget* inputWidget() override;

    QPushButton* cancelButton() const { return button; }
    QProgressBar* bar() const { return progressBar; }

    // "name — 12.0 MiB of 40.0 MiB", or the name alone before bytes are known.
    static QString describe(const KistProgressState& state);

Q_SIGNALS:
    // A report reached the strip (tests cancel at a chosen entry through it).
    void progressShown(const QString& entryName);

private:
    void cancelPressed();

    QProgressBar* progressBar;
    QPushButton* button;
    std::function<void()> cancelCall;
};
