#include "engine/net/ftp_reply.h"

namespace zl {
namespace {

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

// The code of a line that starts with three digits (first digit 1 to 5), or 0.
int LeadingCode(std::string_view line) {
    if (line.size() < 3 || !IsDigit(line[0]) || !IsDigit(line[1]) || !IsDigit(line[2])) return 0;
    if (line[0] < '1' || line[0] > '5') return 0;
    return (line[0] - '0') * 100 + (line[1] - '0') * 10 + (line[2] - '0');
}

}  // namespace

void FtpReplyReader::Reset() {
    line_.clear();
    reply_bytes_ = 0;
    in_reply_ = false;
    complete_ = false;
    failed_ = false;
    reply_ = FtpReply{};
    problem_ = {};
}

FtpReplyReader::Status FtpReplyReader::Fail(std::string_view problem) {
    failed_ = true;
    problem_ = problem;
    return Status::kError;
}

FtpReplyReader::Status FtpReplyReader::TakeLine(std::string_view line) {
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    if (!in_reply_) {
        int code = LeadingCode(line);
        if (code == 0) return Fail("reply without a code");
        if (line.size() > 3 && line[3] != ' ' && line[3] != '-') return Fail("reply code not followed by a blank");
        reply_.code = code;
        reply_.text = std::string(line.size() > 4 ? line.substr(4) : std::string_view());
        if (line.size() > 3 && line[3] == '-') {
            in_reply_ = true;
            return Status::kNeedMore;
        }
        return Status::kReply;
    }
    // Lines inside a multi-line reply are passed over until "code " ends it.
    if (LeadingCode(line) == reply_.code && (line.size() == 3 || line[3] == ' ')) {
        in_reply_ = false;
        return Status::kReply;
    }
    return Status::kNeedMore;
}

FtpReplyReader::Status FtpReplyReader::Feed(std::string_view data, size_t& consumed) {
    consumed = 0;
    if (failed_) return Status::kError;
    if (complete_) {
        complete_ = false;
        reply_bytes_ = 0;
        reply_ = FtpReply{};
    }
    while (consumed < data.size()) {
        std::string_view rest = data.substr(consumed);
        size_t lf = rest.find('\n');
        size_t take = lf == std::string_view::npos ? rest.size() : lf + 1;
        if (reply_bytes_ + take > kMaxReplyBytes) return Fail("reply too long");
        reply_bytes_ += take;
        consumed += take;
        if (lf == std::string_view::npos) {
            line_.append(rest);
            break;
        }
        Status status;
        if (line_.empty()) {
            status = TakeLine(rest.substr(0, lf));
        } else {
            line_.append(rest.substr(0, lf));
            status = TakeLine(line_);
        }
        line_.clear();
        if (status == Status::kError) return status;
        if (status == Status::kReply) {
            complete_ = true;
            return status;
        }
    }
    return Status::kNeedMore;
}

}  // namespace zl
