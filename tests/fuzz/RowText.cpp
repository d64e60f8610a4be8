#include "tests/fuzz/RowText.h"

#include <limits>
#include <string_view>

namespace rowtext {
namespace {

constexpr std::size_t kFieldCount = 12;

int64_t number(std::string_view text)
{
    const bool negative = !text.empty() && text.front() == '-';
    if (negative)
        text.remove_prefix(1);
    int64_t value = 0;
    for (const char c : text) {
        if (c < '0' || c > '9')
            break;
        const int digit = c - '0';
        if (value > (std::numeric_limits<int64_t>::max() - digit) / 10) {
            value = std::numeric_limits<int64_t>::max();
            break;
        }
        value = value * 10 + digit;
    }
    return negative ? -value : value;
}

bool flag(std::string_view text)
{
    return !text.empty() && text != "0";
}

PackageRow parseRow(std::string_view line)
{
    std::string_view fields[kFieldCount];
    for (std::size_t i = 0; i < kFieldCount; ++i) {
        const std::size_t tab = line.find('\t');
        fields[i] = line.substr(0, tab);
        if (tab == std::string_view::npos) {
            line = {};
            break;
        }
        line.remove_prefix(tab + 1);
    }
    // A column read from a database as text ends at its first NUL.
    for (std::string_view& field : fields)
        field = field.substr(0, field.find('\0'));
    PackageRow row;
    row.uniqueName = fields[0];
    row.parent = fields[1];
    row.displayName = fields[2];
    row.rawFileName = fields[3];
    row.currentPath = fields[4];
    row.currentRoot = fields[5];
    row.targetPath = fields[6];
    row.targetRoot = fields[7];
    row.isDirectory = flag(fields[8]);
    row.isEncrypted = flag(fields[9]);
    row.size = number(fields[10]);
    row.pendingTransform = number(fields[11]);
    return row;
}

} // namespace

std::vector<PackageRow> parse(const uint8_t* data, std::size_t size)
{
    std::vector<PackageRow> rows;
    std::string_view text(reinterpret_cast<const char*>(data), size);
    while (!text.empty()) {
        const std::size_t end = text.find('\n');
        rows.push_back(parseRow(text.substr(0, end)));
        if (end == std::string_view::npos)
            break;
        text.remove_prefix(end + 1);
    }
    return rows;
}

std::string format(const std::vector<PackageRow>& rows)
{
    std::string text;
    for (const PackageRow& row : rows) {
        for (const std::string* field : {&row.uniqueName, &row.parent, &row.displayName, &row.rawFileName,
                                         &row.currentPath, &row.currentRoot, &row.targetPath, &row.targetRoot})
            text += *field + '\t';
        text += std::string(row.isDirectory ? "1" : "0") + '\t' + (row.isEncrypted ? "1" : "0") + '\t'
                + std::to_string(row.size) + '\t' + std::to_string(row.pendingTransform) + '\n';
    }
    return text;
}

} // namespace rowtext
