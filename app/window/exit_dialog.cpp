#include "app/window/exit_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QPushButton>
#include <QRadioButton>
#include <QVBoxLayout>

#include "app/controller.h"
#include "app/window/skin.h"

namespace zl::app::window {

ExitDialog::ExitDialog(QWidget* parent, std::function<void(int, bool)> choose) : QDialog(parent) {
    SkinDialog(this, "exitDialog");
    setMinimumWidth(280);
    auto* question = new QLabel(QStringLiteral("关闭下载器时："), this);
    minimise_ = new QRadioButton(QStringLiteral("最小化到系统托盘，继续下载"), this);
    minimise_->setObjectName(QStringLiteral("minimiseChoice"));
    minimise_->setChecked(true);
    exit_ = new QRadioButton(QStringLiteral("退出下载器"), this);
    exit_->setObjectName(QStringLiteral("exitChoice"));
    remember_ = new QCheckBox(QStringLiteral("记住我的选择，不再提示"), this);
    remember_->setObjectName(QStringLiteral("rememberBox"));
    QDialogButtonBox* buttons = OkCancelButtons(this, &ok_);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(question);
    layout->addWidget(minimise_);
    layout->addWidget(exit_);
    layout->addSpacing(4);
    layout->addWidget(remember_);
    layout->addWidget(buttons);
    connect(ok_, &QPushButton::clicked, this, [this, choose = std::move(choose)] {
        const int choice = exit_->isChecked() ? kCloseExit : kCloseMinimise;
        const bool remember = remember_->isChecked();
        accept();
        if (choose) choose(choice, remember);
    });
}

}  // namespace zl::app::window
