#include "desktop/EngineCall.h"

#include <QApplication>
#include <QEventLoop>
#include <QList>
#include <QMetaObject>
#include <QPointer>
#include <QThread>
#include <QTimer>
#include <QWidget>

#include <atomic>
#include <mutex>
#include <utility>
#include <vector>

#include "desktop/ProgressDisplay.h"

namespace {

std::atomic<bool> callRunning{false};
// The stop flag of the call under way (GUI thread only).
std::atomic<bool>* runningStopFlag = nullptr;

std::vector<std::function<void()>>& actionsAfterCall()
{
    static std::vector<std::function<void()>> actions;
    return actions;
}

QList<QPointer<QWidget>>& widgetsAllowedDuringCalls()
{
    static QList<QPointer<QWidget>> widgets;
    return widgets;
}

bool isWithin(const QWidget* widget, const QWidget* area)
{
    return area && (widget == area || area->isAncestorOf(widget));
}

// Progress is repainted at most this often (about 25 times a second).
constexpr int kShortestGapMs = 40;

bool isUserInput(const QEvent* event)
{
    switch (event->type()) {
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::Wheel:
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::ShortcutOverride:
    case QEvent::Shortcut:
    case QEvent::ContextMenu:
    case QEvent::DragEnter:
    case QEvent::DragMove:
    case QEvent::Drop:
    case QEvent::TouchBegin:
    case QEvent::TouchUpdate:
    case QEvent::TouchEnd:
    case QEvent::TabletPress:
    case QEvent::TabletRelease:
    case QEvent::InputMethod:
        return true;
    case QEvent::Close:
        // Only the window system's close; the program may still close its own windows.
        return event->spontaneous();
    default:
        return false;
    }
}

// Holds back the user's input everywhere but in one widget while it lives.
class InputBlocker : public QObject {
public:
    explicit InputBlocker(QWidget* allowedWidget)
        : allowed(allowedWidget)
        , modalAtStart(QApplication::activeModalWidget())
    {
        qApp->installEventFilter(this);
    }
    ~InputBlocker() override { qApp->removeEventFilter(this); }

protected:
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        // Input reaches a top-level QWindow first, which hands it to the
        // widget concerned; the widget's turn decides.
        if (!watched->isWidgetType() || !isUserInput(event))
            return false;
        auto* widget = static_cast<QWidget*>(watched);
        if (allowed && (widget == allowed || allowed->isAncestorOf(widget)))
            return false;
        for (const QPointer<QWidget>& area : widgetsAllowedDuringCalls()) {
            if (isWithin(widget, area))
                return false;
            // The window manager's close (its title-bar button, Alt+F4) of
            // the window holding the close button goes to the same guard.
            if (event->type() == QEvent::Close && area && widget->isWindow() && area->window() == widget)
                return false;
        }
        // A box opened while the call runs (the close guard's question)
        // must be answerable.
        QWidget* modal = QApplication::activeModalWidget();
        if (modal && modal != modalAtStart && isWithin(widget, modal))
            return false;
        // Accepting nothing tells drag sources that the drop was refused.
        event->ignore();
        return true;
    }

private:
    QWidget* allowed;
    QPointer<QWidget> modalAtStart;
};

} // namespace

// The engine's observer on the worker thread: keeps the newest report and
// posts at most one delivery to the GUI thread at a time, so a fast stream
// of reports never floods the event queue.
class EngineCall::Observer : public KistProgress {
public:
    Observer(QObject* guiContext, ProgressDisplay* progressDisplay)
        : context(guiContext)
        , display(progressDisplay)
    {
    }

    void progress(const KistProgressState& state) override
    {
        {
            std::lock_guard<std::mutex> guard(mutex);
            latest = state;
            unseen = true;
        }
        if (!display || deliveryPending.exchange(true))
            return;
        QMetaObject::invokeMethod(
            context, [this] { deliver(); }, Qt::QueuedConnection);
    }

    bool stopRequested() override { return stop.load(); }

    // Shows the newest report unless it was shown already. The next one is
    // shown a moment later at the earliest: the engine reports every
    // megabyte, and repainting that often would keep a core from the work.
    void deliver()
    {
        KistProgressState state;
        {
            std::lock_guard<std::mutex> guard(mutex);
            if (!unseen) {
                deliveryPending = false;
                return;
            }
            unseen = false;
            state = latest;
        }
        if (display)
            display->showProgress(state);
        QTimer::singleShot(kShortestGapMs, context, [this] { deliver(); });
    }

    std::atomic<bool> stop{false};

private:
    QObject* context;
    ProgressDisplay* display;
    std::mutex mutex;
    KistProgressState latest;
    bool unseen = false;
    std::atomic<bool> deliveryPending{false};
};

EngineCall::EngineCall(Kist& kist, ProgressDisplay* progressDisplay)
    : engine(kist)
    , display(progressDisplay)
    , guiContext(std::make_unique<QObject>())
{
    observer = std::make_unique<Observer>(guiContext.get(), display);
}

EngineCall::~EngineCall()
{
    if (display && displayStarted)
        display->end();
    // Destroying the context drops any report still queued for the display.
    guiContext.reset();
}

bool EngineCall::cancelled() const
{
    return observer->stop.load();
}

void EngineCall::requestStop()
{
    observer->stop = true;
}

bool EngineCall::isRunning()
{
    return callRunning.load();
}

void EngineCall::stopRunningCall()
{
    if (runningStopFlag)
        *runningStopFlag = true;
}

void EngineCall::afterRunningCall(std::function<void()> action)
{
    if (!callRunning.load()) {
        action();
        return;
    }
    actionsAfterCall().push_back(std::move(action));
}

void EngineCall::allowInputDuringCalls(QWidget* widget)
{
    widgetsAllowedDuringCalls().append(widget);
}

void EngineCall::runOnWorker(const std::function<void()>& work)
{
    if (callRunning.exchange(true))
        throw ExceptionModule(L"Another operation is still under way. Try again when it has finished.", L"");
    struct RunningFlag {
        ~RunningFlag()
        {
            runningStopFlag = nullptr;
            callRunning = false;
        }
    } runningFlag;
    runningStopFlag = &observer->stop;

    if (display && !displayStarted) {
        displayStarted = true;
        display->begin([this] { requestStop(); });
    }
    InputBlocker blocker(display ? display->inputWidget() : nullptr);
    QApplication::setOverrideCursor(Qt::BusyCursor);

    std::exception_ptr failure;
    engine.setProgressObserver(observer.get());
    QEventLoop loop;
    QThread* worker = QThread::create([&work, &failure] {
        try {
            work();
        } catch (...) {
            failure = std::current_exception();
        }
    });
    worker->setObjectName(QStringLiteral("EngineCall"));
    QObject::connect(worker, &QThread::finished, &loop, &QEventLoop::quit);
    worker->start();
    // The finished signal reaches the loop as a queued call, so a worker that
    // ends before exec() still ends the loop.
    loop.exec();
    worker->wait();
    delete worker;
    engine.setProgressObserver(nullptr);
    // What waited for the engine (a lock's logoff) comes before the caller
    // goes on with the result.
    const std::vector<std::function<void()>> waiting = std::exchange(actionsAfterCall(), {});
    for (const std::function<void()>& action : waiting)
        action();

    // The last report may still be queued; show it before the caller goes on.
    observer->deliver();
    QApplication::restoreOverrideCursor();
    if (failure)
        std::rethrow_exception(failure);
}
