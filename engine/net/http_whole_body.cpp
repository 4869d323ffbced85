#include "engine/net/http_whole_body.h"

#include <algorithm>

namespace zl {

HttpWholeBody::HttpWholeBody(int64_t content_length, bool chunked, int64_t max_bytes)
    : content_length_(content_length),
      max_bytes_(max_bytes),
      chunked_(chunked),
      chunks_(content_length >= 0 ? std::min(content_length, max_bytes) : max_bytes) {
    if (!chunked_ && content_length_ > max_bytes_) {
        status_ = Status::kError;
        problem_ = "body too large";
    } else if (!chunked_ && content_length_ == 0) {
        status_ = Status::kComplete;
    }
}

HttpWholeBody::Status HttpWholeBody::Feed(std::string_view data, size_t& consumed) {
    consumed = 0;
    if (status_ != Status::kNeedMore) return status_;
    if (chunked_) {
        switch (chunks_.Feed(data, body_, consumed)) {
            case HttpChunkedDecoder::Status::kNeedMore: break;
            case HttpChunkedDecoder::Status::kDone: status_ = Status::kComplete; break;
            case HttpChunkedDecoder::Status::kError:
                status_ = Status::kError;
                problem_ = chunks_.problem();
                break;
        }
        return status_;
    }
    int64_t limit = content_length_ >= 0 ? content_length_ : max_bytes_;
    int64_t room = limit - static_cast<int64_t>(body_.size());
    consumed = static_cast<size_t>(std::min<int64_t>(room, static_cast<int64_t>(data.size())));
    body_.append(data.substr(0, consumed));
    if (static_cast<int64_t>(body_.size()) == limit) {
        if (content_length_ >= 0) {
            status_ = Status::kComplete;
        } else {
            status_ = Status::kError;
            problem_ = "body too large";
        }
    }
    return status_;
}

HttpWholeBody::Status HttpWholeBody::OnConnectionClosed() {
    if (status_ != Status::kNeedMore) return status_;
    if (!chunked_ && content_length_ < 0 && !body_.empty()) return status_ = Status::kComplete;
    status_ = Status::kError;
    problem_ = "connection closed before the end of the body";
    return status_;
}

}  // namespace zl
