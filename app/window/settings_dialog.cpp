#include "app/window/settings_dialog.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QHBoxLayout>
#include <QIntValidator>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QVBoxLayout>

#include "app/controller.h"
#include "app/window/skin.h"
#include "app/window_texts.h"

namespace zl::app::window {

SettingsDialog::SettingsDialog(QWidget* parent, int32_t speed_limit_kib, bool auto_shutdown,
                               std::function<void(int32_t, bool)> apply)
    : QDialog(parent), apply_(std::move(apply)) {
    SkinDialog(this, "settingsDialog");

    limit_box_ = new QCheckBox(QStringLiteral("限制下载速度"), this);
    limit_box_->setObjectName(QStringLiteral("limitBox"));
    limit_field_ = new QLineEdit(this);
    limit_field_->setObjectName(QStringLiteral("limitField"));
    limit_field_->setMaxLength(6);
    limit_field_->setFixedWidth(72);
    auto* unit = new QLabel(QStringLiteral("KB/s  (10 - 30000)"), this);
    shutdown_box_ = new QCheckBox(QStringLiteral("下载完成后自动关机"), this);
    shutdown_box_->setObjectName(QStringLiteral("shutdownBox"));
    p2p_box_ = new QCheckBox(QStringLiteral("P2P"), this);
    p2p_box_->setVisible(false);

    auto* limit_row = new QHBoxLayout;
    limit_row->addWidget(limit_box_);
    limit_row->addWidget(limit_field_);
    limit_row->addWidget(unit);
    limit_row->addStretch();
    QDialogButtonBox* buttons = OkCancelButtons(this, &ok_);
    auto* layout = new QVBoxLayout(this);
    layout->addLayout(limit_row);
    layout->addWidget(shutdown_box_);
    layout->addWidget(p2p_box_);
    layout->addSpacing(6);
    layout->addWidget(buttons);

    limit_box_->setChecked(speed_limit_kib > 0);
    limit_field_->setEnabled(speed_limit_kib > 0);
    if (speed_limit_kib > 0) limit_field_->setText(QString::number(speed_limit_kib));
    shutdown_box_->setChecked(auto_shutdown);
    connect(limit_box_, &QCheckBox::toggled, this, [this](bool on) {
        limit_field_->setEnabled(on);
        if (on && limit_field_->text().trimmed().isEmpty()) limit_field_->setText(QString::number(kProposedSpeedLimit));
    });
    // Confirming is checked by hand so that a bad limit keeps the dialog open.
    connect(ok_, &QPushButton::clicked, this, [this] { Confirm(); });
}

void SettingsDialog::Confirm() {
    const SpeedLimitChoice limit = CheckSpeedLimit(limit_box_->isChecked(), limit_field_->text().toStdString());
    if (!limit.ok) {
        auto* box = new QMessageBox(QMessageBox::Warning, QString::fromUtf8(kCaption),
                                    QString::fromUtf8(kSpeedLimitRangeMessage), QMessageBox::Ok, this);
        box->setObjectName(QStringLiteral("rangeMessage"));
        box->setAttribute(Qt::WA_DeleteOnClose);
        box->open();
        return;
    }
    if (apply_) apply_(limit.kib, shutdown_box_->isChecked());
    accept();
}

}  // namespace zl::app::window
