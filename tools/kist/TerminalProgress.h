#pragma once

#include <chrono>
#include <csignal>
#include <string>

#include "engine/Kist.h"

// Shows how far a long operation has come on one line of the terminal
// (standard error), and turns the first Ctrl-C into a request to stop after
// the entry under way, so every entry stays whole; a second Ctrl-C ends the
// program at once.
class TerminalProgress : public KistProgress {
public:
    // fd must be a terminal; see isWanted.
    explicit TerminalProgress(int fd);
    ~TerminalProgress() override;
    TerminalProgress(const TerminalProgress&) = delete;
    TerminalProgress& operator=(const TerminalProgress&) = delete;

    // Progress is shown only when standard error is a terminal.
    [[nodiscard]] static bool isWanted();

    void progress(const KistProgressState& state) override;
    bool stopRequested() override;

    // Clears the progress line, before other output reaches the terminal.
    void clearLine();

    // "3/10 files, 1.5 MiB of 4.0 MiB: name", at most width bytes.
    [[nodiscard]] static std::string describe(const KistProgressState& state, std::size_t width);
    // "812 B", "1.5 KiB", "4.0 MiB", "2.3 GiB".
    [[nodiscard]] static std::string byteCount(uint64_t bytes);

private:
    void writeText(const std::string& text);

    int fd;
    bool lineShown = false;
    std::chrono::steady_clock::time_point lastShown{};
    struct sigaction previousInterrupt {};
};
