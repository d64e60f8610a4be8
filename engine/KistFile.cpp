#include "engine/KistFile.h"

KistFile::KistFile()
    : is_directory(false)
    , volume(0)
    , size(0)
{
}

KistFile::~KistFile() = default;

KistFile::KistFile(const KistFile& other) = default;

KistFile& KistFile::operator=(const KistFile& other) = default;
