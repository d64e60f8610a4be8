#pragma once

#include <exception>
#include <string>

#include "engine/KistExport.h"
#include "engine/Strings.h"

// The one error type of the engine: a fixed English message (often followed
// directly by the path, name or version it announces) and a cause, which is
// empty unless a platform call failed. what() is not overridden; callers read
// getMessage().
class KIST_EXPORT ExceptionModule : public std::exception {
public:
    ExceptionModule(nocase_wstring message, nocase_wstring cause);
    ExceptionModule(const ExceptionModule& other);
    ~ExceptionModule() override;

    std::string getMessage() const;
    std::string getCause() const;

private:
    ExceptionModule& operator=(const ExceptionModule& other);

    std::string message;
    std::string cause;
};
