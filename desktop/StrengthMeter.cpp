#include "desktop/StrengthMeter.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>

#include "desktop/MessageBox.h"

namespace {

constexpr int kBarSteps = 4;
constexpr int kBarHeight = 8;

QString barStyle(const QString& chunk)
{
    return QStringLiteral("QProgressBar{\nborder: 1px solid rgb(200, 200, 200);\nborder-radius: 3px;\n"
                          "background: rgba(0, 0, 0, 60);\n}\nQProgressBar::chunk{\nbackground: %1;\n}")
        .arg(chunk);
}

// Red, amber, yellow-green, green: the colours password programs use.
QString chunkColour(PasswordStrength::Level level)
{
    switch (level) {
    case PasswordStrength::Level::Weak:
        return QStringLiteral("#e0453a");
    case PasswordStrength::Level::Fair:
        return QStringLiteral("#f0a030");
    case PasswordStrength::Level::Good:
        return QStringLiteral("#a8d040");
    case PasswordStrength::Level::Strong:
        return QStringLiteral("#3cb043");
    }
    return QStringLiteral("#e0453a");
}

} // namespace

StrengthMeter::StrengthMeter(QWidget* parent)
    : QWidget(parent)
    , strengthBar(new QProgressBar(this))
    , wordLabel(new QLabel(this))
{
    setObjectName(QStringLiteral("strengthMeter"));
    setAccessibleName(QStringLiteral("Password strength"));
    strengthBar->setObjectName(QStringLiteral("strengthBar"));
    strengthBar->setRange(0, kBarSteps);
    strengthBar->setValue(0);
    strengthBar->setTextVisible(false);
    strengthBar->setAccessibleName(QStringLiteral("Password strength"));
    strengthBar->setFixedHeight(kBarHeight);
    setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);
    wordLabel->setObjectName(QStringLiteral("strengthWord"));
    wordLabel->setStyleSheet(QStringLiteral("QLabel{\nfont:9pt bold;\ncolor: rgb(255, 255, 255);\n}"));
    // Wide enough for the longest word, so the bar does not jump as one types.
    wordLabel->setMinimumWidth(wordLabel->fontMetrics().horizontalAdvance(QStringLiteral("strong")) + 4);
    auto* row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    row->setSpacing(6);
    row->addWidget(strengthBar, 1);
    row->addWidget(wordLabel);
    showStrength(QString());
}

void StrengthMeter::watch(QLineEdit* field)
{
    connect(field, &QLineEdit::textChanged, this, &StrengthMeter::showStrength);
    showStrength(field->text());
}

void StrengthMeter::showStrength(const QString& password)
{
    if (password.isEmpty()) {
        strengthBar->setStyleSheet(barStyle(QStringLiteral("transparent")));
        strengthBar->setValue(0);
        wordLabel->clear();
        setAccessibleDescription(QString());
        return;
    }
    const PasswordStrength strength = PasswordStrength::of(password);
    strengthBar->setValue(static_cast<int>(strength.level()) + 1);
    strengthBar->setStyleSheet(barStyle(chunkColour(strength.level())));
    wordLabel->setText(strength.word());
    setAccessibleDescription(strength.word());
    strengthBar->setAccessibleDescription(strength.word());
}

QString StrengthMeter::shownWord() const
{
    return wordLabel->text();
}

bool StrengthMeter::confirmUse(QWidget* parent, const QString& password)
{
    if (!PasswordStrength::of(password).isWeak())
        return true;
    return MessageBox::question(parent, QStringLiteral("Weak Password"),
                                QStringLiteral("Use this weak password anyway?"), QMessageBox::Yes | QMessageBox::No,
                                QMessageBox::No) == QMessageBox::Yes;
}
