#include "engine/base/message_box.h"

#include <chrono>
#include <condition_variable>

namespace zl {

struct AsyncMessageBoxes::Box {
    std::thread thread;
    std::mutex mutex;
    std::condition_variable started_cv;
    bool started = false;
    bool done = false;
};

AsyncMessageBoxes::~AsyncMessageBoxes() { JoinAll(); }

void AsyncMessageBoxes::SetInstallationIdSource(std::function<std::string()> source) {
    std::lock_guard<std::mutex> guard(mutex_);
    id_source_ = std::move(source);
}

std::string WithInstallationId(const std::string& text, const std::string& id) {
    if (id.empty()) return text;
    return text + "\n\xEF\xBC\x88" + id + "\xEF\xBC\x89";  // full-width parentheses
}

std::string AsyncMessageBoxes::InstallationId() {
    // One box at a time asks, so the source is asked once when it answers.
    std::lock_guard<std::mutex> asking(id_mutex_);
    std::function<std::string()> source;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        if (!cached_id_.empty() || !id_source_) return cached_id_;
        source = id_source_;
    }
    std::string id = source();
    std::lock_guard<std::mutex> guard(mutex_);
    cached_id_ = id;
    return cached_id_;
}

void AsyncMessageBoxes::JoinFinished() {
    std::list<std::shared_ptr<Box>> finished;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        for (auto it = boxes_.begin(); it != boxes_.end();) {
            bool done;
            {
                std::lock_guard<std::mutex> box_guard((*it)->mutex);
                done = (*it)->done;
            }
            if (done) {
                finished.push_back(*it);
                it = boxes_.erase(it);
            } else {
                ++it;
            }
        }
    }
    for (auto& box : finished) box->thread.join();
}

void AsyncMessageBoxes::JoinAll() {
    std::list<std::shared_ptr<Box>> all;
    {
        std::lock_guard<std::mutex> guard(mutex_);
        all.swap(boxes_);
    }
    for (auto& box : all)
        if (box->thread.joinable()) box->thread.join();
}

int AsyncMessageBoxes::Show(std::shared_ptr<MessageSink> sink, uintptr_t owner, const char* text, const char* caption,
                            uint32_t style) {
    JoinFinished();
    if (!sink) return 0;
    auto box = std::make_shared<Box>();
    // The thread works on its own copies from the start.
    std::string text_copy = text ? text : "";
    std::string caption_copy = caption ? caption : "";
    try {
        box->thread = std::thread([this, box, sink, owner, style, text_copy = std::move(text_copy),
                                   caption_copy = std::move(caption_copy)]() {
            {
                std::lock_guard<std::mutex> guard(box->mutex);
                box->started = true;
            }
            box->started_cv.notify_all();
            sink->Show(owner, WithInstallationId(text_copy, InstallationId()), caption_copy, style);
            std::lock_guard<std::mutex> guard(box->mutex);
            box->done = true;
        });
    } catch (const std::system_error&) {
        return 0;
    }
    {
        std::lock_guard<std::mutex> guard(mutex_);
        boxes_.push_back(box);
    }
    std::unique_lock<std::mutex> lock(box->mutex);
    // A safety bound only: the thread signals as its first step.
    return box->started_cv.wait_for(lock, std::chrono::milliseconds(2000), [&] { return box->started; }) ? 1 : 0;
}

}  // namespace zl
