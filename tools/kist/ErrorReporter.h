#pragma once

#include <exception>
#include <functional>
#include <iosfwd>
#include <string>
#include <utility>

#include "tools/kist/ExitStatus.h"

class ExceptionModule;
class ToolError;

// Writes every failure to standard error as it happens ("kist: " and the
// message, the cause on the next line when there is one) and keeps the worst
// exit status seen so far.
class ErrorReporter {
public:
    explicit ErrorReporter(std::ostream& errorStream);

    void report(const ExceptionModule& error);
    void report(const ToolError& error);
    void report(const std::exception& error);

    // Called before each report, so a progress line on the same terminal
    // is cleared first.
    void setBeforeReport(std::function<void()> hook) { beforeReport = std::move(hook); }

    // A remark on standard error ("kist: " and the text) that is no failure.
    void note(const std::string& message);

    // Runs step and reports what it throws; true when it went through.
    bool attempt(const std::function<void()>& step);

    [[nodiscard]] ExitStatus status() const { return worst; }

    // The engine refuses a missing or wrong password with these messages;
    // they count as password errors, everything else as a refusal.
    [[nodiscard]] static ExitStatus classify(const std::string& engineMessage);

private:
    void write(const std::string& message, const std::string& cause, ExitStatus status);

    std::ostream& err;
    std::function<void()> beforeReport;
    ExitStatus worst = ExitStatus::Done;
};
