// Paints the desktop's icons of the program at build time, from the same
// shapes as the window's own icon: hicolor PNGs at the sizes asked for and a
// scalable SVG.
//
//   make_icons OUT_DIR SIZE...    writes OUT_DIR/<SIZE>.png and OUT_DIR/scalable.svg
#include <QByteArray>
#include <QBuffer>
#include <QFile>
#include <QImage>
#include <QPainter>
#include <QSvgGenerator>
#include <cstdio>
#include <cstdlib>

#include "app/window/art/icon_painter.h"

namespace {

using zl::app::window::art::kIconGrid;
using zl::app::window::art::PaintIcon;

bool WritePng(const QString& path, int size) {
    QImage image(size, size, QImage::Format_ARGB32);
    image.fill(Qt::transparent);
    QPainter p(&image);
    p.scale(double(size) / kIconGrid, double(size) / kIconGrid);
    PaintIcon(p);
    p.end();
    return image.save(path, "PNG");
}

bool WriteSvg(const QString& path) {
    // Written to memory first: QSvgGenerator reports no write error of its own.
    QByteArray bytes;
    QBuffer buffer(&bytes);
    QSvgGenerator svg;
    svg.setOutputDevice(&buffer);
    svg.setSize(QSize(kIconGrid, kIconGrid));
    svg.setViewBox(QRect(0, 0, kIconGrid, kIconGrid));
    svg.setTitle("Zephyrloader");
    QPainter p(&svg);
    PaintIcon(p);
    p.end();
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: make_icons OUT_DIR SIZE...\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    for (int i = 2; i < argc; ++i) {
        const int size = std::atoi(argv[i]);
        if (size < 16 || size > 1024 || !WritePng(dir + "/" + argv[i] + ".png", size)) {
            std::fprintf(stderr, "make_icons: cannot write the %s-pixel icon\n", argv[i]);
            return 1;
        }
    }
    if (!WriteSvg(dir + "/scalable.svg")) {
        std::fprintf(stderr, "make_icons: cannot write the scalable icon\n");
        return 1;
    }
    return 0;
}
