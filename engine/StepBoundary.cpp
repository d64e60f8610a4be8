#include "engine/StepBoundary.h"

namespace stepboundary {
namespace {
Hook currentHook = nullptr;
}

void setHook(Hook hook)
{
    currentHook = hook;
}

void reached(const char* step)
{
    if (currentHook)
        currentHook(step);
}

} // namespace stepboundary
