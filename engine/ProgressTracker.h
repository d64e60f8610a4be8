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
    // Bytes of the whole operation written so far (a package being written),
    // never more than its total.
    void bytesWritten(uint64_t bytes);
    // Every file of the operation is done.
    void allWritten();
    // Throws the cancelled message when the observer asked to stop.
    void stopPointReached();
    [[nodiscard]] bool active() const { return observer != nullptr; }

private:
    void report();

    KistProgress* observer;
    KistProgressState state;
    uint64_t bytesBeforeFile = 0;
};

// The message of an operation stopped at the observer's request.
inline constexpr wchar_t kCancelledMessage[] = L"The operation was cancelled; every entry is whole.";
