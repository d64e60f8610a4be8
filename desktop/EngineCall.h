#pragma once

#include <exception>
#include <functional>
#include <memory>
#include <optional>
#include <type_traits>

#include "engine/Kist.h"

class ProgressDisplay;
class QObject;
class QWidget;

// Runs engine calls on a worker thread while the window keeps painting and
// shows what the engine reports; for the caller each call stays synchronous:
// run() returns the call's result or rethrows its ExceptionModule on the GUI
// thread. While a call runs the application takes no input but the progress
// display's (its Cancel button), and no other EngineCall may start: the
// engine object is not thread-safe.
//
// One EngineCall may run several calls in a row (one per dropped path): the
// display stays up from the first run() until the EngineCall is destroyed,
// and once Cancel was pressed, cancelled() stays true so the caller stops
// before the next call. The engine itself stops between the top-level
// entries of an operation that has several, and inside the entry under way
// of a take-out or a copy into the vault (which then stays as it was); the
// call then throws the engine's cancelled message.
class EngineCall {
public:
    // display may be null: nothing is shown, input is still held back.
    EngineCall(Kist& engine, ProgressDisplay* display);
    ~EngineCall();
    EngineCall(const EngineCall&) = delete;
    EngineCall& operator=(const EngineCall&) = delete;

    template <typename Call>
    std::invoke_result_t<Call&> run(Call&& call)
    {
        using Result = std::invoke_result_t<Call&>;
        if constexpr (std::is_void_v<Result>) {
            runOnWorker([&call] { call(); });
        } else {
            std::optional<Result> result;
            runOnWorker([&call, &result] { result.emplace(call()); });
            return std::move(*result);
        }
    }

    // Cancel was pressed during one of this object's calls.
    [[nodiscard]] bool cancelled() const;
    // The display's Cancel, for callers that stop a sequence themselves.
    void requestStop();

    // A call is under way somewhere in the program.
    [[nodiscard]] static bool isRunning();
    // Presses Cancel for the call under way, if any (closing the window).
    static void stopRunningCall();
    // Runs action once the call under way has ended, on the GUI thread and
    // before that call's caller goes on; at once when no call runs. Locking
    // logs the engine off this way: never while a worker uses it.
    static void afterRunningCall(std::function<void()> action);
    // Input to widget (and its children) passes while calls run, as a box
    // opened while a call runs does: the window's close button, whose guard
    // asks the call to stop. The window manager's close of the window that
    // holds widget passes too, so it reaches the same guard.
    static void allowInputDuringCalls(QWidget* widget);

private:
    class Observer;

    void runOnWorker(const std::function<void()>& work);

    Kist& engine;
    ProgressDisplay* display;
    std::unique_ptr<Observer> observer;
    std::unique_ptr<QObject> guiContext; // receives the worker's reports on the GUI thread
    bool displayStarted = false;
};
