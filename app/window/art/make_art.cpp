// Paints the window's art at build time: the two backgrounds (details
// collapsed and expanded) and the icon, as PNG files and as a C++ source
// that embeds them. Everything is drawn from shapes and a fixed seed, so the
// build is reproducible and the repository holds no binary art.
//
//   make_art OUT_DIR OUT_CPP
#include <QColor>
#include <QFile>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QBuffer>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/window/art/icon_painter.h"
#include "app/window/window_geometry.h"

namespace {

using zl::app::window::Box;
namespace g = zl::app::window;

// A small deterministic generator: the same art on every build.
struct Random {
    uint32_t state = 0x2545F491u;
    uint32_t Next() {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        return state;
    }
    double Unit() { return double(Next() % 100000) / 100000.0; }
};

QRectF R(const Box& b) { return QRectF(b.x, b.y, b.w, b.h); }

// A ridge line of summed waves, closed down to `bottom`.
QPainterPath Ridge(double base, double amplitude, double bottom, int width, double seed) {
    QPainterPath p;
    p.moveTo(0, bottom);
    for (int x = 0; x <= width; x += 3) {
        const double t = x / double(width);
        const double y = base - amplitude * (0.55 * std::sin(t * 7.1 + seed) + 0.3 * std::sin(t * 17.3 + seed * 2.1) +
                                             0.15 * std::sin(t * 41.0 + seed * 3.7));
        p.lineTo(x, y);
    }
    p.lineTo(width, bottom);
    p.closeSubpath();
    return p;
}

void Sky(QPainter& p, Random& rnd) {
    QLinearGradient sky(0, 0, 0, g::kBanner.h);
    sky.setColorAt(0.0, QColor(8, 11, 34));
    sky.setColorAt(0.45, QColor(33, 27, 78));
    sky.setColorAt(0.78, QColor(104, 52, 92));
    sky.setColorAt(1.0, QColor(196, 106, 70));
    p.fillRect(R(g::kBanner), sky);

    for (int i = 0; i < 90; ++i) {
        const double x = rnd.Unit() * g::kWidth, y = rnd.Unit() * 95;
        const double r = 0.4 + rnd.Unit() * (i % 9 == 0 ? 1.2 : 0.6);
        const int alpha = int(90 + rnd.Unit() * 165 * (1.0 - y / 110));
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(235, 230, 255, std::clamp(alpha, 40, 255)));
        p.drawEllipse(QPointF(x, y), r, r);
    }
    // The moon and its halo.
    QRadialGradient halo(QPointF(338, 66), 46);
    halo.setColorAt(0.0, QColor(255, 236, 200, 150));
    halo.setColorAt(0.35, QColor(255, 210, 170, 60));
    halo.setColorAt(1.0, QColor(255, 200, 160, 0));
    p.setBrush(halo);
    p.drawEllipse(QPointF(338, 66), 46, 46);
    QRadialGradient moon(QPointF(334, 62), 16);
    moon.setColorAt(0.0, QColor(255, 250, 235));
    moon.setColorAt(1.0, QColor(246, 214, 170));
    p.setBrush(moon);
    p.drawEllipse(QPointF(338, 66), 14, 14);
}

void Castle(QPainter& p, const QColor& dark) {
    // Towers on the near hill at the left, with a few lit windows.
    struct Tower {
        double x, w, top;
    };
    const Tower towers[] = {{46, 12, 96}, {60, 20, 104}, {82, 10, 90}, {94, 16, 108}, {112, 9, 100}};
    p.setPen(Qt::NoPen);
    p.setBrush(dark);
    for (const Tower& t : towers) {
        p.drawRect(QRectF(t.x, t.top, t.w, 150 - t.top));
        QPainterPath roof;
        roof.moveTo(t.x - 2, t.top);
        roof.lineTo(t.x + t.w / 2, t.top - t.w * 1.1);
        roof.lineTo(t.x + t.w + 2, t.top);
        roof.closeSubpath();
        p.drawPath(roof);
    }
    p.drawRect(QRectF(40, 114, 84, 36));
    p.setBrush(QColor(255, 196, 92));
    const QPointF lit[] = {{50, 104}, {68, 112}, {86, 98}, {99, 116}, {74, 124}, {114, 108}};
    for (const QPointF& w : lit) p.drawRect(QRectF(w.x(), w.y(), 2, 3));
}

// "TALVORA" as strokes on a 4 x 6 grid per letter.
void Logo(QPainter& p) {
    using Line = std::vector<QPointF>;
    auto letter = [](char c) -> std::vector<Line> {
        switch (c) {
            case 'T': return {{{0, 0}, {4, 0}}, {{2, 0}, {2, 6}}};
            case 'A': return {{{0, 6}, {2, 0}, {4, 6}}, {{0.8, 3.8}, {3.2, 3.8}}};
            case 'L': return {{{0.3, 0}, {0.3, 6}, {3.8, 6}}};
            case 'V': return {{{0, 0}, {2, 6}, {4, 0}}};
            case 'O': return {{{1.1, 0}, {2.9, 0}, {4, 1.1}, {4, 4.9}, {2.9, 6}, {1.1, 6}, {0, 4.9}, {0, 1.1}, {1.1, 0}}};
            case 'R': return {{{0.3, 6}, {0.3, 0}, {3, 0}, {4, 1}, {4, 2}, {3, 3}, {0.3, 3}}, {{2.2, 3}, {4, 6}}};
            default: return {};
        }
    };
    const char* word = "TALVORA";
    const double unit = 4.6, advance = 6.2 * unit, top = 58;
    const double width = 7 * advance - 2.2 * unit;
    const double left = (g::kWidth - width) / 2;
    QPainterPath path;
    for (int i = 0; word[i]; ++i) {
        for (const Line& line : letter(word[i])) {
            path.moveTo(left + i * advance + line[0].x() * unit, top + line[0].y() * unit);
            for (size_t k = 1; k < line.size(); ++k)
                path.lineTo(left + i * advance + line[k].x() * unit, top + line[k].y() * unit);
        }
    }
    p.setBrush(Qt::NoBrush);
    for (int k = 5; k >= 1; --k) {  // the glow
        p.setPen(QPen(QColor(255, 190, 90, 16), 3.4 + k * 2.6, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
        p.drawPath(path);
    }
    p.setPen(QPen(QColor(28, 14, 6), 6.0, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.drawPath(path);
    QLinearGradient gold(0, top, 0, top + 6 * unit);
    gold.setColorAt(0.0, QColor(255, 244, 200));
    gold.setColorAt(0.5, QColor(236, 180, 72));
    gold.setColorAt(1.0, QColor(158, 98, 26));
    p.setPen(QPen(QBrush(gold), 3.4, Qt::SolidLine, Qt::SquareCap, Qt::MiterJoin));
    p.drawPath(path);
    // An ornament below: a line fading out to both sides around a diamond.
    const double y = top + 6 * unit + 9, cx = g::kWidth / 2.0;
    QLinearGradient rule(cx - 90, 0, cx + 90, 0);
    rule.setColorAt(0.0, QColor(236, 180, 72, 0));
    rule.setColorAt(0.5, QColor(236, 180, 72, 220));
    rule.setColorAt(1.0, QColor(236, 180, 72, 0));
    p.setPen(QPen(QBrush(rule), 1.2));
    p.drawLine(QPointF(cx - 90, y), QPointF(cx + 90, y));
    QPainterPath diamond;
    diamond.moveTo(cx, y - 4);
    diamond.lineTo(cx + 4, y);
    diamond.lineTo(cx, y + 4);
    diamond.lineTo(cx - 4, y);
    diamond.closeSubpath();
    p.setPen(QPen(QColor(28, 14, 6), 1));
    p.setBrush(QColor(255, 214, 120));
    p.drawPath(diamond);
}

void Landscape(QPainter& p) {
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(74, 52, 104));
    p.drawPath(Ridge(112, 16, 151, g::kWidth, 0.7));
    p.setBrush(QColor(42, 33, 74));
    p.drawPath(Ridge(126, 12, 151, g::kWidth, 2.3));
    // Mist between the ranges.
    QLinearGradient mist(0, 112, 0, 150);
    mist.setColorAt(0.0, QColor(200, 170, 220, 0));
    mist.setColorAt(0.6, QColor(190, 160, 210, 40));
    mist.setColorAt(1.0, QColor(190, 160, 210, 0));
    p.fillRect(QRectF(0, 112, g::kWidth, 40), mist);
    const QColor near(18, 19, 40);
    p.setBrush(near);
    p.drawPath(Ridge(140, 7, 151, g::kWidth, 4.1));
    Castle(p, near);
}

void Panel(QPainter& p, int height, bool expanded) {
    QLinearGradient body(0, g::kBanner.h, 0, height);
    body.setColorAt(0.0, QColor(20, 24, 46));
    body.setColorAt(1.0, QColor(12, 15, 30));
    p.fillRect(QRectF(0, g::kBanner.h, g::kWidth, height - g::kBanner.h), body);
    // The banner fades into the panel.
    QLinearGradient fade(0, 134, 0, 152);
    fade.setColorAt(0.0, QColor(20, 24, 46, 0));
    fade.setColorAt(1.0, QColor(20, 24, 46, 255));
    p.fillRect(QRectF(0, 134, g::kWidth, 18), fade);

    auto card = [&](const Box& b, int fill_alpha) {
        p.setPen(QPen(QColor(214, 170, 90, 70), 1));
        p.setBrush(QColor(255, 255, 255, fill_alpha));
        p.drawRoundedRect(R(b).adjusted(0.5, 0.5, -0.5, -0.5), 7, 7);
    };
    card(g::kCard, 9);
    if (expanded) card(g::kDetailsCard, 5);

    // The title strip: darker glass with a gold rule.
    QLinearGradient strip(0, 0, 0, g::kTitleStrip.h);
    strip.setColorAt(0.0, QColor(4, 6, 18, 200));
    strip.setColorAt(1.0, QColor(4, 6, 18, 110));
    p.fillRect(R(g::kTitleStrip), strip);
    QLinearGradient rule(0, 0, g::kWidth, 0);
    rule.setColorAt(0.0, QColor(214, 170, 90, 0));
    rule.setColorAt(0.5, QColor(214, 170, 90, 170));
    rule.setColorAt(1.0, QColor(214, 170, 90, 0));
    p.fillRect(QRectF(0, g::kTitleStrip.h - 1, g::kWidth, 1), rule);
}

QImage Background(bool expanded) {
    const int height = g::kHeight + (expanded ? g::kDetailsHeight : 0);
    QImage art(g::kWidth, height, QImage::Format_ARGB32);
    art.fill(QColor(12, 15, 30));
    {
        QPainter p(&art);
        p.setRenderHint(QPainter::Antialiasing);
        Random rnd;
        Sky(p, rnd);
        Logo(p);
        Landscape(p);
        Panel(p, height, expanded);
        QLinearGradient border(0, 0, 0, height);
        border.setColorAt(0.0, QColor(230, 190, 110, 200));
        border.setColorAt(0.5, QColor(120, 96, 60, 160));
        border.setColorAt(1.0, QColor(70, 60, 50, 200));
        p.setPen(QPen(QBrush(border), 1));
        p.setBrush(Qt::NoBrush);
        p.drawRoundedRect(QRectF(0.5, 0.5, g::kWidth - 1, height - 1), g::kCornerRadius, g::kCornerRadius);
    }
    // Outside the rounded outline every pixel gets the key colour exactly,
    // drawn without smoothing so that no blended pixel is left at the edge.
    QImage shape(art.size(), QImage::Format_ARGB32);
    shape.fill(Qt::transparent);
    {
        QPainter p(&shape);
        p.setPen(Qt::NoPen);
        p.setBrush(Qt::black);
        QPainterPath outline;
        outline.addRoundedRect(QRectF(0, 0, g::kWidth, height), g::kCornerRadius, g::kCornerRadius);
        p.drawPath(outline);
    }
    const QRgb key = qRgb((g::kKeyColour >> 16) & 0xFF, (g::kKeyColour >> 8) & 0xFF, g::kKeyColour & 0xFF);
    QImage out = art.convertToFormat(QImage::Format_RGB32);
    for (int y = 0; y < height; ++y)
        for (int x = 0; x < g::kWidth; ++x)
            if (qAlpha(shape.pixel(x, y)) == 0) out.setPixel(x, y, key);
    return out;
}

QImage Icon() {
    QImage icon(zl::app::window::art::kIconGrid, zl::app::window::art::kIconGrid, QImage::Format_ARGB32);
    icon.fill(Qt::transparent);
    QPainter p(&icon);
    zl::app::window::art::PaintIcon(p);
    return icon;
}

QByteArray Png(const QImage& image) {
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return bytes;
}

std::string Array(const char* name, const QByteArray& bytes) {
    std::string out = "extern const unsigned char " + std::string(name) + "[] = {";
    for (int i = 0; i < bytes.size(); ++i) {
        if (i % 20 == 0) out += "\n    ";
        out += std::to_string(uint8_t(bytes[i])) + ",";
    }
    out += "\n};\nextern const size_t " + std::string(name) + "Size = " + std::to_string(bytes.size()) + ";\n";
    return out;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: make_art OUT_DIR OUT_CPP\n");
        return 2;
    }
    const QString dir = QString::fromLocal8Bit(argv[1]);
    struct Piece {
        const char* file;
        const char* symbol;
        QImage image;
    };
    const Piece pieces[] = {{"bg.png", "kBackground", Background(false)},
                            {"bg2.png", "kBackgroundExpanded", Background(true)},
                            {"icon.png", "kIcon", Icon()}};
    std::string source =
        "// Generated by app/window/art/make_art.cpp: do not edit.\n#include \"app/window/art/art.h\"\n\n"
        "namespace zl::app::window::art {\n\n";
    for (const Piece& piece : pieces) {
        const QByteArray png = Png(piece.image);
        QFile file(dir + "/" + piece.file);
        if (!file.open(QIODevice::WriteOnly) || file.write(png) != png.size()) {
            std::fprintf(stderr, "make_art: cannot write %s\n", piece.file);
            return 1;
        }
        source += Array(piece.symbol, png) + "\n";
    }
    source += "}  // namespace zl::app::window::art\n";
    QFile cpp(QString::fromLocal8Bit(argv[2]));
    if (!cpp.open(QIODevice::WriteOnly) || cpp.write(source.data(), qint64(source.size())) != qint64(source.size())) {
        std::fprintf(stderr, "make_art: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
