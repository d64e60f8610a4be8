#include "tools/bench_desktop_common/ManyEntriesSettings.h"

#include "tools/bench_common/BenchArguments.h"

ManyEntriesSettings ManyEntriesSettings::parse(const char* program, const char* usage, const char* description,
                                               int argc, char** argv,
                                               const std::function<bool(BenchArguments&)>& ownOption)
{
    ManyEntriesSettings settings;
    settings.folder = defaultScratchParent();
    BenchArguments arguments(program, usage, description, argc, argv);
    while (arguments.next()) {
        const std::string& option = arguments.option();
        if (ownOption && ownOption(arguments))
            continue;
        if (option == "--entries")
            settings.entries = static_cast<int>(arguments.positiveNumber());
        else if (option == "--size-mib")
            settings.sizeMiB = arguments.positiveNumber();
        else if (option == "--dir")
            settings.folder = arguments.value();
        else if (option == "--keep")
            settings.keep = true;
        else if (option == "--quick") {
            settings.entries = 2000;
            settings.sizeMiB = 64;
        } else
            arguments.rejectOption();
    }
    return settings;
}
