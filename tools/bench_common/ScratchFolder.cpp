#include "tools/bench_common/ScratchFolder.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>

#include "tools/bench_common/BenchFiles.h"

ScratchFolder::ScratchFolder(const std::string& parent, const std::string& namePrefix, AtEnd end)
    : folder(parent + "/" + namePrefix + "XXXXXX")
    , atEnd(end)
{
    if (::mkdtemp(folder.data()) == nullptr)
        throw std::runtime_error("cannot create a folder in " + parent + ": " + std::strerror(errno));
}

ScratchFolder::~ScratchFolder()
{
    if (atEnd == AtEnd::remove)
        removeQuietly(folder);
    else if (atEnd == AtEnd::keepAndPrintPath)
        std::printf("kept %s\n", folder.c_str());
}
