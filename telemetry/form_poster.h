// One HTTP form post with time limits: the transport of statistics batches.
#pragma once
#include <cstdint>
#include <string>
#include <utility>

namespace zl {

struct PostLimits {
    uint32_t connect_ms = 6000;
    uint32_t total_ms = 6000;
};

class FormPoster {
public:
    virtual ~FormPoster() = default;
    // Posts `body` (already form-encoded) to `url`; true with the answer text
    // when the server answered at all, false on a transport failure or time-out.
    virtual bool Post(const std::string& url, const std::string& body, const PostLimits& limits,
                      std::string& answer) = 0;
};

// Through engine/base/curl_transfer.h: certificates checked against the
// system's store or `ca_file`, the answer kept up to 64 KiB.
class CurlFormPoster final : public FormPoster {
public:
    static constexpr size_t kMaxAnswerBytes = 64 * 1024;
    explicit CurlFormPoster(std::string ca_file = {}) : ca_file_(std::move(ca_file)) {}

    bool Post(const std::string& url, const std::string& body, const PostLimits& limits,
              std::string& answer) override;

private:
    std::string ca_file_;
};

// Whether a statistics server's answer accepts the post: it holds "error":0
// (blanks allowed after the colon) with no further digit after the 0.
bool AnswerAccepted(const std::string& answer);

}  // namespace zl
