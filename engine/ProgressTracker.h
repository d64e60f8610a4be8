#pragma once

#include <cstdint>
#include <string>

#include "engine/KistProgress.h"
#include "engine/Strings.h"

class ProtectedFile;

// Counts the files and bytes of one operation for the observer, if any.
class ProgressTracker {
public:
    explicit ProgressTracker(KistProgress* observer);

    void addWork(uint64_t files, uint64_t bytes);
    void addWork(const ProtectedFile& tree);
    void startEntry(const nocase_wstring& name);
    void fileBytes(uint64_t bytesOfCurrentFile);
    void fileDone(uint64_t fileSize);
    // An entry whose files are worked on in more than one pass: the files
    // and bytes of it done so far, then all of them done.
    void entryProgress(uint64_t files, uint64_t bytes);
    void entryDone(uint64_t files, uint64_t bytes);
    // Bytes of the whole operation written so far (a package being written),
    // never more than its total.
    void bytesWritten(uint64_t bytes);
    // Every file of the operation is done.
    void allWritten();
    // Throws the cancelled message when the observer asked to stop.
    void stopPointReached();
    [[nodiscard]] bool stopRequested() const;
    [[nodiscard]] bool active() const { return observer != nullptr; }

    // Operations that can undo an entry cut short (taking out, copying into
    // the vault) also stop inside an entry: between its files and while one
    // large file streams. Others stop only between entries.
    void allowStopWithinEntries() { stopWithinEntries = true; }
    [[nodiscard]] bool stopsWithinEntries() const { return stopWithinEntries && observer != nullptr; }

private:
    void report();

    KistProgress* observer;
    KistProgressState state;
    uint64_t bytesBeforeFile = 0;
    uint64_t filesBeforeEntry = 0;
    bool stopWithinEntries = false;
};

// The message of an operation stopped at the observer's request.
inline constexpr wchar_t kCancelledMessage[] = L"The operation was cancelled; every entry is whole.";

class ExceptionModule;
// Whether a failure is the stop the observer asked for.
[[nodiscard]] bool isCancellation(const ExceptionModule& failure);
