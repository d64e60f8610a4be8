#include "Artwork.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cmath>

namespace artwork {
namespace {

const QColor kWhite(255, 255, 255);
const QColor kShadow(0, 0, 0, 110);

// A glyph drawn twice: a soft dark copy one unit lower, then the white one,
// so white symbols stay legible on light and dark backgrounds alike.
void withShadow(QPainter& p, const std::function<void(QPainter&, const QColor&)>& glyph)
{
    p.save();
    p.translate(0, 1);
    glyph(p, kShadow);
    p.restore();
    glyph(p, kWhite);
}

QPen roundPen(const QColor& color, qreal width)
{
    return QPen(color, width, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
}

// A dark brushed background with a soft light from the top left.
void darkBackground(QPainter& p, QSize size, const QColor& top, const QColor& bottom)
{
    QLinearGradient base(0, 0, 0, size.height());
    base.setColorAt(0, top);
    base.setColorAt(1, bottom);
    p.fillRect(QRect(QPoint(0, 0), size), base);
    // Fine horizontal lines give the surface a brushed-metal grain.
    p.setPen(QPen(QColor(255, 255, 255, 9), 1));
    for (int y = 0; y < size.height(); y += 3)
        p.drawLine(0, y, size.width(), y);
    QRadialGradient glow(size.width() * 0.25, size.height() * 0.1, size.width() * 0.9);
    glow.setColorAt(0, QColor(255, 255, 255, 38));
    glow.setColorAt(1, QColor(255, 255, 255, 0));
    p.fillRect(QRect(QPoint(0, 0), size), glow);
    QRadialGradient vignette(size.width() / 2.0, size.height() / 2.0, size.width() * 0.75);
    vignette.setColorAt(0.6, QColor(0, 0, 0, 0));
    vignette.setColorAt(1, QColor(0, 0, 0, 90));
    p.fillRect(QRect(QPoint(0, 0), size), vignette);
}

// A raised, glossy face with rounded corners, for buttons and bars.
void glossyFace(QPainter& p, QRectF rect, qreal radius, const QColor& light, const QColor& dark, const QColor& rim)
{
    QLinearGradient face(rect.topLeft(), rect.bottomLeft());
    face.setColorAt(0, light);
    face.setColorAt(0.48, light.darker(118));
    face.setColorAt(0.52, dark.lighter(112));
    face.setColorAt(1, dark);
    p.setPen(QPen(rim, 1));
    p.setBrush(face);
    p.drawRoundedRect(rect.adjusted(0.5, 0.5, -0.5, -0.5), radius, radius);
    // The gloss on the upper half.
    QRectF gloss = rect.adjusted(2, 1.5, -2, -rect.height() * 0.52);
    QLinearGradient shine(gloss.topLeft(), gloss.bottomLeft());
    shine.setColorAt(0, QColor(255, 255, 255, 80));
    shine.setColorAt(1, QColor(255, 255, 255, 10));
    p.setPen(Qt::NoPen);
    p.setBrush(shine);
    p.drawRoundedRect(gloss, radius * 0.8, radius * 0.8);
}

void drawBackgroundDark(QPainter& p, QSize size)
{
    darkBackground(p, size, QColor(58, 62, 72), QColor(14, 16, 22));
}

void drawPinkBackground(QPainter& p)
{
    const QSize size(420, 350);
    QLinearGradient base(0, 0, size.width(), size.height());
    base.setColorAt(0, QColor(236, 120, 170));
    base.setColorAt(0.55, QColor(196, 62, 128));
    base.setColorAt(1, QColor(118, 24, 78));
    p.fillRect(QRect(QPoint(0, 0), size), base);
    // Soft circles of light, like petals out of focus.
    const struct {
        qreal x, y, r;
        int alpha;
    } spots[] = {{70, 60, 90, 40}, {350, 90, 70, 28}, {300, 300, 120, 30}, {120, 280, 60, 24}, {220, 170, 50, 18}};
    for (const auto& spot : spots) {
        QRadialGradient light(spot.x, spot.y, spot.r);
        light.setColorAt(0, QColor(255, 255, 255, spot.alpha));
        light.setColorAt(1, QColor(255, 255, 255, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(light);
        p.drawEllipse(QPointF(spot.x, spot.y), spot.r, spot.r);
    }
    QRadialGradient vignette(size.width() / 2.0, size.height() / 2.0, size.width() * 0.75);
    vignette.setColorAt(0.6, QColor(0, 0, 0, 0));
    vignette.setColorAt(1, QColor(60, 0, 30, 80));
    p.fillRect(QRect(QPoint(0, 0), size), vignette);
}

void drawTitleBar(QPainter& p)
{
    const QRectF bar(0, 0, 420, 45);
    QLinearGradient face(bar.topLeft(), bar.bottomLeft());
    face.setColorAt(0, QColor(86, 92, 106));
    face.setColorAt(0.45, QColor(44, 48, 58));
    face.setColorAt(0.55, QColor(28, 31, 38));
    face.setColorAt(1, QColor(18, 20, 26));
    p.fillRect(bar, face);
    p.setPen(QPen(QColor(255, 255, 255, 50), 1));
    p.drawLine(QPointF(0, 8.5), QPointF(420, 8.5)); // the label starts 8 pixels above the window
    p.setPen(QPen(QColor(120, 150, 200, 160), 1));
    p.drawLine(QPointF(0, 44.5), QPointF(420, 44.5));
}

void drawPinkSquareButton(QPainter& p)
{
    glossyFace(p, QRectF(0, 0, 64, 64), 4, QColor(246, 150, 196), QColor(190, 48, 118), QColor(120, 20, 70));
}

void drawButton1(QPainter& p)
{
    glossyFace(p, QRectF(0, 0, 60, 60), 6, QColor(96, 104, 122), QColor(30, 34, 44), QColor(10, 12, 16));
}

void drawButton2(QPainter& p)
{
    glossyFace(p, QRectF(0, 0, 77, 28), 5, QColor(134, 144, 166), QColor(58, 66, 86), QColor(20, 24, 32));
}

// The list pane behind the vault's entries: a light sheet, so black names read well.
void drawMeter(QPainter& p)
{
    const QRectF pane(0, 0, 250, 220);
    QLinearGradient face(pane.topLeft(), pane.bottomLeft());
    face.setColorAt(0, QColor(246, 247, 250));
    face.setColorAt(1, QColor(214, 218, 228));
    p.setPen(QPen(QColor(90, 98, 118), 1));
    p.setBrush(face);
    p.drawRoundedRect(pane.adjusted(0.5, 0.5, -0.5, -0.5), 5, 5);
    // Faint ruling every row, as on a ledger.
    p.setPen(QPen(QColor(150, 160, 185, 45), 1));
    for (qreal y = 24.5; y < pane.height() - 4; y += 22)
        p.drawLine(QPointF(6, y), QPointF(pane.width() - 6, y));
    // A padlock watermark in the lower right corner.
    p.setPen(roundPen(QColor(120, 130, 155, 40), 5));
    p.setBrush(Qt::NoBrush);
    p.drawArc(QRectF(183, 140, 34, 38), 0, 180 * 16);
    p.drawLine(QPointF(183, 159), QPointF(183, 166));
    p.drawLine(QPointF(217, 159), QPointF(217, 166));
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(120, 130, 155, 40));
    p.drawRoundedRect(QRectF(174, 164, 52, 40), 6, 6);
}

void drawClose(QPainter& p)
{
    withShadow(p, [](QPainter& g, const QColor& c) {
        g.setPen(roundPen(c, 2.6));
        g.drawLine(QPointF(9, 9), QPointF(19, 19));
        g.drawLine(QPointF(19, 9), QPointF(9, 19));
    });
}

void drawMinimize(QPainter& p)
{
    withShadow(p, [](QPainter& g, const QColor& c) {
        g.setPen(roundPen(c, 2.6));
        g.drawLine(QPointF(8.5, 18), QPointF(19.5, 18));
    });
}

void drawSettings(QPainter& p)
{
    withShadow(p, [](QPainter& g, const QColor& c) {
        const QPointF centre(15, 15);
        QPainterPath gear;
        const int teeth = 8;
        for (int i = 0; i < teeth * 2; ++i) {
            const double angle = (i * M_PI) / teeth - M_PI / (teeth * 2);
            const double next = ((i + 1) * M_PI) / teeth - M_PI / (teeth * 2);
            const double radius = (i % 2 == 0) ? 10.0 : 7.6;
            const QPointF a = centre + QPointF(std::cos(angle) * radius, std::sin(angle) * radius);
            const QPointF b = centre + QPointF(std::cos(next) * radius, std::sin(next) * radius);
            if (i == 0)
                gear.moveTo(a);
            else
                gear.lineTo(a);
            gear.lineTo(b);
        }
        gear.closeSubpath();
        QPainterPath hole;
        hole.addEllipse(centre, 3.4, 3.4);
        g.setPen(Qt::NoPen);
        g.setBrush(c);
        g.drawPath(gear.subtracted(hole));
    });
}

void drawArrow(QPainter& p, bool down)
{
    withShadow(p, [down](QPainter& g, const QColor& c) {
        g.setPen(roundPen(c, 2.6));
        g.setBrush(Qt::NoBrush);
        const qreal tip = down ? 17.5 : 10.5;
        const qreal wing = down ? 11 : 17;
        QPolygonF chevron{QPointF(8.5, wing), QPointF(14, tip), QPointF(19.5, wing)};
        g.drawPolyline(chevron);
    });
}

void drawUndo(QPainter& p)
{
    withShadow(p, [](QPainter& g, const QColor& c) {
        g.setPen(roundPen(c, 2.2));
        g.setBrush(Qt::NoBrush);
        QPainterPath curve;
        curve.moveTo(5, 8);
        curve.lineTo(12, 8);
        curve.cubicTo(19, 8, 19, 17, 12, 17);
        curve.lineTo(8, 17);
        g.drawPath(curve);
        g.setPen(Qt::NoPen);
        g.setBrush(c);
        g.drawPolygon(QPolygonF{QPointF(2, 8), QPointF(7.5, 3.5), QPointF(7.5, 12.5)});
    });
}

void drawFolderOpen(QPainter& p)
{
    // Back of the folder with its tab.
    QPainterPath back;
    back.moveTo(3, 9);
    back.lineTo(13, 9);
    back.lineTo(16, 12);
    back.lineTo(31, 12);
    back.lineTo(31, 29);
    back.lineTo(3, 29);
    back.closeSubpath();
    QLinearGradient backFill(0, 9, 0, 29);
    backFill.setColorAt(0, QColor(86, 150, 226));
    backFill.setColorAt(1, QColor(36, 88, 170));
    p.setPen(QPen(QColor(18, 52, 110), 1));
    p.setBrush(backFill);
    p.drawPath(back);
    // A sheet of paper sticking out.
    p.setPen(QPen(QColor(150, 150, 150), 0.8));
    p.setBrush(QColor(250, 250, 250));
    p.drawRect(QRectF(8, 10.5, 19, 14));
    // The open front, tilted towards the viewer.
    QPainterPath front;
    front.moveTo(6, 16);
    front.lineTo(33, 16);
    front.lineTo(29, 30);
    front.lineTo(2, 30);
    front.closeSubpath();
    QLinearGradient frontFill(0, 16, 0, 30);
    frontFill.setColorAt(0, QColor(140, 196, 250));
    frontFill.setColorAt(1, QColor(52, 118, 204));
    p.setPen(QPen(QColor(18, 52, 110), 1));
    p.setBrush(frontFill);
    p.drawPath(front);
}

void drawComputer(QPainter& p)
{
    // Screen.
    QLinearGradient bezel(0, 4, 0, 25);
    bezel.setColorAt(0, QColor(210, 214, 222));
    bezel.setColorAt(1, QColor(150, 156, 170));
    p.setPen(QPen(QColor(50, 54, 64), 1));
    p.setBrush(bezel);
    p.drawRoundedRect(QRectF(3.5, 4.5, 28, 20), 2, 2);
    QLinearGradient glass(0, 7, 0, 22);
    glass.setColorAt(0, QColor(96, 170, 240));
    glass.setColorAt(1, QColor(24, 70, 150));
    p.setPen(Qt::NoPen);
    p.setBrush(glass);
    p.drawRect(QRectF(6, 7, 23, 15));
    p.setBrush(QColor(255, 255, 255, 60));
    p.drawPolygon(QPolygonF{QPointF(6, 7), QPointF(20, 7), QPointF(6, 16)});
    // Stand.
    p.setPen(QPen(QColor(50, 54, 64), 1));
    p.setBrush(QColor(170, 176, 188));
    p.drawRect(QRectF(15, 24.5, 5, 4));
    p.drawRoundedRect(QRectF(9.5, 28.5, 16, 3), 1.5, 1.5);
}

// A cloud with an arrow going up into it: sending to the cloud folder.
void drawCloud(QPainter& p)
{
    QPainterPath cloud;
    cloud.addEllipse(QRectF(4, 13, 13, 13));
    cloud.addEllipse(QRectF(10, 6, 16, 16));
    cloud.addEllipse(QRectF(19, 11, 13, 13));
    cloud.addRoundedRect(QRectF(9, 17, 17, 9), 3, 3);
    // The circles overlap: joined as one outline, not cut into rings.
    cloud.setFillRule(Qt::WindingFill);
    cloud = cloud.simplified();
    QLinearGradient fill(0, 6, 0, 26);
    fill.setColorAt(0, QColor(120, 190, 255));
    fill.setColorAt(1, QColor(30, 110, 220));
    p.setPen(QPen(QColor(14, 60, 140), 1));
    p.setBrush(fill);
    p.drawPath(cloud);
    p.setPen(roundPen(kWhite, 2.4));
    p.drawLine(QPointF(17.5, 30), QPointF(17.5, 15));
    p.setPen(Qt::NoPen);
    p.setBrush(kWhite);
    p.drawPolygon(QPolygonF{QPointF(12.5, 17), QPointF(17.5, 11), QPointF(22.5, 17)});
}

void drawEnvelope(QPainter& p)
{
    const QRectF body(3.5, 8.5, 28, 19);
    QLinearGradient fill(body.topLeft(), body.bottomLeft());
    fill.setColorAt(0, QColor(255, 250, 236));
    fill.setColorAt(1, QColor(226, 214, 186));
    p.setPen(QPen(QColor(110, 90, 50), 1));
    p.setBrush(fill);
    p.drawRoundedRect(body, 1.5, 1.5);
    p.setPen(QPen(QColor(140, 116, 70), 1.1));
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF{body.topLeft() + QPointF(0.5, 0.5), QPointF(17.5, 19), body.topRight() + QPointF(-0.5, 0.5)});
    p.drawLine(body.bottomLeft() + QPointF(0.5, -0.5), QPointF(14, 17.5));
    p.drawLine(body.bottomRight() + QPointF(-0.5, -0.5), QPointF(21, 17.5));
    // A red seal so the envelope reads as "sealed".
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(200, 40, 40));
    p.drawEllipse(QPointF(17.5, 19), 2.6, 2.6);
}

void drawLogoIcon32(QPainter& p)
{
    p.scale(0.32, 0.32);
    drawLogo(p);
}

} // namespace

void drawLogo(QPainter& p)
{
    // A shield with a keyhole: the vault.
    QPainterPath shield;
    shield.moveTo(50, 4);
    shield.cubicTo(64, 12, 78, 14, 90, 14);
    shield.cubicTo(90, 56, 78, 80, 50, 96);
    shield.cubicTo(22, 80, 10, 56, 10, 14);
    shield.cubicTo(22, 14, 36, 12, 50, 4);
    shield.closeSubpath();
    QLinearGradient rim(0, 4, 0, 96);
    rim.setColorAt(0, QColor(250, 226, 150));
    rim.setColorAt(1, QColor(176, 128, 40));
    p.setPen(QPen(QColor(70, 50, 10), 2));
    p.setBrush(rim);
    p.drawPath(shield);
    QTransform inset;
    inset.translate(50, 50);
    inset.scale(0.82, 0.82);
    inset.translate(-50, -48);
    const QPainterPath inner = inset.map(shield);
    QLinearGradient face(0, 10, 0, 90);
    face.setColorAt(0, QColor(64, 110, 190));
    face.setColorAt(1, QColor(16, 34, 86));
    p.setPen(Qt::NoPen);
    p.setBrush(face);
    p.drawPath(inner);
    // Gloss on the upper left.
    QPainterPath gloss;
    gloss.moveTo(50, 12);
    gloss.cubicTo(38, 18, 28, 20, 18, 20);
    gloss.cubicTo(18, 34, 20, 42, 24, 50);
    gloss.cubicTo(34, 40, 44, 34, 50, 32);
    gloss.closeSubpath();
    p.setBrush(QColor(255, 255, 255, 45));
    p.drawPath(gloss);
    // Keyhole.
    QPainterPath keyhole;
    keyhole.addEllipse(QPointF(50, 42), 10, 10);
    QPainterPath slot;
    slot.moveTo(45, 46);
    slot.lineTo(55, 46);
    slot.lineTo(58, 72);
    slot.lineTo(42, 72);
    slot.closeSubpath();
    keyhole = keyhole.united(slot);
    p.setBrush(QColor(252, 244, 220));
    p.drawPath(keyhole);
}

QString logoSvg()
{
    // Mirrors drawLogo: the shield, its face scaled about (50, 48) by 0.82,
    // the gloss and the keyhole.
    const QString shield = QStringLiteral("M50,4 C64,12 78,14 90,14 C90,56 78,80 50,96 C22,80 10,56 10,14 "
                                          "C22,14 36,12 50,4 Z");
    return QStringLiteral(
               "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"100\" height=\"100\" viewBox=\"0 0 100 100\">\n"
               "  <defs>\n"
               "    <linearGradient id=\"rim\" x1=\"0\" y1=\"4\" x2=\"0\" y2=\"96\" gradientUnits=\"userSpaceOnUse\">\n"
               "      <stop offset=\"0\" stop-color=\"#fae296\"/><stop offset=\"1\" stop-color=\"#b08028\"/>\n"
               "    </linearGradient>\n"
               "    <linearGradient id=\"face\" x1=\"0\" y1=\"10\" x2=\"0\" y2=\"90\" gradientUnits=\"userSpaceOnUse\">\n"
               "      <stop offset=\"0\" stop-color=\"#406ebe\"/><stop offset=\"1\" stop-color=\"#102256\"/>\n"
               "    </linearGradient>\n"
               "  </defs>\n"
               "  <path d=\"%1\" fill=\"url(#rim)\" stroke=\"#46320a\" stroke-width=\"2\"/>\n"
               "  <path d=\"%1\" fill=\"url(#face)\" transform=\"translate(50 50) scale(0.82) translate(-50 -48)\"/>\n"
               "  <path d=\"M50,12 C38,18 28,20 18,20 C18,34 20,42 24,50 C34,40 44,34 50,32 Z\" fill=\"#ffffff\" "
               "fill-opacity=\"0.18\"/>\n"
               "  <circle cx=\"50\" cy=\"42\" r=\"10\" fill=\"#fcf4dc\"/>\n"
               "  <path d=\"M45,46 L55,46 L58,72 L42,72 Z\" fill=\"#fcf4dc\"/>\n"
               "</svg>\n")
        .arg(shield);
}

const QList<Picture>& pictures()
{
    static const QList<Picture> all{
        {"backgroundRe2.png", {420, 350}, [](QPainter& p) { drawBackgroundDark(p, {420, 350}); }},
        {"backgroundRe.png", {432, 280}, [](QPainter& p) { drawBackgroundDark(p, {432, 280}); }},
        {"pink_background1.png", {420, 350}, drawPinkBackground},
        {"titlebar.png", {420, 45}, drawTitleBar},
        {"PinkSquareButton.png", {64, 64}, drawPinkSquareButton},
        {"button1.png", {60, 60}, drawButton1},
        {"button2.png", {77, 28}, drawButton2},
        {"meterBG.png", {250, 220}, drawMeter},
        {"close-32x32.png", {28, 28}, drawClose},
        {"minimizewhite.png", {28, 28}, drawMinimize},
        {"whitesettings.png", {30, 30}, drawSettings},
        {"arrow-down.png", {28, 28}, [](QPainter& p) { drawArrow(p, true); }},
        {"arrow-up.png", {28, 28}, [](QPainter& p) { drawArrow(p, false); }},
        {"undo-icon.png", {20, 20}, drawUndo},
        {"folder-blue-open-icon.png", {35, 35}, drawFolderOpen},
        {"myComputer2.png", {35, 35}, drawComputer},
        {"Dropbox2.png", {35, 35}, drawCloud},
        {"email.png", {35, 35}, drawEnvelope},
        {"32x32.png", {32, 32}, drawLogoIcon32},
    };
    return all;
}

} // namespace artwork
