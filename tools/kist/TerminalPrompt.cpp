#include "tools/kist/TerminalPrompt.h"

#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <iterator>
#include <termios.h>
#include <unistd.h>

#include "tools/kist/ToolError.h"

namespace {

// A signal that ends the program while echo is off gives the terminal back
// as it was first; the handler may only touch these.
volatile sig_atomic_t quietTerminal = -1;
termios terminalMode{};

constexpr int kRestoringSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

extern "C" void restoreTerminalAndDie(int signalNumber)
{
    if (quietTerminal >= 0)
        (void)tcsetattr(quietTerminal, TCSANOW, &terminalMode);
    // SA_RESETHAND has put the default action back: the signal now ends us.
    (void)raise(signalNumber);
}

class EchoOff {
public:
    EchoOff(int terminal, const termios& original)
        : fd(terminal)
    {
        terminalMode = original;
        quietTerminal = terminal;
        struct sigaction action {};
        action.sa_handler = restoreTerminalAndDie;
        action.sa_flags = SA_RESETHAND;
        sigemptyset(&action.sa_mask);
        for (std::size_t i = 0; i < std::size(kRestoringSignals); ++i)
            (void)sigaction(kRestoringSignals[i], &action, &previous[i]);
        termios quiet = original;
        quiet.c_lflag &= ~static_cast<tcflag_t>(ECHO);
        quiet.c_lflag |= ECHONL;
        active = tcsetattr(fd, TCSAFLUSH, &quiet) == 0;
    }
    ~EchoOff()
    {
        (void)tcsetattr(fd, TCSANOW, &terminalMode);
        quietTerminal = -1;
        for (std::size_t i = 0; i < std::size(kRestoringSignals); ++i)
            (void)sigaction(kRestoringSignals[i], &previous[i], nullptr);
    }
    EchoOff(const EchoOff&) = delete;
    EchoOff& operator=(const EchoOff&) = delete;

    [[nodiscard]] bool isActive() const { return active; }

private:
    int fd;
    bool active = false;
    struct sigaction previous[std::size(kRestoringSignals)] {};
};

class Descriptor {
public:
    explicit Descriptor(int value)
        : fd(value)
    {
    }
    ~Descriptor()
    {
        if (fd >= 0)
            (void)::close(fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    [[nodiscard]] int get() const { return fd; }

private:
    int fd;
};

bool writeAll(int fd, const std::string& text)
{
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t written = ::write(fd, text.data() + done, text.size() - done);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return false;
        done += static_cast<std::size_t>(written);
    }
    return true;
}

} // namespace

std::optional<std::string> TerminalPrompt::ask(const std::string& question)
{
    if (!isatty(STDIN_FILENO))
        return std::nullopt;
    const Descriptor terminal(::open("/dev/tty", O_RDWR | O_NOCTTY | O_CLOEXEC));
    if (terminal.get() < 0)
        return std::nullopt;
    termios original{};
    if (tcgetattr(terminal.get(), &original) != 0)
        return std::nullopt;

    std::string line;
    bool ended = false;
    {
        const EchoOff echoOff(terminal.get(), original);
        // Never read a secret while the terminal would show it.
        if (!echoOff.isActive())
            return std::nullopt;
        if (!writeAll(terminal.get(), question))
            return std::nullopt;
        char c = 0;
        for (;;) {
            const ssize_t got = ::read(terminal.get(), &c, 1);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                break;
            if (c == '\n') {
                ended = true;
                break;
            }
            line += c;
        }
    }
    if (!ended && line.empty())
        throw ToolError::password("No password was entered.");
    if (!ended)
        (void)writeAll(terminal.get(), "\n");
    return line;
}
