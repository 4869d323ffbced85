// The command sequence of an FTP source as a pure state machine: it is told
// what arrived on the control connection and what happened to the data
// connection, and answers with the command to write or the action to take.
//
//   greeting 220 -> user -> (331) pass -> (230/332) cwd -> (250) size -> (213)
//   type i -> (200) pasv -> (227, data connected) rest -> (350) retr ->
//   (125/150) transfer -> data closed -> (226/250/426) pasv ...
// A 230 answer to "user" needs no password and goes straight to "cwd".
#pragma once
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "engine/net/ftp_reply.h"

namespace zl {

enum class FtpStep : int {
    kTransfer = 0,
    kGreeting = 1,
    kUser = 2,
    kPass = 3,
    kCwd = 4,
    kSize = 5,
    kType = 6,
    kPasv = 7,
    kRest = 8,
    kRetr = 9,
    kTransferEnd = 11,
};

enum class FtpPhase : int {
    kQueue = 0,       // the step's command is still to be queued
    kFlushing = 1,    // a command is queued and being written
    kAwaitReply = 2,  // waiting for a reply (or for data in the transfer step)
};

struct FtpSessionConfig {
    std::string user;       // empty: anonymous
    std::string password;   // empty with an empty user: the anonymous password
    std::string path;       // the URL path, sent with "retr"
    std::string file_name;  // sent with "size"
    bool whole_content = false;
};

enum class FtpEvent {
    kWait,             // nothing to do yet
    kNextStep,         // advanced; the next command is queued on the next request pass
    kCommandQueued,    // `command` is to be written now
    kConnectData,      // open the data connection to the control address on `data_port`
    kTransferStarted,  // the server sends the file on the data connection
    kTransferEnded,    // the server confirmed the end of a transfer; a new pasv follows
    kFail,             // end the peer (with `penalise` when the server answered 5xx)
};

struct FtpOutcome {
    FtpEvent event = FtpEvent::kWait;
    std::string command;           // kCommandQueued
    uint16_t data_port = 0;        // kConnectData
    int64_t content_length = -1;   // set by the 213 answer to "size"
    bool penalise = false;         // a 5xx reply: rest the source 60 passes
    bool logged_in = false;        // the greeting arrived (connection state 2)
    std::string_view problem;      // kFail
};

class FtpSession {
public:
    explicit FtpSession(FtpSessionConfig config);

    FtpStep step() const { return step_; }
    FtpPhase phase() const { return phase_; }

    // Request pass: in phase kQueue, the command of steps user to pasv (pasv
    // only when `have_work`), after which the phase is kFlushing. Nothing in
    // other steps or phases.
    std::optional<std::string> TakeCommand(bool have_work);

    // Send pass: the queued command has been written completely.
    void OnCommandFlushed();

    // A complete reply in phase kAwaitReply (any step except the transfer).
    FtpOutcome OnReply(const FtpReply& reply);

    // The data connection asked for by kConnectData is open: "rest offset"
    // is queued and the step becomes rest.
    FtpOutcome OnDataConnected(int64_t offset);

    // The data connection was closed (end of file, error, released range or
    // restart at another offset). During a transfer the server's
    // end-of-transfer reply is awaited; before the data connection was open a
    // new "pasv" is queued; with "rest" or "retr" in flight the conversation
    // cannot be resumed and false asks the caller to end the peer.
    bool OnTransferClosed();

    // Back to the start: wait for a new greeting.
    void Reset();

private:
    FtpOutcome Advance(FtpStep next, FtpPhase phase);
    FtpOutcome Fail(const FtpReply& reply, std::string_view problem);

    FtpSessionConfig config_;
    bool config_safe_ = true;
    FtpStep step_ = FtpStep::kGreeting;
    FtpPhase phase_ = FtpPhase::kAwaitReply;
    bool awaiting_data_connect_ = false;
};

// A transfer keeps serving the wanted block when it is at most this far ahead
// of the data stream; otherwise the data connection is closed and restarted.
constexpr int64_t kFtpMaxSkip = 81920;

// Bytes to discard before `wanted_offset`, or nullopt when the transfer must restart.
std::optional<int64_t> FtpStreamSkip(int64_t wanted_offset, int64_t stream_offset);

// Seconds without progress before the peer gives up: 15 during a transfer,
// 30 while a command runs, doubled while the rate is 1 to 2047 bytes/s.
int FtpTimeoutSeconds(FtpStep step, int64_t rate_bytes_per_second);

}  // namespace zl
