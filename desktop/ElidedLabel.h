#pragma once

#include <QFont>
#include <QLabel>

// A one-line label that keeps its whole text (text() returns it all). A text
// a little too wide for the line is drawn slightly narrower; one still too
// wide is elided in the middle, so both ends of a long path stay visible.
// The status line of the window.
class ElidedLabel : public QLabel {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    // What the label shows for its current text and width.
    [[nodiscard]] QString shownText() const;
    // The font it shows it in.
    [[nodiscard]] QFont shownFont() const;

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Fit {
        QFont font;
        QString text;
    };
    [[nodiscard]] Fit fit() const;
};
