#pragma once

// The pictures compiled into the program live in a static library, so
// every program that links it registers them once before its first window.
namespace vaultdesk {
void registerResources();
}
