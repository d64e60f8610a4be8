#pragma once

#include <QList>
#include <QMessageBox>
#include <QString>

class QWidget;

// Every message box of the program goes through here. Tests set the next
// answer (or answer all boxes without showing them) and read what was asked,
// so every flow runs without a person and without timers that poke at
// modal windows.
class MessageBox {
public:
    using Button = QMessageBox::StandardButton;
    using Buttons = QMessageBox::StandardButtons;

    enum class Kind { Information, Warning, Question, Critical };

    // One box as it was asked for.
    struct Asked {
        Kind kind;
        QString title;
        QString text;
        Buttons buttons;
        QString parentName; // object name of the parent widget, empty without one
        Button answer;
    };

    static Button information(QWidget* parent, const QString& title, const QString& text,
                              Buttons buttons = QMessageBox::Ok, Button defaultButton = QMessageBox::NoButton);
    static Button warning(QWidget* parent, const QString& title, const QString& text,
                          Buttons buttons = QMessageBox::Ok, Button defaultButton = QMessageBox::NoButton);
    static Button question(QWidget* parent, const QString& title, const QString& text,
                           Buttons buttons = QMessageBox::Yes | QMessageBox::No,
                           Button defaultButton = QMessageBox::NoButton);
    static Button critical(QWidget* parent, const QString& title, const QString& text,
                           Buttons buttons = QMessageBox::Ok, Button defaultButton = QMessageBox::NoButton);

    // What a box shows of text: a run without blanks longer than a box is
    // wide (a long path or name) is elided in its middle; rich text stays.
    // The box offers the whole text under "Show Details..." when they differ.
    static QString boundedText(const QString& text);

    // Test hooks. A queued answer is given to the next box, which is then
    // not shown. With answerAllWithoutShowing, a box without a queued answer
    // is not shown either and gets its default button (or its first one).
    static void setNextAnswer(Button answer);
    static void answerAllWithoutShowing(bool on);
    // The boxes asked for since the last clearAsked(), oldest first.
    static const QList<Asked>& asked();
    static void clearAsked();
    // The last box asked for; a box of Kind::Information with empty texts when none was.
    static Asked lastAsked();

private:
    static Button ask(Kind kind, QWidget* parent, const QString& title, const QString& text, Buttons buttons,
                      Button defaultButton);
};
