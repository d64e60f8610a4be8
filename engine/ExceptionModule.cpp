#include "engine/ExceptionModule.h"

ExceptionModule::ExceptionModule(nocase_wstring messageText, nocase_wstring causeText)
    : message(toNarrow(messageText))
    , cause(toNarrow(causeText))
{
}

ExceptionModule::ExceptionModule(const ExceptionModule& other) = default;

ExceptionModule::~ExceptionModule() = default;

ExceptionModule& ExceptionModule::operator=(const ExceptionModule&)
{
    return *this;
}

std::string ExceptionModule::getMessage() const
{
    return message;
}

std::string ExceptionModule::getCause() const
{
    return cause;
}
