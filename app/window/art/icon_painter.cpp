#include "app/window/art/icon_painter.h"

#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QPainterPathStroker>

namespace zl::app::window::art {

void PaintIcon(QPainter& p) {
    p.setRenderHint(QPainter::Antialiasing);
    QPainterPath shield;
    shield.moveTo(32, 3);
    shield.lineTo(58, 12);
    shield.cubicTo(58, 38, 48, 52, 32, 61);
    shield.cubicTo(16, 52, 6, 38, 6, 12);
    shield.closeSubpath();
    QLinearGradient fill(0, 0, 0, 64);
    fill.setColorAt(0.0, QColor(52, 40, 110));
    fill.setColorAt(1.0, QColor(14, 16, 40));
    // Round joins and caps: an SVG path closes without a join at its start,
    // and a round cap there looks like the round join everywhere else.
    p.setPen(QPen(QColor(236, 180, 72), 3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(fill);
    p.drawPath(shield);
    // The gold T is its strokes' outline filled with the gradient (not a pen
    // with a gradient brush), which an SVG carries as it is.
    QPainterPath strokes;
    strokes.moveTo(19, 19);
    strokes.lineTo(45, 19);
    strokes.moveTo(32, 19);
    strokes.lineTo(32, 47);
    QPainterPathStroker stroker;
    stroker.setWidth(6);
    stroker.setCapStyle(Qt::SquareCap);
    stroker.setJoinStyle(Qt::MiterJoin);
    QLinearGradient gold(0, 16, 0, 48);
    gold.setColorAt(0.0, QColor(255, 244, 200));
    gold.setColorAt(1.0, QColor(196, 128, 40));
    p.setPen(Qt::NoPen);
    p.setBrush(gold);
    p.drawPath(stroker.createStroke(strokes).simplified());
}

}  // namespace zl::app::window::art
