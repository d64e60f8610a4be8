#pragma once

#include <cstdint>
#include <string>

// What became of one path given to Kist::addFiles.
struct KistAddOutcome {
    enum class State {
        Added,   // a new top-level entry named name
        Failed,  // not added: message and cause say why; what was there stays whole
        NotTried // the caller's observer asked to stop before it
    };
    std::string path;
    State state = State::NotTried;
    std::string name;
    bool is_directory = false;
    uint32_t size = 0;
    std::string message;
    std::string cause;
};
