#include "engine/core/task_work_with_trans_statis.h"

namespace zl {

TWorkWithTransStatis::TWorkWithTransStatis(EngineContext& context) : TWorkWithPieces(context) {}

void TWorkWithTransStatis::StatisticsPass(uint64_t) {
    live_.http_bytes = http_bytes_;
    live_.peer_bytes = peer_bytes_;
    live_.downloaded_total = http_bytes_ + peer_bytes_;
    live_.uploaded_total = uploaded_bytes_;
    live_.current_speed = current_speed_;
    live_.time_remaining = time_remaining_;
    per_second_flag_ = true;
}

void TWorkWithTransStatis::Reset(bool full, bool b) {
    http_bytes_ = peer_bytes_ = uploaded_bytes_ = 0;
    current_speed_ = 0;
    time_remaining_ = 0;
    per_second_flag_ = false;
    TWorkWithPieces::Reset(full, b);
}

}  // namespace zl
