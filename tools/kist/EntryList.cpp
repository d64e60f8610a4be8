#include "tools/kist/EntryList.h"

#include <utility>

#include "engine/Kist.h"

std::vector<ListedEntry> EntryList::read(Kist& kist)
{
    std::vector<KistFile*> records;
    const auto freeRecords = [&records]() {
        for (KistFile* record : records)
            delete record;
        records.clear();
    };
    std::vector<ListedEntry> entries;
    try {
        kist.listFiles(records);
        entries.reserve(records.size());
        for (const KistFile* record : records)
            entries.push_back({record->name, record->is_directory, record->size});
    } catch (...) {
        freeRecords();
        throw;
    }
    freeRecords();
    return entries;
}

std::vector<std::string> EntryList::names(Kist& kist)
{
    std::vector<std::string> result;
    for (ListedEntry& entry : read(kist))
        result.push_back(std::move(entry.name));
    return result;
}
