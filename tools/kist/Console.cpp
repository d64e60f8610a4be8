#include "tools/kist/Console.h"

#include <ostream>
#include <unistd.h>

#include "engine/Kist.h"
#include "tools/kist/EntryFormatter.h"
#include "tools/kist/ErrorReporter.h"
#include "tools/kist/TerminalProgress.h"
#include "tools/kist/ToolError.h"

Console::Console(std::ostream& outStream, ErrorReporter& errorReporter, PasswordSource& passwordSource)
    : errors(errorReporter)
    , passwords(passwordSource)
    , out(outStream)
{
}

Console::~Console() = default;

void Console::printLine(const std::string& line)
{
    clearProgress();
    // Flushed at once: a caller reading the output sees each result when it is done.
    out << line << '\n' << std::flush;
}

void Console::watch(Kist& kist)
{
    if (!progress && TerminalProgress::isWanted())
        progress = std::make_unique<TerminalProgress>(STDERR_FILENO);
    if (progress)
        kist.setProgressObserver(progress.get());
}

bool Console::stopRequested() const
{
    return progress && progress->stopRequested();
}

void Console::clearProgress()
{
    if (progress)
        progress->clearLine();
}

bool Console::stopsBefore(const std::string& argument)
{
    if (!stopRequested())
        return false;
    errors.report(ToolError::failure("Stopped at your request before " + EntryFormatter::escape(argument)
                                     + "; every entry is whole."));
    return true;
}
