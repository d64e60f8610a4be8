#pragma once

#include <QWidget>

#include "desktop/PasswordStrength.h"

class QLabel;
class QLineEdit;
class QProgressBar;

// A bar and a word (weak, fair, good, strong) under a field where a new
// password is typed; it follows the field as the user types. A screen
// reader hears "Password strength" and the word, never the password.
class StrengthMeter : public QWidget {
    Q_OBJECT

public:
    explicit StrengthMeter(QWidget* parent = nullptr);

    // Follows field from now on (one field per meter).
    void watch(QLineEdit* field);
    // Shows the strength of password (empty: an empty bar and no word).
    void showStrength(const QString& password);

    [[nodiscard]] QString shownWord() const;
    [[nodiscard]] QProgressBar* bar() const { return strengthBar; }

    // A weak password is taken only when the user says so: asks "Use this
    // weak password anyway?" and returns the answer. Any other password is
    // taken without asking.
    [[nodiscard]] static bool confirmUse(QWidget* parent, const QString& password);

private:
    QProgressBar* strengthBar;
    QLabel* wordLabel;
};
