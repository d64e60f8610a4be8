#pragma once

#include <QLabel>

// A one-line label that keeps its whole text (text() returns it all) and,
// when the text is too long for the line, paints it elided in the middle, so
// both ends of a long path stay visible. The status line of the window.
class ElidedLabel : public QLabel {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget* parent = nullptr);

    // What the label shows for its current text and width.
    [[nodiscard]] QString shownText() const;

protected:
    void paintEvent(QPaintEvent* event) override;
};
