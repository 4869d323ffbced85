#include "app/window/skin.h"

#include <QFontDatabase>
#include <QFontMetrics>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <cmath>

#include "app/controller.h"

namespace zl::app::window {

QString ChineseFontFamily() {
    static const QString chosen = [] {
        const QStringList families = QFontDatabase::families(QFontDatabase::SimplifiedChinese);
        // Microsoft YaHei where it exists, else the common free ones.
        for (const char* wanted : {"Microsoft YaHei", "WenQuanYi Micro Hei", "Noto Sans CJK SC", "Noto Sans SC",
                                   "Source Han Sans SC", "Droid Sans Fallback", "WenQuanYi Zen Hei"})
            if (families.contains(QString::fromUtf8(wanted))) return QString::fromUtf8(wanted);
        return families.isEmpty() ? QString() : families.first();
    }();
    return chosen;
}

QFont SkinFont(int pixel_size, bool bold) {
    QFont font;
    const QString family = ChineseFontFamily();
    if (!family.isEmpty()) font.setFamilies({family});
    font.setPixelSize(pixel_size);
    font.setBold(bold);
    font.setHintingPreference(QFont::PreferNoHinting);
    return font;
}

QString DialogStyleSheet() {
    return QStringLiteral(
        "QDialog, QMessageBox { background: #161a30; }"
        "QLabel, QCheckBox, QRadioButton { color: #e8e6f0; }"
        "QLineEdit, QSpinBox { background: #0c0f1e; color: #e8e6f0; border: 1px solid #6a5a3a;"
        "  border-radius: 3px; padding: 2px 4px; selection-background-color: #e9b64a; }"
        "QLineEdit:disabled { color: #5a5f73; border-color: #3a3d4d; }"
        "QPushButton { color: #2a1606; border: 1px solid #8a6420; border-radius: 4px; padding: 4px 14px;"
        "  min-width: 56px; background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #f6d27a, stop:1 #d9962b); }"
        "QPushButton:hover { background: qlineargradient(x1:0, y1:0, x2:0, y2:1, stop:0 #ffe29a, stop:1 #e6a83c); }"
        "QPushButton:pressed { background: #c0841f; }"
        "QCheckBox::indicator, QRadioButton::indicator { width: 13px; height: 13px; }");
}

void SkinDialog(QDialog* dialog, const char* object_name) {
    dialog->setWindowTitle(QString::fromUtf8(kCaption));
    dialog->setObjectName(QString::fromUtf8(object_name));
    dialog->setStyleSheet(DialogStyleSheet());
    dialog->setFont(SkinFont(13));
}

QDialogButtonBox* OkCancelButtons(QDialog* dialog, QPushButton** ok) {
    auto* buttons = new QDialogButtonBox(dialog);
    *ok = buttons->addButton(QStringLiteral("确定"), QDialogButtonBox::AcceptRole);
    (*ok)->setObjectName(QStringLiteral("okButton"));
    QPushButton* cancel = buttons->addButton(QStringLiteral("取消"), QDialogButtonBox::RejectRole);
    cancel->setObjectName(QStringLiteral("cancelButton"));
    QObject::connect(cancel, &QPushButton::clicked, dialog, &QDialog::reject);
    return buttons;
}

// ---- SkinButton ----------------------------------------------------------

SkinButton::SkinButton(Kind kind, QWidget* parent) : QAbstractButton(parent), kind_(kind) {
    setFocusPolicy(Qt::NoFocus);  // Enter and Space never press a button
    setCursor(Qt::PointingHandCursor);
    setCheckable(kind == Kind::kToggle);
}

void SkinButton::enterEvent(QEnterEvent* event) {
    hover_ = true;
    update();
    QAbstractButton::enterEvent(event);
}

void SkinButton::leaveEvent(QEvent* event) {
    hover_ = false;
    update();
    QAbstractButton::leaveEvent(event);
}

void SkinButton::PaintGlyph(QPainter& p, const QRectF& r, const QColor& c) {
    const QPointF m = r.center();
    p.setPen(QPen(c, 1.6, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    p.setBrush(Qt::NoBrush);
    switch (kind_) {
        case Kind::kMinimise:
            p.drawLine(QPointF(m.x() - 5, m.y() + 1), QPointF(m.x() + 5, m.y() + 1));
            break;
        case Kind::kClose:
            p.drawLine(QPointF(m.x() - 4.5, m.y() - 4.5), QPointF(m.x() + 4.5, m.y() + 4.5));
            p.drawLine(QPointF(m.x() + 4.5, m.y() - 4.5), QPointF(m.x() - 4.5, m.y() + 4.5));
            break;
        case Kind::kSettings: {
            QPainterPath gear;
            for (int i = 0; i < 16; ++i) {
                const double a = i * M_PI / 8, radius = (i % 2 == 0) ? 6.6 : 4.9;
                const QPointF q(m.x() + radius * std::cos(a), m.y() + radius * std::sin(a));
                i == 0 ? gear.moveTo(q) : gear.lineTo(q);
            }
            gear.closeSubpath();
            p.setPen(QPen(c, 1.3, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.drawPath(gear);
            p.drawEllipse(m, 2.0, 2.0);
            break;
        }
        case Kind::kToggle: {
            const double d = isChecked() ? -1 : 1;  // up when expanded
            p.setPen(QPen(c, 2.0, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.drawPolyline(QPolygonF({QPointF(m.x() - 5, m.y() - 2.5 * d), QPointF(m.x(), m.y() + 2.5 * d),
                                      QPointF(m.x() + 5, m.y() - 2.5 * d)}));
            break;
        }
        default:
            break;
    }
}

void SkinButton::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const bool down = isDown(), on = isEnabled();
    switch (kind_) {
        case Kind::kPrimary: {
            QLinearGradient fill(0, 0, 0, height());
            if (!on) {
                fill.setColorAt(0, QColor(84, 88, 108));
                fill.setColorAt(1, QColor(58, 61, 78));
            } else if (down) {
                fill.setColorAt(0, QColor(214, 150, 44));
                fill.setColorAt(1, QColor(180, 118, 30));
            } else {
                fill.setColorAt(0, hover_ ? QColor(255, 230, 160) : QColor(248, 214, 126));
                fill.setColorAt(0.5, hover_ ? QColor(244, 190, 84) : QColor(234, 172, 62));
                fill.setColorAt(1, hover_ ? QColor(226, 150, 50) : QColor(206, 132, 36));
            }
            if (on) {  // a soft glow around the button
                p.setPen(Qt::NoPen);
                p.setBrush(QColor(255, 190, 90, hover_ ? 60 : 34));
                p.drawRoundedRect(r, 7, 7);
            }
            p.setPen(QPen(on ? QColor(120, 74, 16) : QColor(40, 42, 54), 1));
            p.setBrush(fill);
            p.drawRoundedRect(r.adjusted(1.5, 1.5, -1.5, -1.5), 6, 6);
            if (on) {  // the glassy upper half
                p.setPen(Qt::NoPen);
                p.setBrush(QColor(255, 255, 255, down ? 10 : 46));
                p.drawRoundedRect(QRectF(r.left() + 3, r.top() + 3, r.width() - 6, r.height() / 2 - 3), 4, 4);
            }
            p.setFont(SkinFont(font_pixels_, true));
            p.setPen(on ? QColor(48, 24, 6) : QColor(170, 174, 190));
            p.drawText(rect(), Qt::AlignCenter, text());
            break;
        }
        case Kind::kOutline: {
            p.setPen(QPen(on ? colour::kGold : colour::kMuted, 1));
            p.setBrush(down ? QColor(233, 182, 74, 70) : hover_ ? QColor(233, 182, 74, 40) : QColor(0, 0, 0, 40));
            p.drawRoundedRect(r, 4, 4);
            p.setFont(SkinFont(font_pixels_));
            p.setPen(on ? QColor(246, 214, 140) : colour::kMuted);
            p.drawText(rect(), Qt::AlignCenter, text());
            break;
        }
        case Kind::kToggle: {
            p.setPen(QPen(QColor(233, 182, 74, hover_ ? 200 : 120), 1));
            p.setBrush(down ? QColor(233, 182, 74, 60) : hover_ ? QColor(233, 182, 74, 34) : QColor(0, 0, 0, 50));
            const double side = std::min(r.width(), r.height()) - 4;
            const QRectF circle(r.center().x() - side / 2, r.center().y() - side / 2, side, side);
            p.drawEllipse(circle);
            PaintGlyph(p, circle, hover_ ? QColor(255, 226, 150) : colour::kGold);
            break;
        }
        default: {
            if (hover_ || down) {
                p.setPen(Qt::NoPen);
                const bool close = kind_ == Kind::kClose;
                p.setBrush(close ? QColor(200, 56, 48, down ? 255 : 220) : QColor(255, 255, 255, down ? 50 : 30));
                p.drawRoundedRect(r, 4, 4);
            }
            PaintGlyph(p, r, hover_ ? QColor(255, 255, 255) : QColor(214, 208, 226));
            break;
        }
    }
}

// ---- ProgressBar ---------------------------------------------------------

void ProgressBar::SetValue(uint32_t t) {
    t = std::min<uint32_t>(t, 10000);
    if (t == value_) return;
    value_ = t;
    update();
}

void ProgressBar::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QRectF r = QRectF(rect()).adjusted(0.5, 0.5, -0.5, -0.5);
    const double radius = r.height() / 2;
    p.setPen(QPen(QColor(255, 255, 255, 28), 1));
    p.setBrush(QColor(6, 8, 18));
    p.drawRoundedRect(r, radius, radius);
    if (value_ == 0) return;
    const double w = std::max(r.height(), (r.width() - 2) * value_ / 10000.0);
    const QRectF fill(r.left() + 1, r.top() + 1, w, r.height() - 2);
    QLinearGradient g(fill.topLeft(), fill.topRight());
    g.setColorAt(0, QColor(38, 120, 220));
    g.setColorAt(1, QColor(80, 214, 246));
    p.setPen(Qt::NoPen);
    p.setBrush(g);
    p.drawRoundedRect(fill, fill.height() / 2, fill.height() / 2);
    p.setBrush(QColor(255, 255, 255, 60));
    p.drawRoundedRect(QRectF(fill.left() + 2, fill.top() + 1, std::max(0.0, fill.width() - 4), fill.height() / 2 - 1),
                      2, 2);
}

// ---- ElidedLabel ---------------------------------------------------------

void ElidedLabel::SetFullText(const QString& text) {
    if (text == full_) return;
    full_ = text;
    setToolTip(text);
    Elide();
}

void ElidedLabel::resizeEvent(QResizeEvent* event) {
    QLabel::resizeEvent(event);
    Elide();
}

void ElidedLabel::Elide() { setText(fontMetrics().elidedText(full_, Qt::ElideMiddle, width())); }

}  // namespace zl::app::window
