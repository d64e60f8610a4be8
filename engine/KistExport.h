#pragma once

// Marks the few types that KistCore exports; everything else stays hidden.
#define KIST_EXPORT __attribute__((visibility("default")))
