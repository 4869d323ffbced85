#include "app/window/file_list.h"

#include <QPainter>

#include "app/window/skin.h"
#include "app/window/window_geometry.h"

namespace zl::app::window {
namespace {

constexpr int kNameWidth = 120;
constexpr int kStripLeft = 124;
constexpr int kStripWidth = 136;
constexpr int kStatusLeft = 270;

}  // namespace

FileList::FileList(QWidget* parent) : QWidget(parent) {
    setAccessibleName(QStringLiteral("Name / Percent"));
}

void FileList::SetRows(const WindowTexts& texts, const ControllerView& view) {
    for (size_t i = 0; i < rows_.size(); ++i) {
        Row& r = rows_[i];
        r.name = QString::fromStdString(texts.files[i].name);
        r.status = QString::fromStdString(texts.files[i].status);
        r.complete = view.files[i].complete;
        r.bitfield = view.files[i].bitfield;
        r.bits = view.files[i].bits;
    }
    update();
}

void FileList::paintEvent(QPaintEvent*) {
    QPainter p(this);
    p.setRenderHint(QPainter::Antialiasing);
    const QFont font = SkinFont(12);
    p.setFont(font);
    const QFontMetrics metrics(font);
    for (size_t i = 0; i < rows_.size(); ++i) {
        const Row& r = rows_[i];
        const int top = int(i) * kFileRowHeight;
        if (i % 2 == 1) p.fillRect(QRect(0, top, width(), kFileRowHeight), QColor(255, 255, 255, 7));
        p.setPen(colour::kText);
        p.drawText(QRect(6, top, kNameWidth - 6, kFileRowHeight), Qt::AlignVCenter | Qt::AlignLeft,
                   metrics.elidedText(r.name, Qt::ElideMiddle, kNameWidth - 6));

        // The piece strip: one column per pixel, brighter the more of its pieces are present.
        const QRect strip(kStripLeft, top + kFileRowHeight / 2 - 3, kStripWidth, 6);
        p.setPen(Qt::NoPen);
        p.setBrush(QColor(6, 8, 18));
        p.drawRoundedRect(QRectF(strip).adjusted(-1, -1, 1, 1), 2, 2);
        const std::vector<uint8_t> cover = r.complete ? std::vector<uint8_t>(size_t(strip.width()), 255)
                                                      : PieceCoverage(r.bitfield, r.bits, strip.width());
        for (int x = 0; x < int(cover.size()); ++x) {
            if (cover[size_t(x)] == 0) continue;
            const double f = cover[size_t(x)] / 255.0;
            p.fillRect(QRect(strip.left() + x, strip.top(), 1, strip.height()),
                       QColor(int(38 + 40 * f), int(110 + 100 * f), int(200 + 46 * f), int(90 + 165 * f)));
        }

        const bool done = r.status.startsWith(QStringLiteral("√"));
        p.setPen(done ? colour::kSuccess : r.status.contains(QChar(u'%')) ? colour::kAccent : colour::kMuted);
        p.drawText(QRect(kStatusLeft, top, width() - kStatusLeft, kFileRowHeight), Qt::AlignVCenter | Qt::AlignLeft,
                   r.status);
    }
}

}  // namespace zl::app::window
