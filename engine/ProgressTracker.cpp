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
    filesBeforeEntry = ++state.filesDone;
    report();
}

void ProgressTracker::entryProgress(uint64_t files, uint64_t bytes)
{
    state.filesDone = filesBeforeEntry + files;
    state.bytesDone = bytesBeforeFile + bytes;
    report();
}

void ProgressTracker::entryDone(uint64_t files, uint64_t bytes)
{
    filesBeforeEntry += files;
    bytesBeforeFile += bytes;
    state.filesDone = filesBeforeEntry;
    state.bytesDone = bytesBeforeFile;
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
    if (stopRequested())
        throw ExceptionModule(kCancelledMessage, L"");
}

bool ProgressTracker::stopRequested() const
{
    return observer != nullptr && observer->stopRequested();
}

bool isCancellation(const ExceptionModule& failure)
{
    return toWide(failure.getMessage()) == kCancelledMessage;
}

void ProgressTracker::report()
{
    if (observer)
        observer->progress(state);
}
