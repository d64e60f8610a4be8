#include "tools/kist/EntryFormatter.h"

std::string EntryFormatter::escape(std::string_view text)
{
    std::string escaped;
    escaped.reserve(text.size());
    for (const char c : text) {
        switch (c) {
        case '\t':
            escaped += "\\t";
            break;
        case '\n':
            escaped += "\\n";
            break;
        case '\\':
            escaped += "\\\\";
            break;
        default:
            escaped += c;
        }
    }
    return escaped;
}

std::string EntryFormatter::entryLine(std::string_view name, bool isDirectory, uint64_t size)
{
    return escape(name) + (isDirectory ? "\td\t" : "\tf\t") + std::to_string(size);
}
