// The response header of an HTTP source: an incremental reader that takes
// bytes up to the end of the header (and never more than 16 KiB), and the
// parsed header with case-insensitive lookup of its values.
#pragma once
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace zl {

struct HttpResponseHeader {
    std::string version = "1.0";     // text after "HTTP/" up to the first blank
    int status = 0;                  // 0 when the first line is not a status line
    std::string reason;              // rest of the status line
    std::vector<std::string> lines;  // header lines without the status line

    // The value of the first line that starts with `name` (any case), then
    // optional blanks and ":"; leading and trailing blanks are removed.
    std::optional<std::string_view> Find(std::string_view name) const;
};

class HttpHeaderReader {
public:
    // A header that has not ended within this many bytes fails the source.
    static constexpr size_t kMaxHeaderBytes = 16384;

    enum class Status { kNeedMore, kComplete, kTooLarge };

    // Takes bytes of `data` up to the end of the header; `consumed` tells how
    // many. After kComplete the remaining bytes of `data` are the body; after
    // kComplete or kTooLarge further calls consume nothing until Reset.
    Status Feed(std::string_view data, size_t& consumed);

    Status status() const { return status_; }
    const HttpResponseHeader& header() const { return header_; }
    void Reset();

private:
    void Parse();

    std::string text_;
    size_t scanned_ = 0;       // bytes of text_ already searched for the header end
    size_t leading_blank_ = 0; // empty lines skipped before the status line
    Status status_ = Status::kNeedMore;
    HttpResponseHeader header_;
};

// Parses a header in one piece (tests and tools); nullopt when incomplete or too large.
std::optional<HttpResponseHeader> ParseHttpResponseHeader(std::string_view text);

// A decimal Content-Length value; nullopt when it is not a plain non-negative
// number that fits in 63 bits.
std::optional<int64_t> ParseHttpContentLength(std::string_view value);

// A Content-Range value: "bytes FIRST-LAST/TOTAL", "bytes FIRST-LAST/*" or
// "bytes */TOTAL". Unknown parts are -1.
struct HttpContentRange {
    int64_t first = -1;
    int64_t last = -1;
    int64_t total = -1;
};
std::optional<HttpContentRange> ParseHttpContentRange(std::string_view value);

// The file name of a Content-Disposition value: the text after "filename=",
// without surrounding double quotes, up to ";" or the end. Directory parts
// are removed and names that could leave a folder ("..", control
// characters) give an empty result.
std::string HttpContentDispositionFileName(std::string_view value);

// True when `list` (a comma-separated header value) holds `token`, in any case.
bool HttpHeaderListHas(std::string_view list, std::string_view token);

}  // namespace zl
