#include "desktop/ElidedLabel.h"

#include <QPainter>
#include <QStyle>

namespace {

// How far a text may be narrowed before it is elided instead: a few per cent
// reads as the same font; more would look squeezed.
constexpr int kStretches[] = {100, 96, 92};

} // namespace

ElidedLabel::ElidedLabel(QWidget* parent)
    : QLabel(parent)
{
}

ElidedLabel::Fit ElidedLabel::fit() const
{
    const int room = contentsRect().width();
    QFont narrowed = font();
    for (int stretch : kStretches) {
        narrowed.setStretch(stretch);
        if (QFontMetrics(narrowed).horizontalAdvance(text()) <= room)
            return {narrowed, text()};
    }
    return {narrowed, QFontMetrics(narrowed).elidedText(text(), Qt::ElideMiddle, room)};
}

QString ElidedLabel::shownText() const
{
    return fit().text;
}

QFont ElidedLabel::shownFont() const
{
    return fit().font;
}

void ElidedLabel::paintEvent(QPaintEvent* event)
{
    const Fit shown = fit();
    if (textFormat() == Qt::RichText || (shown.text == text() && shown.font.stretch() == kStretches[0])) {
        QLabel::paintEvent(event);
        return;
    }
    QPainter painter(this);
    drawFrame(&painter);
    painter.setFont(shown.font);
    style()->drawItemText(&painter, contentsRect(), QStyle::visualAlignment(layoutDirection(), alignment()),
                          palette(), isEnabled(), shown.text, foregroundRole());
}
