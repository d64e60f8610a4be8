#pragma once

#include <QString>

// How hard a password is to guess, as the zxcvbn estimator judges it: the
// estimated entropy in bits and the word a user reads (weak, fair, good,
// strong). Pure: tests call it on tables.
//
// The vault derives its keys with a single SHA-1, so a copy of the vault
// folder can be tried at some ten billion guesses a second on one graphics
// card: under 40 bits falls within minutes, 40 to 60 bits within days to
// years on a few cards, 60 to 80 bits holds for centuries, 80 and more for
// as long as anyone can foresee.
class PasswordStrength {
public:
    enum class Level { Weak, Fair, Good, Strong };

    static constexpr double kFairFromBits = 40.0;
    static constexpr double kGoodFromBits = 60.0;
    static constexpr double kStrongFromBits = 80.0;

    // The estimate for password; the empty text is weak with 0 bits.
    [[nodiscard]] static PasswordStrength of(const QString& password);

    [[nodiscard]] double bits() const { return entropyBits; }
    [[nodiscard]] Level level() const { return strengthLevel; }
    [[nodiscard]] bool isWeak() const { return strengthLevel == Level::Weak; }
    // "weak", "fair", "good" or "strong".
    [[nodiscard]] QString word() const;

    [[nodiscard]] static Level levelForBits(double bits);

private:
    PasswordStrength(double bits, Level level);

    double entropyBits;
    Level strengthLevel;
};
