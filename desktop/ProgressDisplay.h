#pragma once

#include <functional>

#include "engine/Kist.h"

class QWidget;

// Where an EngineCall shows how far the engine has come: the progress strip
// of the main window, a dialog, or a small progress window. Every member is
// called on the GUI thread.
class ProgressDisplay {
public:
    virtual ~ProgressDisplay();

    // A call starts. cancel asks it to stop after the entry under way (or
    // inside it, where the engine can leave it as it was).
    virtual void begin(std::function<void()> cancel) = 0;
    // What the engine reported last (calls that report nothing never get here).
    virtual void showProgress(const KistProgressState& state) = 0;
    virtual void end() = 0;
    // Input to this widget and its children stays allowed while a call runs
    // (the Cancel button lives here). May be null.
    virtual QWidget* inputWidget() = 0;
};
