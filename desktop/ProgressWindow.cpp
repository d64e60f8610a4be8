#include "desktop/ProgressWindow.h"

#include <QCloseEvent>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QVBoxLayout>

#include "desktop/StatusProgress.h"
#include "desktop/dialogs/DialogSkin.h"

namespace {

constexpr int kWindowWidth = 420;
int showDelay = ProgressWindow::showDelayMs;

} // namespace

ProgressWindow::ProgressWindow(const QString& task, Kist* engine, QWidget* parent)
    : QWidget(parent, Qt::Window)
    , taskLabel(new QLabel(task, this))
    , progress(new StatusProgress(this))
    , showLater(new QTimer(this))
{
    setObjectName(QStringLiteral("ProgressWindow"));
    setWindowTitle(QStringLiteral("KORVELIN Safehold"));
    setWindowIcon(QIcon(QStringLiteral(":/images/32x32.png")));
    // The skin's background rule paints a plain QWidget only with this.
    setAttribute(Qt::WA_StyledBackground);
    applyStoredSkin(*this, engine);
    taskLabel->setObjectName(QStringLiteral("taskLabel"));
    taskLabel->setStyleSheet(QStringLiteral("QLabel { color: white; font: bold 10pt; }"));
    taskLabel->setWordWrap(true);
    progress->setMinimumHeight(22);

    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(16, 14, 16, 14);
    layout->setSpacing(10);
    layout->addWidget(taskLabel);
    layout->addWidget(progress);
    setFixedWidth(kWindowWidth);

    showLater->setSingleShot(true);
    showLater->setInterval(showDelay);
    connect(showLater, &QTimer::timeout, this, [this] {
        if (!running)
            return;
        show();
        raise();
        activateWindow();
    });
}

ProgressWindow::~ProgressWindow() = default;

void ProgressWindow::setShowDelayForTests(int milliseconds)
{
    showDelay = milliseconds < 0 ? showDelayMs : milliseconds;
}

QString ProgressWindow::task() const
{
    return taskLabel->text();
}

void ProgressWindow::begin(std::function<void()> cancel)
{
    running = true;
    cancelCall = cancel;
    progress->begin(std::move(cancel));
    showLater->start();
}

void ProgressWindow::showProgress(const KistProgressState& state)
{
    lastState = state;
    hasState = true;
    progress->showProgress(state);
}

void ProgressWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Reports that came before the window was laid out were fitted to a bar
    // of no real width: fit the last one again.
    if (hasState)
        progress->showProgress(lastState);
}

void ProgressWindow::end()
{
    running = false;
    hasState = false;
    cancelCall = nullptr;
    showLater->stop();
    progress->end();
    hide();
}

QWidget* ProgressWindow::inputWidget()
{
    return this;
}

void ProgressWindow::closeEvent(QCloseEvent* event)
{
    // The work cannot be left half done: closing asks it to stop, and the
    // window goes once the entry under way is whole.
    if (!running) {
        event->accept();
        return;
    }
    event->ignore();
    progress->cancelButton()->click();
}
