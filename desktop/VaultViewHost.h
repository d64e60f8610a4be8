#pragma once

#include "desktop/WindowMode.h"

class ProgressDisplay;

// The little the vault view needs from the window around it. The main
// window implements it; tests stand in for it with a plain widget.
class VaultViewHost {
public:
    virtual ~VaultViewHost();

    [[nodiscard]] virtual WindowMode windowMode() const = 0;
    // Ticks or unticks the window's "Select All" box without running its slot.
    virtual void setSelectAllChecked(bool checked) = 0;
    // The view's entries changed: show or hide what depends on there being any.
    virtual void updateSelectionState() = 0;
    // Where engine calls show their progress and Cancel; may be null.
    [[nodiscard]] virtual ProgressDisplay* progressDisplay() = 0;
    // The vault is locked (its engine logged off): the view reads nothing.
    [[nodiscard]] virtual bool vaultLocked() const;
};
