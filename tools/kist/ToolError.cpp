#include "tools/kist/ToolError.h"

#include <utility>

ToolError::ToolError(Kind kind, const std::string& message, std::string cause)
    : std::runtime_error(message)
    , errorKind(kind)
    , errorCause(std::move(cause))
{
}

ToolError ToolError::usage(const std::string& message)
{
    return ToolError(Kind::Usage, message);
}

ToolError ToolError::password(const std::string& message)
{
    return ToolError(Kind::Password, message);
}

ToolError ToolError::failure(const std::string& message, std::string cause)
{
    return ToolError(Kind::Failure, message, std::move(cause));
}

ExitStatus ToolError::status() const
{
    return errorKind == Kind::Failure ? ExitStatus::Refused : ExitStatus::UsageOrPassword;
}
