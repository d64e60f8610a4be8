#pragma once

#include <cstdint>
#include <string>
#include <string_view>

// The line format of kist's output: one entry or path a line, so a TAB,
// newline or backslash inside a name is written as \t, \n or \\ and every
// line can be split at its TABs.
class EntryFormatter {
public:
    [[nodiscard]] static std::string escape(std::string_view text);

    // NAME<TAB>d|f<TAB>SIZE, without the line end.
    [[nodiscard]] static std::string entryLine(std::string_view name, bool isDirectory, uint64_t size);
};
