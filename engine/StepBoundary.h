#pragma once

// A transform passes a step boundary after each plan is committed, after
// each file is moved or transformed and after each finish. Tests hook in
// here to stop a process at every boundary and prove that recovery loses
// nothing; without a hook nothing happens. A hook may be reached from
// several threads, never at once.
namespace stepboundary {

using Hook = void (*)(const char* step);

void setHook(Hook hook);
void reached(const char* step);

} // namespace stepboundary
