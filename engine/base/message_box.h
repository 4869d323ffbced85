// Message boxes shown without blocking the caller: each box gets a thread of
// its own that owns copies of the texts, so a caller that has moved on (or
// freed its strings) cannot be read from later. Threads that have finished are
// joined on the next call; the destructor joins the rest.
#pragma once
#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

#include "engine/base/message_sink.h"

namespace zl {

class AsyncMessageBoxes {
public:
    AsyncMessageBoxes() = default;
    AsyncMessageBoxes(const AsyncMessageBoxes&) = delete;
    AsyncMessageBoxes& operator=(const AsyncMessageBoxes&) = delete;
    ~AsyncMessageBoxes();

    // The source of the installation identifier appended to every text; asked
    // until it gives a non-empty answer, which is then kept.
    void SetInstallationIdSource(std::function<std::string()> source);

    // 1 when the box's thread has begun within 2 s, 0 otherwise.
    int Show(std::shared_ptr<MessageSink> sink, uintptr_t owner, const char* text, const char* caption, uint32_t style);

    // Waits for every box shown so far to be closed.
    void JoinAll();

private:
    struct Box;
    std::string InstallationId();
    void JoinFinished();

    std::mutex mutex_;
    std::mutex id_mutex_;
    std::function<std::string()> id_source_;
    std::string cached_id_;
    std::list<std::shared_ptr<Box>> boxes_;
};

// text + "\n（" + id + "）" when the identifier is known, else the text.
std::string WithInstallationId(const std::string& text, const std::string& id);

}  // namespace zl
