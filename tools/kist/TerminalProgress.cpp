#include "tools/kist/TerminalProgress.h"

#include <cerrno>
#include <cstdio>
#include <sys/ioctl.h>
#include <unistd.h>

#include "tools/kist/EntryFormatter.h"

namespace {

volatile sig_atomic_t interrupted = 0;

extern "C" void noteInterrupt(int)
{
    interrupted = 1;
}

constexpr auto kRedrawInterval = std::chrono::milliseconds(100);
constexpr std::size_t kDefaultWidth = 80;

// The length of the longest prefix of text within limit bytes that does not
// split a UTF-8 sequence.
std::size_t utf8Prefix(const std::string& text, std::size_t limit)
{
    if (text.size() <= limit)
        return text.size();
    std::size_t end = limit;
    while (end > 0 && (static_cast<unsigned char>(text[end]) & 0xC0) == 0x80)
        --end;
    return end;
}

} // namespace

TerminalProgress::TerminalProgress(int terminal)
    : fd(terminal)
{
    interrupted = 0;
    struct sigaction action {};
    action.sa_handler = noteInterrupt;
    // The first Ctrl-C asks to stop; the default action is back for a second one.
    action.sa_flags = SA_RESETHAND | SA_RESTART;
    sigemptyset(&action.sa_mask);
    (void)sigaction(SIGINT, &action, &previousInterrupt);
}

TerminalProgress::~TerminalProgress()
{
    clearLine();
    (void)sigaction(SIGINT, &previousInterrupt, nullptr);
}

bool TerminalProgress::isWanted()
{
    return isatty(STDERR_FILENO) == 1;
}

void TerminalProgress::progress(const KistProgressState& state)
{
    const auto now = std::chrono::steady_clock::now();
    const bool finished = state.filesTotal != 0 && state.filesDone == state.filesTotal;
    if (lineShown && !finished && now - lastShown < kRedrawInterval)
        return;
    lastShown = now;
    std::size_t width = kDefaultWidth;
    winsize size{};
    if (ioctl(fd, TIOCGWINSZ, &size) == 0 && size.ws_col > 1)
        width = size.ws_col;
    // One column less than the terminal, so the cursor never wraps.
    writeText("\r" + describe(state, width - 1) + "\x1b[K");
    lineShown = true;
}

bool TerminalProgress::stopRequested()
{
    return interrupted != 0;
}

void TerminalProgress::clearLine()
{
    if (!lineShown)
        return;
    writeText("\r\x1b[K");
    lineShown = false;
}

std::string TerminalProgress::describe(const KistProgressState& state, std::size_t width)
{
    std::string line = std::to_string(state.filesDone) + "/" + std::to_string(state.filesTotal) + " files, "
                       + byteCount(state.bytesDone) + " of " + byteCount(state.bytesTotal);
    if (!state.name.empty())
        line += ": " + EntryFormatter::escape(state.name);
    line.resize(utf8Prefix(line, width));
    return line;
}

std::string TerminalProgress::byteCount(uint64_t bytes)
{
    static constexpr const char* units[] = {"KiB", "MiB", "GiB", "TiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes) / 1024.0;
    std::size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < std::size(units)) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    const int length = std::snprintf(text, sizeof text, "%.1f %s", value, units[unit]);
    return length > 0 ? std::string(text, static_cast<std::size_t>(length)) : std::string();
}

void TerminalProgress::writeText(const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return; // progress is a courtesy: a terminal that went away stops it
        done += static_cast<std::size_t>(written);
    }
}
