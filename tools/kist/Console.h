#pragma once

#include <iosfwd>
#include <memory>
#include <string>

class ErrorReporter;
class Kist;
class PasswordSource;
class TerminalProgress;

// What every command works with: standard output, the error reporter, the
// password source and, on a terminal, the progress line of long operations.
class Console {
public:
    Console(std::ostream& out, ErrorReporter& errors, PasswordSource& passwords);
    ~Console();
    Console(const Console&) = delete;
    Console& operator=(const Console&) = delete;

    // Writes one line of results (a name or path is escaped by the caller).
    void printLine(const std::string& line);

    // Shows the progress of kist's long operations when standard error is a
    // terminal. Call it after every password has been asked for: from here
    // on the first Ctrl-C asks the operation to stop.
    void watch(Kist& kist);

    // True once the user asked to stop (Ctrl-C while progress is shown).
    [[nodiscard]] bool stopRequested() const;
    // Asked before each further argument: reports the stop, naming the
    // argument that is left untouched, and answers true once stop was asked.
    [[nodiscard]] bool stopsBefore(const std::string& argument);

    // Takes the progress line off the terminal before other text goes there.
    void clearProgress();

    ErrorReporter& errors;
    PasswordSource& passwords;

private:
    std::ostream& out;
    std::unique_ptr<TerminalProgress> progress;
};
