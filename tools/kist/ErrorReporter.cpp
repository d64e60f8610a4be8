#include "tools/kist/ErrorReporter.h"

#include <new>
#include <ostream>

#include "engine/Kist.h"
#include "tools/kist/ToolError.h"

namespace {

constexpr char kPasswordMessage[] = "Cannot use this feature until you enter your password.";
constexpr char kIncorrectOldPassword[] = "Incorrect old password.";

} // namespace

ErrorReporter::ErrorReporter(std::ostream& errorStream)
    : err(errorStream)
{
}

ExitStatus ErrorReporter::classify(const std::string& engineMessage)
{
    if (engineMessage == kPasswordMessage || engineMessage == kIncorrectOldPassword)
        return ExitStatus::UsageOrPassword;
    return ExitStatus::Refused;
}

void ErrorReporter::report(const ExceptionModule& error)
{
    const std::string message = error.getMessage();
    write(message, error.getCause(), classify(message));
}

void ErrorReporter::report(const ToolError& error)
{
    write(error.what(), error.cause(), error.status());
    if (error.kind() == ToolError::Kind::Usage)
        err << "Try 'kist --help' for more information.\n" << std::flush;
}

void ErrorReporter::report(const std::exception& error)
{
    if (dynamic_cast<const std::bad_alloc*>(&error))
        write("Out of memory.", {}, ExitStatus::Refused);
    else
        write(error.what(), {}, ExitStatus::Refused);
}

void ErrorReporter::note(const std::string& message)
{
    write(message, {}, ExitStatus::Done);
}

bool ErrorReporter::attempt(const std::function<void()>& step)
{
    try {
        step();
        return true;
    } catch (const ExceptionModule& error) {
        report(error);
    } catch (const ToolError& error) {
        report(error);
    } catch (const std::exception& error) {
        report(error);
    }
    return false;
}

void ErrorReporter::write(const std::string& message, const std::string& cause, ExitStatus status)
{
    if (beforeReport)
        beforeReport();
    err << "kist: " << message << '\n';
    if (!cause.empty())
        err << cause << '\n';
    err << std::flush;
    worst = worse(worst, status);
}
