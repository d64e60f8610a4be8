#include "tools/kist/PackageSession.h"

#include "tools/kist/PasswordSource.h"
#include "tools/kist/ToolError.h"

PackageSession::PackageSession(const std::string& path)
    : packagePath(path)
    , reader(path)
{
}

bool PackageSession::isLocked()
{
    // A package without a password is logged in by the question itself.
    if (!unlocked)
        unlocked = reader.isEmptyPassword();
    return !unlocked;
}

bool PackageSession::unlock(const std::string& password)
{
    unlocked = reader.login(password);
    return unlocked;
}

void PackageSession::unlock(PasswordSource& passwords)
{
    if (!isLocked())
        return;
    if (!unlock(passwords.packagePassword()))
        throw ToolError::password("Wrong password for the package: " + packagePath);
}
