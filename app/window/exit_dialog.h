// The exit dialog: minimise to the notification area (preselected) or exit,
// and a box to remember the choice.
#pragma once
#include <QDialog>
#include <functional>

class QCheckBox;
class QPushButton;
class QRadioButton;

namespace zl::app::window {

class ExitDialog final : public QDialog {
    Q_OBJECT

public:
    // `choose(1 minimise or 2 exit, remember)` runs on confirming.
    ExitDialog(QWidget* parent, std::function<void(int, bool)> choose);

    QRadioButton* MinimiseChoice() const { return minimise_; }
    QRadioButton* ExitChoice() const { return exit_; }
    QCheckBox* RememberBox() const { return remember_; }
    QPushButton* OkButton() const { return ok_; }

private:
    QRadioButton* minimise_;
    QRadioButton* exit_;
    QCheckBox* remember_;
    QPushButton* ok_;
};

}  // namespace zl::app::window
