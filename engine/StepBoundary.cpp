#include "engine/StepBoundary.h"

#include <atomic>
#include <mutex>

namespace stepboundary {
namespace {
std::atomic<Hook> currentHook = nullptr;
// Sources are deleted on several threads: a hook sees one step at a time.
std::mutex hookMutex;
}

void setHook(Hook hook)
{
    currentHook = hook;
}

void reached(const char* step)
{
    const Hook hook = currentHook;
    if (hook == nullptr)
        return;
    const std::lock_guard lock(hookMutex);
    hook(step);
}

} // namespace stepboundary
