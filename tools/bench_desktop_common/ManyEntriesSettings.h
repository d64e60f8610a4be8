#pragma once

#include <cstdint>
#include <functional>
#include <string>

// The options of a benchmark on a vault of many entries and some large data:
//   [--entries N] [--size-mib N] [--dir D] [--keep] [--quick]
// Defaults: 20000 entries, 1024 MiB, $TMPDIR (else /var/tmp); --quick is
// --entries 2000 --size-mib 64.
class BenchArguments;

struct ManyEntriesSettings {
    int entries = 20000;
    std::uint64_t sizeMiB = 1024;
    std::string folder;
    bool keep = false;

    // Exits with the usage on --help and on a wrong option (see BenchArguments).
    // An option of its own is offered to ownOption first, which answers
    // whether it took it.
    static ManyEntriesSettings parse(const char* program, const char* usage, const char* description, int argc,
                                     char** argv, const std::function<bool(BenchArguments&)>& ownOption = {});
};
