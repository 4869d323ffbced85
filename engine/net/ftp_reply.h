// Replies on an FTP control connection: an incremental reader that takes
// one reply at a time (single-line "123 text" or multi-line "123-" ...
// "123 "), bounded to 64 KiB per reply.
#pragma once
#include <cstddef>
#include <string>
#include <string_view>

namespace zl {

struct FtpReply {
    int code = 0;      // 100..599
    std::string text;  // the first line after the code and its separator
};

class FtpReplyReader {
public:
    static constexpr size_t kMaxReplyBytes = 65536;

    enum class Status { kNeedMore, kReply, kError };

    // Takes bytes of `data` up to the end of one reply; `consumed` tells how
    // many. Bytes after the reply (the next reply) are left to the next call.
    // After kError every call returns kError until Reset.
    Status Feed(std::string_view data, size_t& consumed);

    // The reply of the last kReply.
    const FtpReply& reply() const { return reply_; }
    std::string_view problem() const { return problem_; }
    void Reset();

private:
    Status TakeLine(std::string_view line);
    Status Fail(std::string_view problem);

    std::string line_;        // the incomplete line
    size_t reply_bytes_ = 0;  // bytes of the current reply so far
    bool in_reply_ = false;   // the first line of a multi-line reply has been read
    bool complete_ = false;   // the last Feed ended a reply
    bool failed_ = false;
    FtpReply reply_;
    std::string_view problem_;
};

}  // namespace zl
