#include "engine/net/ftp_session.h"

#include <utility>

#include "engine/net/ftp_commands.h"

namespace zl {

FtpSession::FtpSession(FtpSessionConfig config) : config_(std::move(config)) {
    if (config_.user.empty()) {
        config_.user = std::string(kFtpAnonymousUser);
        if (config_.password.empty()) config_.password = std::string(kFtpAnonymousPassword);
    }
    for (std::string_view field : {std::string_view(config_.user), std::string_view(config_.password),
                                   std::string_view(config_.path), std::string_view(config_.file_name)}) {
        if (!FtpCommandLine("x", field)) config_safe_ = false;
    }
}

void FtpSession::Reset() {
    step_ = FtpStep::kGreeting;
    phase_ = FtpPhase::kAwaitReply;
    awaiting_data_connect_ = false;
}

std::optional<std::string> FtpSession::TakeCommand(bool have_work) {
    if (phase_ != FtpPhase::kQueue) return std::nullopt;
    std::optional<std::string> line;
    switch (step_) {
        case FtpStep::kUser: line = FtpCommandLine("user", config_.user); break;
        case FtpStep::kPass: line = FtpCommandLine("pass", config_.password); break;
        case FtpStep::kCwd: line = FtpCommandLine("cwd", FtpDirectoryOf(config_.path)); break;
        case FtpStep::kSize: line = FtpCommandLine("size", config_.file_name); break;
        case FtpStep::kType: line = FtpCommandLine("type", "i"); break;
        case FtpStep::kPasv:
            if (have_work || config_.whole_content) line = FtpCommandLine("pasv");
            break;
        default: break;
    }
    if (line) phase_ = FtpPhase::kFlushing;
    return line;
}

void FtpSession::OnCommandFlushed() {
    if (phase_ == FtpPhase::kFlushing) phase_ = FtpPhase::kAwaitReply;
}

FtpOutcome FtpSession::Advance(FtpStep next, FtpPhase phase) {
    step_ = next;
    phase_ = phase;
    FtpOutcome outcome;
    outcome.event = FtpEvent::kNextStep;
    return outcome;
}

FtpOutcome FtpSession::Fail(const FtpReply& reply, std::string_view problem) {
    FtpOutcome outcome;
    outcome.event = FtpEvent::kFail;
    outcome.penalise = reply.code >= 500 && reply.code <= 599;
    outcome.problem = problem;
    return outcome;
}

FtpOutcome FtpSession::OnReply(const FtpReply& reply) {
    if (phase_ != FtpPhase::kAwaitReply || step_ == FtpStep::kTransfer || awaiting_data_connect_) {
        return Fail(reply, "reply out of turn");
    }
    const int code = reply.code;
    switch (step_) {
        case FtpStep::kGreeting:
            if (code == 120) return FtpOutcome{};  // "ready in a few minutes": the 220 follows
            if (code != 220) break;
            if (!config_safe_) return Fail(reply, "login or path holds a line break");
            {
                FtpOutcome outcome = Advance(FtpStep::kUser, FtpPhase::kQueue);
                outcome.logged_in = true;
                return outcome;
            }
        case FtpStep::kUser:
            if (code == 331) return Advance(FtpStep::kPass, FtpPhase::kQueue);
            if (code == 230) return Advance(FtpStep::kCwd, FtpPhase::kQueue);  // no password needed
            break;
        case FtpStep::kPass:
            if (code == 230 || code == 332) return Advance(FtpStep::kCwd, FtpPhase::kQueue);
            break;
        case FtpStep::kCwd:
            if (code == 250) return Advance(FtpStep::kSize, FtpPhase::kQueue);
            break;
        case FtpStep::kSize:
            if (code == 213) {
                auto size = ParseFtpSizeReply(reply.text);
                if (!size) return Fail(reply, "invalid size reply");
                FtpOutcome outcome = Advance(FtpStep::kType, FtpPhase::kQueue);
                outcome.content_length = *size;
                return outcome;
            }
            break;
        case FtpStep::kType:
            if (code == 200) return Advance(FtpStep::kPasv, FtpPhase::kQueue);
            break;
        case FtpStep::kPasv:
            if (code == 227) {
                auto pasv = ParseFtpPasvReply(reply.text);
                if (!pasv) return Fail(reply, "invalid passive reply");
                awaiting_data_connect_ = true;
                FtpOutcome outcome;
                outcome.event = FtpEvent::kConnectData;
                outcome.data_port = pasv->port;
                return outcome;
            }
            break;
        case FtpStep::kRest:
            if (code == 350) {
                auto line = FtpCommandLine("retr", config_.path);
                if (!line) return Fail(reply, "path holds a line break");
                step_ = FtpStep::kRetr;
                phase_ = FtpPhase::kFlushing;
                FtpOutcome outcome;
                outcome.event = FtpEvent::kCommandQueued;
                outcome.command = std::move(*line);
                return outcome;
            }
            break;
        case FtpStep::kRetr:
            if (code == 125 || code == 150) {
                step_ = FtpStep::kTransfer;
                phase_ = FtpPhase::kAwaitReply;
                FtpOutcome outcome;
                outcome.event = FtpEvent::kTransferStarted;
                return outcome;
            }
            break;
        case FtpStep::kTransferEnd:
            if (code == 226 || code == 250 || code == 426) {
                FtpOutcome outcome = Advance(FtpStep::kPasv, FtpPhase::kQueue);
                outcome.event = FtpEvent::kTransferEnded;
                return outcome;
            }
            break;
        case FtpStep::kTransfer:
            break;
    }
    return Fail(reply, "unexpected reply");
}

FtpOutcome FtpSession::OnDataConnected(int64_t offset) {
    FtpOutcome outcome;
    if (!awaiting_data_connect_ || step_ != FtpStep::kPasv || offset < 0) {
        outcome.event = FtpEvent::kFail;
        outcome.problem = "data connection out of turn";
        return outcome;
    }
    awaiting_data_connect_ = false;
    step_ = FtpStep::kRest;
    phase_ = FtpPhase::kFlushing;
    outcome.event = FtpEvent::kCommandQueued;
    outcome.command = *FtpCommandLine("rest", std::to_string(offset));
    return outcome;
}

bool FtpSession::OnTransferClosed() {
    switch (step_) {
        case FtpStep::kTransfer:
            step_ = FtpStep::kTransferEnd;
            phase_ = FtpPhase::kAwaitReply;
            return true;
        case FtpStep::kPasv:
            if (awaiting_data_connect_) {
                awaiting_data_connect_ = false;
                phase_ = FtpPhase::kQueue;
            }
            return true;
        case FtpStep::kRest:
        case FtpStep::kRetr:
            return false;
        default:
            return true;  // no data connection yet, or its end is already awaited
    }
}

std::optional<int64_t> FtpStreamSkip(int64_t wanted_offset, int64_t stream_offset) {
    int64_t skip = wanted_offset - stream_offset;
    if (skip < 0 || skip > kFtpMaxSkip) return std::nullopt;
    return skip;
}

int FtpTimeoutSeconds(FtpStep step, int64_t rate_bytes_per_second) {
    int limit = step == FtpStep::kTransfer ? 15 : 30;
    if (rate_bytes_per_second >= 1 && rate_bytes_per_second <= 2047) limit *= 2;
    return limit;
}

}  // namespace zl
