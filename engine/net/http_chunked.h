// Incremental decoder of the chunked transfer coding, fed with whatever the
// connection delivered. Chunk-size lines and trailers are bounded, so a
// hostile server cannot make it buffer without limit.
#pragma once
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace zl {

class HttpChunkedDecoder {
public:
    static constexpr size_t kMaxSizeLineBytes = 1024;  // chunk size with extensions
    static constexpr size_t kMaxTrailerBytes = 16384;

    enum class Status { kNeedMore, kDone, kError };

    // `max_body`: decoded bytes beyond this fail the body.
    explicit HttpChunkedDecoder(int64_t max_body = INT64_MAX) : max_body_(max_body) {}

    // Decodes from `in` and appends the data to `out`. `consumed` tells how
    // many bytes were taken: all of `in` unless the body ended inside it.
    Status Feed(std::string_view in, std::string& out, size_t& consumed);

    Status status() const { return status_; }
    int64_t decoded() const { return decoded_; }
    std::string_view problem() const { return problem_; }

private:
    enum class State { kSizeLine, kData, kDataEnd, kTrailer, kDone, kError };

    Status Fail(std::string_view problem);
    bool TakeSizeLine(std::string_view line);

    int64_t max_body_;
    State state_ = State::kSizeLine;
    Status status_ = Status::kNeedMore;
    std::string line_;            // the current size or trailer line
    int64_t chunk_left_ = 0;      // data bytes still to come in this chunk
    bool seen_cr_ = false;        // the CR after a chunk's data has arrived
    size_t trailer_bytes_ = 0;
    int64_t decoded_ = 0;
    std::string_view problem_;
};

}  // namespace zl
