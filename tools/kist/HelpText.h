#pragma once

#include <string>

// What "kist --help" prints.
class HelpText {
public:
    [[nodiscard]] static std::string text();
};
