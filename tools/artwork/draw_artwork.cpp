// Writes the desktop program's pictures into RESOURCES/images (each at scale 1
// and as "@2x"), its icon as logo.ico, and the freedesktop icon sizes into
// RESOURCES/icons/hicolor (PNG sizes and a scalable SVG). Usage: draw_artwork RESOURCES
#include <QDir>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QImageWriter>
#include <QPainter>

#include <cstdio>

#include "Artwork.h"

namespace {

const char* const kAppId = "com.brannoway.KorvelinSafehold";

QImage render(QSize size, qreal scale, const std::function<void(QPainter&)>& draw)
{
    QImage image((QSizeF(size) * scale).toSize(), QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setRenderHint(QPainter::SmoothPixmapTransform);
    painter.scale(scale, scale);
    draw(painter);
    painter.end();
    return image;
}

bool save(const QImage& image, const QString& path, const char* format = "png")
{
    QImageWriter writer(path, format);
    if (!writer.write(image)) {
        std::fprintf(stderr, "draw_artwork: cannot write %s: %s\n", qPrintable(path), qPrintable(writer.errorString()));
        return false;
    }
    return true;
}

QImage logoAt(int side)
{
    return render(QSize(side, side), 1.0, [side](QPainter& p) {
        p.scale(side / 100.0, side / 100.0);
        artwork::drawLogo(p);
    });
}

} // namespace

int main(int argc, char** argv)
{
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication app(argc, argv);
    if (argc != 2) {
        std::fprintf(stderr, "usage: draw_artwork RESOURCES-FOLDER\n");
        return 2;
    }
    const QDir resources(QString::fromLocal8Bit(argv[1]));
    bool ok = resources.mkpath("images");
    for (const artwork::Picture& picture : artwork::pictures()) {
        const QString base = resources.filePath("images/" + picture.name);
        ok &= save(render(picture.size, 1.0, picture.draw), base);
        QString doubled = base;
        doubled.insert(doubled.lastIndexOf('.'), "@2x");
        ok &= save(render(picture.size, 2.0, picture.draw), doubled);
    }
    // The window icon: the ico writer stores one image, so the largest size
    // a title bar or task switcher asks for.
    ok &= save(logoAt(64), resources.filePath("images/logo.ico"), "ico");
    for (int side : {16, 24, 32, 48, 64, 128, 256}) {
        const QString folder = QString("icons/hicolor/%1x%1/apps").arg(side);
        ok &= resources.mkpath(folder);
        ok &= save(logoAt(side), resources.filePath(folder + "/" + kAppId + ".png"));
    }
    ok &= resources.mkpath("icons/hicolor/scalable/apps");
    QFile svg(resources.filePath(QString("icons/hicolor/scalable/apps/") + kAppId + ".svg"));
    ok &= svg.open(QIODevice::WriteOnly) && svg.write(artwork::logoSvg().toUtf8()) > 0;
    return ok ? 0 : 1;
}
