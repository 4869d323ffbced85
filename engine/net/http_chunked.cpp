#include "engine/net/http_chunked.h"

#include <algorithm>

#include "engine/base/hex_digit.h"

namespace zl {

HttpChunkedDecoder::Status HttpChunkedDecoder::Fail(std::string_view problem) {
    state_ = State::kError;
    problem_ = problem;
    return status_ = Status::kError;
}

bool HttpChunkedDecoder::TakeSizeLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    int64_t size = 0;
    size_t i = 0;
    for (; i < line.size(); ++i) {
        int digit = HexDigitValue(line[i]);
        if (digit < 0) break;
        if (size > (INT64_MAX >> 4)) return false;
        size = (size << 4) | digit;
    }
    if (i == 0) return false;
    while (i < line.size() && (line[i] == ' ' || line[i] == '\t')) ++i;
    if (i < line.size() && line[i] != ';') return false;
    chunk_left_ = size;
    return true;
}

HttpChunkedDecoder::Status HttpChunkedDecoder::Feed(std::string_view in, std::string& out, size_t& consumed) {
    consumed = 0;
    while (consumed < in.size() && (state_ != State::kDone && state_ != State::kError)) {
        std::string_view rest = in.substr(consumed);
        switch (state_) {
            case State::kSizeLine:
            case State::kTrailer: {
                size_t lf = rest.find('\n');
                size_t take = lf == std::string_view::npos ? rest.size() : lf;
                size_t limit = state_ == State::kSizeLine ? kMaxSizeLineBytes : kMaxTrailerBytes - trailer_bytes_;
                if (line_.size() + take >= limit) return Fail("chunk line too long");
                line_.append(rest.substr(0, take));
                consumed += take;
                if (lf == std::string_view::npos) break;
                ++consumed;  // the line feed
                if (state_ == State::kSizeLine) {
                    if (!TakeSizeLine(line_)) return Fail("invalid chunk size");
                    if (chunk_left_ > max_body_ - decoded_) return Fail("body too large");
                    state_ = chunk_left_ == 0 ? State::kTrailer : State::kData;
                } else {
                    trailer_bytes_ += line_.size() + 1;
                    if (line_.empty() || line_ == "\r") state_ = State::kDone;
                }
                line_.clear();
                break;
            }
            case State::kData: {
                size_t take = static_cast<size_t>(std::min<int64_t>(chunk_left_, static_cast<int64_t>(rest.size())));
                out.append(rest.substr(0, take));
                consumed += take;
                chunk_left_ -= static_cast<int64_t>(take);
                decoded_ += static_cast<int64_t>(take);
                if (chunk_left_ == 0) {
                    state_ = State::kDataEnd;
                    seen_cr_ = false;
                }
                break;
            }
            case State::kDataEnd: {
                // Each chunk's data ends with CRLF (a bare LF is accepted).
                char c = rest.front();
                ++consumed;
                if (c == '\r' && !seen_cr_) {
                    seen_cr_ = true;
                } else if (c == '\n') {
                    state_ = State::kSizeLine;
                } else {
                    return Fail("chunk data not followed by a line end");
                }
                break;
            }
            case State::kDone:
            case State::kError:
                break;
        }
    }
    if (state_ == State::kDone) status_ = Status::kDone;
    return status_;
}

}  // namespace zl
