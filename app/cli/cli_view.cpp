#include "app/cli/cli_view.h"

#include <json/json.h>
#include <unistd.h>

#include <iostream>

#include "app/formatters.h"

namespace zl::app::cli {
namespace {

std::string Line(const Json::Value& v) {
    Json::StreamWriterBuilder b;
    b["indentation"] = "";
    b["emitUTF8"] = true;
    return Json::writeString(b, v);
}

std::string Bar(int32_t progress, int width) {
    const int filled = int(int64_t(std::clamp(progress, 0, 10000)) * width / 10000);
    return "[" + std::string(size_t(filled), '#') + std::string(size_t(width - filled), '.') + "]";
}

}  // namespace

std::string StateText(int state) {
    switch (state) {
        case kStateBack: return "not enough free space";
        case kStateReady: return "ready";
        case kStatePreparing: return "preparing";
        case kStateDownloading: return "downloading";
        case kStatePause: return "paused";
        case kStateResume: return "resuming";
        case kStateFailed: return "failed";
        case kStateFinished: return "download complete";
        case kStateMd5Checking: return "verifying (MD5)";
        case kStateCheckRecover: return "repairing";
        case kStateCheckFinished: return "verified";
        case kStateInstalling: return "starting the installer";
        case kStateRecover: return "resuming the previous download";
        case kStateReload: return "checking existing data";
        case kStateExiting: return "exiting";
        default: return "state " + std::to_string(state);
    }
}

CliView::CliView(bool json, std::optional<bool> answer, std::FILE* out, std::FILE* err)
    : json_(json), live_(!json && ::isatty(::fileno(err))), answer_(answer), out_(out), err_(err) {}

void CliView::Emit(const std::string& line) {
    std::fprintf(out_, "%s\n", line.c_str());
    std::fflush(out_);
}

void CliView::ClearLive() {
    if (!live_ || live_lines_ == 0) return;
    std::fprintf(err_, "\033[%dA\033[J", live_lines_);
    live_lines_ = 0;
}

void CliView::ShowMessage(const std::string& text, const std::string& caption) {
    std::lock_guard lock(mutex_);
    if (json_) {
        Json::Value v;
        v["type"] = "message";
        v["caption"] = caption;
        v["text"] = text;
        Emit(Line(v));
        return;
    }
    ClearLive();
    std::string one = text;
    for (char& c : one)
        if (c == '\r' || c == '\n') c = ' ';
    std::fprintf(err_, "%s: %s\n", caption.c_str(), one.c_str());
}

bool CliView::AskYesNo(const std::string& text, const std::string& caption) {
    std::lock_guard lock(mutex_);
    bool answer = answer_.value_or(true);
    if (!answer_ && !json_ && ::isatty(STDIN_FILENO)) {
        ClearLive();
        std::fprintf(err_, "%s: %s [Y/n] ", caption.c_str(), text.c_str());
        std::fflush(err_);
        std::string reply;
        std::getline(std::cin, reply);
        answer = reply.empty() || reply[0] == 'y' || reply[0] == 'Y';
    }
    if (json_) {
        Json::Value v;
        v["type"] = "question";
        v["caption"] = caption;
        v["text"] = text;
        v["answer"] = answer ? "yes" : "no";
        Emit(Line(v));
    } else if (answer_ || !::isatty(STDIN_FILENO)) {
        ClearLive();
        std::fprintf(err_, "%s: %s %s\n", caption.c_str(), text.c_str(), answer ? "yes" : "no");
    }
    return answer;
}

void CliView::OnEvent(const AppEvent& e) {
    if (!json_) return;
    std::lock_guard lock(mutex_);
    Json::Value v;
    v["type"] = "event";
    v["code"] = e.code;
    if (!e.text.empty()) v["text"] = e.text;
    if (!e.file.empty()) v["file"] = e.file;
    if (e.with_statistics) {
        v["seconds"] = e.statistics.seconds;
        v["total_bytes"] = Json::UInt64(e.statistics.total_bytes);
        v["http_bytes"] = Json::UInt64(e.statistics.http_bytes);
        v["peer_bytes"] = Json::UInt64(e.statistics.peer_bytes);
        v["progress"] = e.statistics.progress;
    }
    Emit(Line(v));
}

void CliView::Raise() { Note("another start of the program was handed over to this one"); }

void CliView::Note(const std::string& text) {
    std::lock_guard lock(mutex_);
    if (json_) {
        Json::Value v;
        v["type"] = "note";
        v["text"] = text;
        Emit(Line(v));
        return;
    }
    ClearLive();
    std::fprintf(err_, "%s\n", text.c_str());
}

void CliView::ShowStart(const ControllerView& view, const std::string& save_path) {
    std::lock_guard lock(mutex_);
    if (json_) {
        Json::Value v;
        v["type"] = "start";
        v["state"] = view.state;
        v["state_text"] = StateText(view.state);
        v["save_path"] = save_path;
        Emit(Line(v));
        return;
    }
    ClearLive();
    std::fprintf(err_, "%s; saving to %s\n", StateText(view.state).c_str(), save_path.c_str());
}

void CliView::ShowStatus(const ControllerView& view) {
    std::lock_guard lock(mutex_);
    if (json_) {
        Json::Value v;
        v["type"] = "status";
        v["state"] = view.state;
        v["state_text"] = StateText(view.state);
        v["progress"] = view.progress;
        v["percent"] = view.percent_text;
        v["speed"] = view.speed;
        v["speed_text"] = view.speed_text;
        v["size_text"] = view.size_text;
        v["bytes_on_disk"] = Json::UInt64(view.bytes_on_disk);
        v["disk_warning"] = view.disk_warning;
        if (view.state == kStateMd5Checking || view.state == kStateCheckRecover) {
            v["verify_file"] = view.verify_file;
            v["verify_progress"] = view.verify_progress;
            v["verify_overall"] = view.verify_overall;
            v["repair_progress"] = view.repair_progress;
            v["repair_speed"] = view.repair_speed;
        }
        Json::Value files(Json::arrayValue);
        for (const FileView& f : view.files) {
            Json::Value j;
            j["name"] = f.name;
            j["size"] = Json::UInt64(f.size);
            j["progress"] = f.progress;
            j["speed"] = f.speed;
            j["status"] = f.status;
            j["complete"] = f.complete;
            files.append(j);
        }
        v["files"] = files;
        Emit(Line(v));
        return;
    }
    if (!live_) {
        // Plain output: a line when the state changes, and the progress every second.
        if (view.state != last_plain_state_) {
            std::fprintf(err_, "%s\n", StateText(view.state).c_str());
            last_plain_state_ = view.state;
        }
        return;
    }
    ClearLive();
    std::string text;
    char line[512];
    const bool verifying = view.state == kStateMd5Checking || view.state == kStateCheckRecover;
    std::snprintf(line, sizeof line, "%-30s %8s  %12s  %s\n", StateText(view.state).c_str(),
                  (verifying ? FormatPercent(view.verify_overall) : view.percent_text).c_str(),
                  view.speed_text.c_str(), view.size_text.c_str());
    text += line;
    for (const FileView& f : view.files) {
        std::snprintf(line, sizeof line, "  %-16s %s %8s %12s %10s\n", f.name.c_str(), Bar(f.progress, 30).c_str(),
                      FormatPercent(uint32_t(f.progress)).c_str(), f.complete ? "" : FormatSpeed(uint32_t(f.speed)).c_str(),
                      FormatSize(f.size).c_str());
        text += line;
    }
    std::fputs(text.c_str(), err_);
    std::fflush(err_);
    live_lines_ = 1 + int(view.files.size());
}

void CliView::ShowEnd(const ControllerView& view, int exit_code, const std::string& why) {
    std::lock_guard lock(mutex_);
    if (json_) {
        Json::Value v;
        v["type"] = "end";
        v["state"] = view.state;
        v["state_text"] = StateText(view.state);
        v["exit_code"] = exit_code;
        v["result"] = why;
        Emit(Line(v));
        return;
    }
    ClearLive();
    std::fprintf(err_, "%s (exit %d)\n", why.c_str(), exit_code);
}

}  // namespace zl::app::cli
