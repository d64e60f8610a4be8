#pragma once

#include <QList>
#include <QSize>
#include <QString>

#include <functional>

class QPainter;

// The program's pictures, drawn in code so they can be regenerated or
// restyled: each is painted in its own coordinates (its size at scale 1)
// and written at scale 1 and 2 (the "@2x" file Qt picks on dense screens).
namespace artwork {

struct Picture {
    QString name; // the resource name under :/images/
    QSize size;   // size at scale 1
    std::function<void(QPainter&)> draw;
};

const QList<Picture>& pictures();

// The program's icon in a square of side 100.
void drawLogo(QPainter& painter);
// The same icon as an SVG document (the same shapes, for scalable icons).
QString logoSvg();

} // namespace artwork
