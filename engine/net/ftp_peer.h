// A connection to an FTP source: a control connection that logs in and
// asks for passive transfers from an offset ("rest"), and a data connection
// whose bytes are cut into the 16384-byte blocks this peer requested, or
// collected whole in memory (whole-content mode). When the wanted offset
// moves away from the data stream the transfer is closed and started afresh.
#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/net/ftp_reply.h"
#include "engine/net/ftp_session.h"
#include "engine/net/peer_object.h"

namespace zl {

class TFtpPeer : public TPeerObject {
public:
    static constexpr int32_t kTimeoutPenalty = 15;
    static constexpr int32_t kServerPenalty = 60;
    // Bytes the control socket may hold (one reply is at most 64 KiB).
    static constexpr int64_t kControlLimit = 131072;
    // Bytes the data socket may hold: the skip window plus a few blocks.
    static constexpr int64_t kDataLimit = 262144;
    // Transfers in a row that the server ends without a whole block before
    // the source is rested (replies alone never let the peer time out).
    static constexpr int32_t kMaxEmptyTransfers = 3;

    TFtpPeer(IPeerTask& task, const SocketEnv& env);

    bool ReceiveStep() override;
    bool SendStep() override;
    bool RequestStep() override;
    void Reset() override;
    bool AttachIdentity(TPeerId* identity) override;
    bool IsTimedOut() override;
    void ReleaseRange() override;

    FtpStep step() const { return session_ ? session_->step() : FtpStep::kGreeting; }
    FtpPhase phase() const { return session_ ? session_->phase() : FtpPhase::kAwaitReply; }
    int64_t stream_offset() const { return stream_offset_; }
    int64_t skip() const { return skip_; }
    bool saw_4xx() const { return saw_4xx_; }
    bool saw_5xx() const { return saw_5xx_; }
    TSocket* data_socket() const { return data_.get(); }
    void AddWaitEntries(std::vector<pollfd>& entries) const override {
        TPeerObject::AddWaitEntries(entries);
        if (data_) data_->AddWaitEntry(entries);
    }

protected:
    ~TFtpPeer() override;
    uint64_t PassBytesReceived() const override { return data_ ? data_->bytes_received() : 0; }

private:
    bool SendCommand(const std::string& line);
    bool HandleReplies();
    bool HandleOutcome(const FtpOutcome& outcome);
    bool ConnectData(uint16_t port);
    bool ReadWholeContent();
    bool ReadBlocks();
    // 1 delivered or waiting, 0 the transfer must restart, -1 a block was refused.
    int DataStep();
    // Closes the data connection; false when the conversation cannot go on.
    bool EndTransfer();
    // The server ended the data connection: EndTransfer, or false with the
    // source rested after kMaxEmptyTransfers transfers without a block.
    bool ServerEndedTransfer();

    std::optional<FtpSession> session_;
    FtpReplyReader reader_;
    std::unique_ptr<TSocket> data_;
    bool saw_4xx_ = false;
    bool saw_5xx_ = false;
    bool broken_ = false;        // a transfer was cut where the server cannot follow
    int64_t stream_offset_ = 0;  // file offset of the next byte on the data connection
    int64_t skip_ = 0;           // data bytes to discard before the next wanted block
    int32_t empty_transfers_ = 0;  // transfers in a row the server ended without a block
    int64_t transfer_start_bytes_ = 0;  // bytes delivered before the current transfer
};

}  // namespace zl
