#include "desktop/PasswordStrength.h"

#include <zxcvbn.h>

namespace {

// Words anyone guessing a password of this program tries first.
const char* kProgramWords[] = {"korvelin", "safehold", "kzip", "vault", "vaultdesk", "brannoway", nullptr};

} // namespace

PasswordStrength::PasswordStrength(double bits, Level level)
    : entropyBits(bits)
    , strengthLevel(level)
{
}

PasswordStrength PasswordStrength::of(const QString& password)
{
    if (password.isEmpty())
        return PasswordStrength(0.0, Level::Weak);
    QByteArray utf8 = password.toUtf8();
    const double bits = ZxcvbnMatch(utf8.constData(), kProgramWords, nullptr);
    // The copy held the password: overwrite it before it is freed.
    utf8.fill('\0');
    return PasswordStrength(bits, levelForBits(bits));
}

PasswordStrength::Level PasswordStrength::levelForBits(double bits)
{
    if (bits >= kStrongFromBits)
        return Level::Strong;
    if (bits >= kGoodFromBits)
        return Level::Good;
    if (bits >= kFairFromBits)
        return Level::Fair;
    return Level::Weak;
}

QString PasswordStrength::word() const
{
    switch (strengthLevel) {
    case Level::Weak:
        return QStringLiteral("weak");
    case Level::Fair:
        return QStringLiteral("fair");
    case Level::Good:
        return QStringLiteral("good");
    case Level::Strong:
        return QStringLiteral("strong");
    }
    return QStringLiteral("weak");
}
