#pragma once

#include <string>

// A new folder of its own below parent (namePrefix followed by six random
// characters) for a benchmark's files, removed with everything in it when
// the benchmark ends, whether it succeeded or not, unless asked to keep it.
class ScratchFolder {
public:
    enum class AtEnd { remove, keep, keepAndPrintPath };

    // Throws std::runtime_error when the folder cannot be made.
    ScratchFolder(const std::string& parent, const std::string& namePrefix, AtEnd atEnd = AtEnd::remove);
    ~ScratchFolder();
    ScratchFolder(const ScratchFolder&) = delete;
    ScratchFolder& operator=(const ScratchFolder&) = delete;

    const std::string& path() const { return folder; }

private:
    std::string folder;
    AtEnd atEnd;
};
