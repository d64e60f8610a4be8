#include "desktop/MessageBox.h"

#include <QQueue>
#include <QTextDocument>
#include <QWidget>

namespace {

struct Hooks {
    QQueue<MessageBox::Button> nextAnswers;
    bool answerAll = false;
    QList<MessageBox::Asked> asked;
};

Hooks& hooks()
{
    static Hooks instance;
    return instance;
}

QMessageBox::Icon iconOf(MessageBox::Kind kind)
{
    switch (kind) {
    case MessageBox::Kind::Information:
        return QMessageBox::Information;
    case MessageBox::Kind::Warning:
        return QMessageBox::Warning;
    case MessageBox::Kind::Question:
        return QMessageBox::Question;
    case MessageBox::Kind::Critical:
        return QMessageBox::Critical;
    }
    return QMessageBox::NoIcon;
}

// The button a box answers with when nobody presses one.
MessageBox::Button defaultAnswer(MessageBox::Buttons buttons, MessageBox::Button defaultButton)
{
    if (defaultButton != QMessageBox::NoButton)
        return defaultButton;
    for (int bit = QMessageBox::FirstButton; bit <= QMessageBox::LastButton; bit <<= 1) {
        if (buttons.testFlag(static_cast<QMessageBox::StandardButton>(bit)))
            return static_cast<QMessageBox::StandardButton>(bit);
    }
    return QMessageBox::Ok;
}

} // namespace

MessageBox::Button MessageBox::ask(Kind kind, QWidget* parent, const QString& title, const QString& text,
                                   Buttons buttons, Button defaultButton)
{
    Hooks& state = hooks();
    Asked record{kind, title, text, buttons, parent ? parent->objectName() : QString(), QMessageBox::NoButton};
    if (!state.nextAnswers.isEmpty()) {
        record.answer = state.nextAnswers.dequeue();
    } else if (state.answerAll) {
        record.answer = defaultAnswer(buttons, defaultButton);
    } else {
        const QString shown = boundedText(text);
        QMessageBox box(iconOf(kind), title, shown, buttons, parent);
        if (shown != text)
            box.setDetailedText(text);
        if (defaultButton != QMessageBox::NoButton)
            box.setDefaultButton(defaultButton);
        record.answer = static_cast<Button>(box.exec());
    }
    state.asked.append(record);
    return record.answer;
}

QString MessageBox::boundedText(const QString& text)
{
    constexpr qsizetype mostRun = 60;
    constexpr qsizetype kept = 28;
    if (Qt::mightBeRichText(text))
        return text;
    QString bounded;
    qsizetype runStart = 0;
    const auto flush = [&](qsizetype end) {
        const QString run = text.mid(runStart, end - runStart);
        bounded += run.size() > mostRun ? run.left(kept) + QChar(0x2026) + run.right(kept) : run;
    };
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (text.at(i).isSpace()) {
            flush(i);
            bounded += text.at(i);
            runStart = i + 1;
        }
    }
    flush(text.size());
    return bounded;
}

MessageBox::Button MessageBox::information(QWidget* parent, const QString& title, const QString& text,
                                           Buttons buttons, Button defaultButton)
{
    return ask(Kind::Information, parent, title, text, buttons, defaultButton);
}

MessageBox::Button MessageBox::warning(QWidget* parent, const QString& title, const QString& text, Buttons buttons,
                                       Button defaultButton)
{
    return ask(Kind::Warning, parent, title, text, buttons, defaultButton);
}

MessageBox::Button MessageBox::question(QWidget* parent, const QString& title, const QString& text,
                                        Buttons buttons, Button defaultButton)
{
    return ask(Kind::Question, parent, title, text, buttons, defaultButton);
}

MessageBox::Button MessageBox::critical(QWidget* parent, const QString& title, const QString& text,
                                        Buttons buttons, Button defaultButton)
{
    return ask(Kind::Critical, parent, title, text, buttons, defaultButton);
}

void MessageBox::setNextAnswer(Button answer)
{
    hooks().nextAnswers.enqueue(answer);
}

void MessageBox::answerAllWithoutShowing(bool on)
{
    hooks().answerAll = on;
}

const QList<MessageBox::Asked>& MessageBox::asked()
{
    return hooks().asked;
}

void MessageBox::clearAsked()
{
    hooks().asked.clear();
    hooks().nextAnswers.clear();
}

MessageBox::Asked MessageBox::lastAsked()
{
    if (hooks().asked.isEmpty())
        return Asked{Kind::Information, {}, {}, {}, {}, QMessageBox::NoButton};
    return hooks().asked.last();
}
