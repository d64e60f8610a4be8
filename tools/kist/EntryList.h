#pragma once

#include <cstdint>
#include <string>
#include <vector>

class Kist;

// One top-level entry of a vault or package, as plain values.
struct ListedEntry {
    std::string name;
    bool isDirectory = false;
    uint64_t size = 0;
};

// The top-level entries that Kist::listFiles reports, in its order, with
// the records it hands out freed whatever happens.
class EntryList {
public:
    [[nodiscard]] static std::vector<ListedEntry> read(Kist& kist);
    [[nodiscard]] static std::vector<std::string> names(Kist& kist);
};
