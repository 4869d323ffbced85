// Which sources of a task keep failing, with the last error of each, so a
// user can see why a download does not move ("refused", "HTTP 404",
// "timed out"). A source that delivers data again leaves the list.
#pragma once
#include <cstdint>
#include <map>
#include <string>

namespace zl {

class SourceHealth {
public:
    void NoteFailure(const std::string& source, const std::string& error);
    void NoteSuccess(const std::string& source);
    // "source\terror" lines; *count: how many.
    std::string Failing(int32_t* count) const;
    size_t size() const { return failing_.size(); }

private:
    std::map<std::string, std::string> failing_;
};

// The words for an ended connection: an HTTP status of 400 or more, else the
// socket's error, else what the connection got to.
std::string DescribeFailure(int http_status, int32_t socket_error, bool timed_out, bool answered);

}  // namespace zl
