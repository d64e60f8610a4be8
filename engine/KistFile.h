#pragma once

#include <cstdint>
#include <string>

#include "engine/KistExport.h"

// One top-level entry as the engine reports it. The caller owns every
// KistFile the engine hands out.
class KIST_EXPORT KistFile {
public:
    KistFile();
    ~KistFile();

    std::string path;       // where the body lies, relative to the vault
    std::string name;       // display name, unique at the vault's top level
    std::string note;       // never filled
    bool is_directory;
    uint32_t volume;
    uint32_t size;          // bytes; a folder holds the sum of its files

private:
    KistFile(const KistFile& other);
    KistFile& operator=(const KistFile& other);
};
