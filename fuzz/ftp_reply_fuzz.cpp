// Control-connection bytes from a hostile FTP server: the reply reader (fed
// in pieces), the PASV and SIZE parsers, and the command state machine.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "engine/net/ftp_commands.h"
#include "engine/net/ftp_reply.h"
#include "engine/net/ftp_session.h"

namespace {

void Check(bool ok) {
    if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    const size_t step = 1 + data[0] % 97;
    std::string_view wire(reinterpret_cast<const char*>(data) + 1, size - 1);

    zl::FtpReplyReader reader;
    zl::FtpSession session(zl::FtpSessionConfig{"", "", "/dir/file.bin", "file.bin", (data[0] & 1) != 0});
    size_t reply_bytes = 0;
    for (size_t at = 0; at < wire.size();) {
        std::string_view piece = wire.substr(at, step);
        size_t consumed = 0;
        zl::FtpReplyReader::Status status = reader.Feed(piece, consumed);
        Check(consumed <= piece.size());
        at += consumed;
        reply_bytes += consumed;
        if (status == zl::FtpReplyReader::Status::kError) break;
        if (status == zl::FtpReplyReader::Status::kNeedMore) {
            Check(consumed == piece.size());
            continue;
        }
        Check(reply_bytes <= zl::FtpReplyReader::kMaxReplyBytes);
        reply_bytes = 0;
        const zl::FtpReply& reply = reader.reply();
        Check(reply.code >= 100 && reply.code <= 599);
        if (auto pasv = zl::ParseFtpPasvReply(reply.text)) {
            Check(pasv->port == pasv->numbers[4] * 256 + pasv->numbers[5] && pasv->port != 0);
        }
        if (auto size_value = zl::ParseFtpSizeReply(reply.text)) Check(*size_value >= 0);

        // Drive the session as its peer would.
        if (auto command = session.TakeCommand(true)) {
            Check(command->size() >= 2 && command->compare(command->size() - 2, 2, "\r\n") == 0);
            session.OnCommandFlushed();
        }
        zl::FtpOutcome outcome = session.OnReply(reply);
        switch (outcome.event) {
            case zl::FtpEvent::kConnectData: session.OnDataConnected(16384); break;
            case zl::FtpEvent::kCommandQueued: session.OnCommandFlushed(); break;
            case zl::FtpEvent::kTransferStarted: session.OnTransferClosed(); break;
            case zl::FtpEvent::kFail: session.Reset(); break;
            default: break;
        }
    }
    return 0;
}
