#include "engine/platform/DropboxSettings.h"

#include <map>
#include <vector>

#include "engine/Strings.h"

namespace {

constexpr int kInvalidDigit = -1;

int base64Value(char c)
{
    if (c >= 'A' && c <= 'Z')
        return c - 'A';
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 26;
    if (c >= '0' && c <= '9')
        return c - '0' + 52;
    if (c == '+')
        return 62;
    if (c == '/')
        return 63;
    if (c == '=')
        return 0; // padding decodes to zero bits, and zero bytes are dropped
    return kInvalidDigit;
}

std::string_view withoutLineEnd(std::string_view line)
{
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
        line.remove_suffix(1);
    return line;
}

// Just enough JSON to read info.json: a strict parser that keeps every
// string value under the path of object keys leading to it.
class JsonReader {
public:
    explicit JsonReader(std::string_view text) : text(text) {}

    bool parse()
    {
        if (text.substr(0, 3) == "\xEF\xBB\xBF")
            pos = 3;
        if (!value(0))
            return false;
        skipSpace();
        return pos == text.size();
    }

    std::optional<std::string> stringAt(const std::vector<std::string>& keys) const
    {
        const auto found = strings.find(keys);
        if (found == strings.end())
            return std::nullopt;
        return found->second;
    }

private:
    static constexpr int kMaxDepth = 64;

    bool value(int depth)
    {
        if (depth > kMaxDepth)
            return false;
        skipSpace();
        if (pos >= text.size())
            return false;
        const char c = text[pos];
        if (c == '{')
            return object(depth);
        if (c == '[')
            return array(depth);
        if (c == '"') {
            std::string s;
            if (!string(s))
                return false;
            strings[keys] = s; // a repeated key: the last one counts
            return true;
        }
        if (c == 't')
            return literal("true");
        if (c == 'f')
            return literal("false");
        if (c == 'n')
            return literal("null");
        return number();
    }

    bool object(int depth)
    {
        ++pos; // '{'
        skipSpace();
        if (consume('}'))
            return true;
        for (;;) {
            skipSpace();
            std::string key;
            if (!string(key))
                return false;
            skipSpace();
            if (!consume(':'))
                return false;
            keys.push_back(key);
            const bool ok = value(depth + 1);
            keys.pop_back();
            if (!ok)
                return false;
            skipSpace();
            if (consume('}'))
                return true;
            if (!consume(','))
                return false;
        }
    }

    bool array(int depth)
    {
        ++pos; // '['
        skipSpace();
        if (consume(']'))
            return true;
        // Array elements are not addressed by key: mark them so that no
        // string inside an array passes for an object member.
        keys.push_back(std::string(1, '\0'));
        bool ok = true;
        for (;;) {
            if (!value(depth + 1)) {
                ok = false;
                break;
            }
            skipSpace();
            if (consume(']'))
                break;
            if (!consume(',')) {
                ok = false;
                break;
            }
        }
        keys.pop_back();
        return ok;
    }

    bool string(std::string& out)
    {
        if (!consume('"'))
            return false;
        while (pos < text.size()) {
            const char c = text[pos++];
            if (c == '"')
                return true;
            if (static_cast<unsigned char>(c) < 0x20)
                return false;
            if (c != '\\') {
                out += c;
                continue;
            }
            if (pos >= text.size())
                return false;
            const char e = text[pos++];
            switch (e) {
            case '"': out += '"'; break;
            case '\\': out += '\\'; break;
            case '/': out += '/'; break;
            case 'b': out += '\b'; break;
            case 'f': out += '\f'; break;
            case 'n': out += '\n'; break;
            case 'r': out += '\r'; break;
            case 't': out += '\t'; break;
            case 'u':
                if (!unicodeEscape(out))
                    return false;
                break;
            default:
                return false;
            }
        }
        return false;
    }

    bool hexUnit(char32_t& unit)
    {
        if (pos + 4 > text.size())
            return false;
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            const char c = text[pos++];
            unit <<= 4;
            if (c >= '0' && c <= '9')
                unit |= static_cast<char32_t>(c - '0');
            else if (c >= 'a' && c <= 'f')
                unit |= static_cast<char32_t>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                unit |= static_cast<char32_t>(c - 'A' + 10);
            else
                return false;
        }
        return true;
    }

    bool unicodeEscape(std::string& out)
    {
        char32_t cp = 0;
        if (!hexUnit(cp))
            return false;
        if (cp >= 0xDC00 && cp <= 0xDFFF)
            return false; // a low surrogate without its high half
        if (cp >= 0xD800 && cp <= 0xDBFF) {
            char32_t low = 0;
            if (text.substr(pos, 2) != "\\u")
                return false;
            pos += 2;
            if (!hexUnit(low) || low < 0xDC00 || low > 0xDFFF)
                return false;
            cp = 0x10000 + ((cp - 0xD800) << 10) + (low - 0xDC00);
        }
        if (cp == 0)
            return false; // no file name holds a NUL
        // A valid code point (surrogates were paired above) converts exactly.
        out += toNarrow(nocase_wstring(1, static_cast<wchar_t>(cp)));
        return true;
    }

    bool number()
    {
        const std::size_t start = pos;
        consume('-');
        if (!digits())
            return false;
        if (consume('.') && !digits())
            return false;
        if (consume('e') || consume('E')) {
            if (!consume('+'))
                consume('-');
            if (!digits())
                return false;
        }
        return pos > start;
    }

    bool digits()
    {
        const std::size_t start = pos;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9')
            ++pos;
        return pos > start;
    }

    bool literal(std::string_view word)
    {
        if (text.substr(pos, word.size()) != word)
            return false;
        pos += word.size();
        return true;
    }

    bool consume(char c)
    {
        if (pos < text.size() && text[pos] == c) {
            ++pos;
            return true;
        }
        return false;
    }

    void skipSpace()
    {
        while (pos < text.size() && (text[pos] == ' ' || text[pos] == '\t' || text[pos] == '\n' || text[pos] == '\r'))
            ++pos;
    }

    std::string_view text;
    std::size_t pos = 0;
    std::vector<std::string> keys;
    std::map<std::vector<std::string>, std::string> strings;
};

} // namespace

std::optional<std::string> decodeDropboxLine(std::string_view line)
{
    line = withoutLineEnd(line);
    std::string decoded;
    int group[4] = {};
    std::size_t filled = 0;
    const auto emit = [&decoded](int byte) {
        if (byte != 0)
            decoded += static_cast<char>(byte);
    };
    for (const char c : line) {
        const int v = base64Value(c);
        if (v == kInvalidDigit)
            return std::nullopt;
        group[filled++] = v;
        if (filled == 4) {
            emit(((group[0] << 2) | (group[1] >> 4)) & 0xFF);
            emit(((group[1] << 4) | (group[2] >> 2)) & 0xFF);
            emit(((group[2] << 6) | group[3]) & 0xFF);
            filled = 0;
        }
    }
    // An unpadded last group: two characters carry one byte, three carry two.
    if (filled == 1)
        return std::nullopt;
    if (filled >= 2)
        emit(((group[0] << 2) | (group[1] >> 4)) & 0xFF);
    if (filled == 3)
        emit(((group[1] << 4) | (group[2] >> 2)) & 0xFF);
    return decoded;
}

std::string_view lastLineOf(std::string_view contents)
{
    if (!contents.empty() && contents.back() == '\n')
        contents.remove_suffix(1);
    const std::size_t lineFeed = contents.rfind('\n');
    const std::string_view line = lineFeed == std::string_view::npos ? contents : contents.substr(lineFeed + 1);
    return withoutLineEnd(line);
}

std::optional<std::string> dropboxPathFromInfoJson(std::string_view json)
{
    JsonReader reader(json);
    if (!reader.parse())
        return std::nullopt;
    for (const char* account : {"personal", "business"}) {
        const auto path = reader.stringAt({account, "path"});
        if (path && !path->empty())
            return path;
    }
    return std::nullopt;
}
