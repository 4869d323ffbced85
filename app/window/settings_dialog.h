// The settings dialog: a speed limit (10..30,000 KiB/s, 200 proposed when
// the box is ticked) and the automatic shutdown. A limit out of range keeps
// the dialog open with a message; confirming hands the values on.
#pragma once
#include <QDialog>
#include <functional>

class QCheckBox;
class QLineEdit;
class QPushButton;

namespace zl::app::window {

class SettingsDialog final : public QDialog {
    Q_OBJECT

public:
    // `apply(limit KiB/s or 0 for none, auto shutdown)` runs on confirming.
    SettingsDialog(QWidget* parent, int32_t speed_limit_kib, bool auto_shutdown,
                   std::function<void(int32_t, bool)> apply);

    QCheckBox* LimitBox() const { return limit_box_; }
    QLineEdit* LimitField() const { return limit_field_; }
    QCheckBox* ShutdownBox() const { return shutdown_box_; }
    QPushButton* OkButton() const { return ok_; }

private:
    void Confirm();

    QCheckBox* limit_box_;
    QLineEdit* limit_field_;
    QCheckBox* shutdown_box_;
    QCheckBox* p2p_box_;  // present, as the switch comes from the server
    QPushButton* ok_;
    std::function<void(int32_t, bool)> apply_;
};

}  // namespace zl::app::window
