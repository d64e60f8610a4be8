#pragma once

#include <cstdint>
#include <string>

#include "engine/KistExport.h"

// How far a long operation (adding, taking out, exporting, copying into the
// vault) has come.
struct KistProgressState {
    uint64_t filesDone = 0;
    uint64_t filesTotal = 0;
    uint64_t bytesDone = 0;
    uint64_t bytesTotal = 0;
    std::string name; // the entry being worked on
};

// An optional observer of Kist's long operations. Without one nothing
// changes. stopRequested is asked between the top-level entries of an
// operation that has several; every entry is finished or untouched. A
// take-out and a copy into the vault ask it inside an entry too (between
// its files and while a large one streams): the entry under way is then
// left as it was, and the operation throws the cancelled message.
class KIST_EXPORT KistProgress {
public:
    virtual ~KistProgress();
    virtual void progress(const KistProgressState& state) = 0;
    virtual bool stopRequested();
};
