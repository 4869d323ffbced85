// The window's look: colours, the font with Chinese glyphs, and the skinned
// controls that only draw (buttons, the progress bar, an eliding label).
#pragma once
#include <QAbstractButton>
#include <QColor>
#include <QDialog>
#include <QDialogButtonBox>
#include <QPushButton>
#include <QFont>
#include <QLabel>
#include <QString>
#include <QWidget>

namespace zl::app::window {

namespace colour {
inline const QColor kText{232, 230, 240};
inline const QColor kMuted{154, 160, 184};
inline const QColor kGold{233, 182, 74};
inline const QColor kAccent{69, 200, 240};
inline const QColor kSuccess{120, 220, 140};
}  // namespace colour

// The first installed family with Simplified Chinese glyphs, preferring the
// usual ones; empty when there is none.
QString ChineseFontFamily();
// The window's font at a pixel size (bold where asked).
QFont SkinFont(int pixel_size, bool bold = false);
// The look of the dialogs and message boxes (dark, with gold buttons).
QString DialogStyleSheet();
// Gives a dialog the program's caption, look and font.
void SkinDialog(QDialog* dialog, const char* object_name);
// "确定" (its clicks are the caller's to connect) and "取消" (rejects) in a box.
QDialogButtonBox* OkCancelButtons(QDialog* dialog, QPushButton** ok);

// A button drawn by the skin.
class SkinButton final : public QAbstractButton {
    Q_OBJECT

public:
    enum class Kind {
        kPrimary,   // the gold main button
        kOutline,   // a small outlined button (the folder button)
        kSettings,  // the title strip's glyph buttons
        kMinimise,
        kClose,
        kToggle,    // the details toggle (a chevron; checked when expanded)
    };
    SkinButton(Kind kind, QWidget* parent);
    void SetFontPixels(int pixels) { font_pixels_ = pixels; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void enterEvent(QEnterEvent* event) override;
    void leaveEvent(QEvent* event) override;

private:
    void PaintGlyph(class QPainter& p, const QRectF& r, const QColor& c);
    Kind kind_;
    bool hover_ = false;
    int font_pixels_ = 13;
};

// The overall progress, 0..10,000.
class ProgressBar final : public QWidget {
    Q_OBJECT

public:
    explicit ProgressBar(QWidget* parent) : QWidget(parent) {}
    void SetValue(uint32_t ten_thousandths);
    uint32_t Value() const { return value_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    uint32_t value_ = 0;
};

// A label that shows its whole text when it fits and elides the middle
// otherwise (the whole text is its tool tip); Text() is the whole text.
class ElidedLabel final : public QLabel {
    Q_OBJECT

public:
    explicit ElidedLabel(QWidget* parent) : QLabel(parent) {}
    void SetFullText(const QString& text);
    const QString& FullText() const { return full_; }

protected:
    void resizeEvent(QResizeEvent* event) override;

private:
    void Elide();
    QString full_;
};

}  // namespace zl::app::window
