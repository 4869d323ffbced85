#include "app/window/qt_user_interface.h"

#include <QCoreApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

#include "app/window/skin.h"

namespace zl::app::window {

QString MessageText(const std::string& text) {
    QString s = QString::fromStdString(text);
    s.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    return s;
}

void QtUserInterface::Pending::Give(bool yes) {
    std::lock_guard lock(mutex);
    if (answer) return;
    answer = yes;
    answered.notify_all();
}

QObject* QtUserInterface::Context() const {
    QWidget* w = window_;
    return w ? static_cast<QObject*>(w) : QCoreApplication::instance();
}

void QtUserInterface::ShowMessage(const std::string& text, const std::string& caption) {
    const QString body = MessageText(text), title = QString::fromStdString(caption);
    QPointer<QWidget> parent = window_;
    QMetaObject::invokeMethod(
        Context(),
        [parent, body, title] {
            auto* box = new QMessageBox(QMessageBox::Information, title, body, QMessageBox::Ok, parent);
            box->setObjectName(QStringLiteral("message"));
            box->setStyleSheet(DialogStyleSheet());
            box->setFont(SkinFont(13));
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->setModal(false);
            box->show();
        },
        Qt::QueuedConnection);
}

bool QtUserInterface::AskYesNo(const std::string& text, const std::string& caption) {
    if (preset_) return *preset_;
    if (QThread::currentThread() == QCoreApplication::instance()->thread()) {  // asked on the window's own thread
        QMessageBox::StandardButton b = QMessageBox::question(window_, QString::fromStdString(caption), MessageText(text));
        return b == QMessageBox::Yes;
    }
    auto pending = std::make_shared<Pending>();
    {
        std::lock_guard lock(mutex_);
        if (cancelled_) return true;
        pending_.push_back(pending);
    }
    const QString body = MessageText(text), title = QString::fromStdString(caption);
    QPointer<QWidget> parent = window_;
    QMetaObject::invokeMethod(
        Context(),
        [parent, body, title, pending] {
            auto* box = new QMessageBox(QMessageBox::Question, title, body, QMessageBox::Yes | QMessageBox::No, parent);
            box->setObjectName(QStringLiteral("question"));
            box->setStyleSheet(DialogStyleSheet());
            box->setFont(SkinFont(13));
            box->button(QMessageBox::Yes)->setText(QStringLiteral("是"));
            box->button(QMessageBox::No)->setText(QStringLiteral("否"));
            box->setAttribute(Qt::WA_DeleteOnClose);
            // Closing the box any other way answers "no".
            QObject::connect(box, &QMessageBox::finished, box, [box, pending] {
                pending->Give(box->clickedButton() == box->button(QMessageBox::Yes));
            });
            box->open();
        },
        Qt::QueuedConnection);
    std::unique_lock lock(pending->mutex);
    pending->answered.wait(lock, [&] { return pending->answer.has_value(); });
    const bool answer = *pending->answer;
    lock.unlock();
    std::lock_guard list_lock(mutex_);
    std::erase(pending_, pending);
    return answer;
}

void QtUserInterface::Raise() {
    if (!raise_) return;
    QMetaObject::invokeMethod(Context(), raise_, Qt::QueuedConnection);
}

void QtUserInterface::Cancel() {
    std::vector<std::shared_ptr<Pending>> open;
    {
        std::lock_guard lock(mutex_);
        cancelled_ = true;
        open = pending_;
    }
    for (const auto& p : open) p->Give(true);
}

}  // namespace zl::app::window
