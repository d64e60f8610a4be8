#include "engine/ProgressTracker.h"

#include <algorithm>

#include "engine/ExceptionModule.h"
#include "engine/ProtectedFile.h"

KistProgress::~KistProgress() = default;

bool KistProgress::stopRequested()
{
    return false;
}

ProgressTracker::ProgressTracker(KistProgress* progressObserver)
    : observer(progressObserver)
{
}

void ProgressTracker::addWork(uint64_t files, uint64_t bytes)
{
    state.filesTotal += files;
    state.bytesTotal += bytes;
}

void ProgressTracker::addWork(const ProtectedFile& tree)
{
    if (!observer)
        return;
    tree.forEach([&](const ProtectedFile& record) {
        if (!record.is_directory)
            addWork(1, record.size);
    });
}

void ProgressTracker::startEntry(const nocase_wstring& name)
{
    state.name = toNarrow(name);
    report();
}

void ProgressTracker::fileBytes(uint64_t bytesOfCurrentFile)
{
    state.bytesDone = bytesBeforeFile + bytesOfCurrentFile;
    report();
}

void ProgressTracker::fileDone(uint64_t fileSize)
{
    bytesBeforeFile += fileSize;
    state.bytesDone = bytesBeforeFile;
    ++state.filesDone;
    report();
}

void ProgressTracker::bytesWritten(uint64_t bytes)
{
    const uint64_t done = std::min(bytes, state.bytesTotal);
    if (done == state.bytesDone)
        return;
    state.bytesDone = done;
    report();
}

void ProgressTracker::allWritten()
{
    state.filesDone = state.filesTotal;
    state.bytesDone = state.bytesTotal;
    report();
}

void ProgressTracker::stopPointReached()
{
    if (observer && observer->stopRequested())
        throw ExceptionModule(kCancelledMessage, L"");
}

void ProgressTracker::report()
{
    if (observer)
        observer->progress(state);
}
