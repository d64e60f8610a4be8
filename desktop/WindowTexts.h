#pragma once

#include <QString>

#include "desktop/WindowMode.h"

// The texts that name a main window by its mode.
class WindowTexts {
public:
    // "KORVELIN Safehold", "Open KORVELIN File", "KORVELIN File Creator".
    [[nodiscard]] static QString windowTitle(WindowMode mode);
    // The rich text of the title bar (menuBar): eight non-breaking spaces,
    // then the mode's two words, each with a superscript "TM".
    [[nodiscard]] static QString titleBarText(WindowMode mode);
};
