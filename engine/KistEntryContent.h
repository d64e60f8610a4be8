#pragma once

#include <cstdint>
#include <string>

// One file or folder inside a top-level entry, as Kist::listEntryContents
// reports it: parents before their contents, each folder's contents in
// case-blind name order.
struct KistEntryContent {
    std::string name;  // the name it was added under
    int depth = 1;     // 1: directly inside the entry, 2: inside one of its folders, ...
    bool is_directory = false;
    uint32_t size = 0; // bytes; a folder holds the sum of its files
};
