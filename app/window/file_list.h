// The details panel's list: one row per package file with its name, a strip
// of its pieces drawn from its bitfield, and its status text.
#pragma once
#include <QWidget>
#include <array>
#include <string>
#include <vector>

#include "app/window_texts.h"

namespace zl::app::window {

class FileList final : public QWidget {
    Q_OBJECT

public:
    struct Row {
        QString name, status;
        bool complete = false;
        std::vector<uint8_t> bitfield;
        int32_t bits = 0;
    };
    explicit FileList(QWidget* parent);
    void SetRows(const WindowTexts& texts, const ControllerView& view);
    const std::array<Row, kPackageFiles>& Rows() const { return rows_; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    std::array<Row, kPackageFiles> rows_;
};

}  // namespace zl::app::window
