// A connection to an HTTP source: one keep-alive GET with an open-ended byte
// range, whose body is cut into the 16384-byte blocks this peer requested, or
// collected whole in memory for a small resource (whole-content mode).
// Redirects become new source identities handed to the task; they are never
// followed on this connection.
#pragma once
#include <cstdint>
#include <optional>

#include "engine/net/http_response_header.h"
#include "engine/net/http_response_plan.h"
#include "engine/net/http_whole_body.h"
#include "engine/net/peer_object.h"

namespace zl {

class THttpPeer : public TPeerObject {
public:
    // Penalty passes on the source.
    static constexpr int32_t kTimeoutPenalty = 15;
    static constexpr int32_t kServerPenalty = 60;
    // Redirects to the same location beyond this count remove the source.
    static constexpr int32_t kMaxSameRedirects = 2;
    // A source reached through this many redirects makes no further source:
    // a chain of ever new locations ends there.
    static constexpr int32_t kMaxRedirectHops = 10;
    // A server that answered this many ranged requests in a row from byte 0,
    // too far before the wanted block to skip, is rested instead of asked again.
    static constexpr int32_t kMaxIgnoredRanges = 2;
    // Bytes the socket may hold: a skip window plus a few blocks.
    static constexpr int64_t kReceiveLimit = 262144;

    THttpPeer(IPeerTask& task, const SocketEnv& env);

    bool ReceiveStep() override;
    bool SendStep() override;
    bool RequestStep() override;
    void Reset() override;
    bool AttachIdentity(TPeerId* identity) override;
    bool IsTimedOut() override;
    void ReleaseRange() override;

    bool header_received() const { return header_received_; }
    int64_t stream_offset() const { return stream_offset_; }
    int64_t skip() const { return skip_; }
    bool no_content_length() const { return no_content_length_; }
    int64_t request_start() const { return request_start_; }
    const HttpResponseHeader& response_header() const { return reader_.header(); }

protected:
    ~THttpPeer() override;

private:
    void ClearResponse();
    bool OnHeader();
    bool TakeData(const HttpResponsePlan& plan);
    bool FollowRedirect(const HttpResponsePlan& plan);
    bool ReadWholeContent(bool read);
    bool ReadBlocks(bool read);
    // Receives the next wanted blocks straight into the piece map's memory
    // when nothing is buffered: -1 the connection failed, 0 not possible
    // now (read the usual way), 1 done for this pass.
    int ReceiveInPlace();
    bool Restart();

    HttpHeaderReader reader_;
    std::optional<HttpWholeBody> body_;
    bool header_received_ = false;
    bool no_content_length_ = false;
    bool range_ignored_ = false;  // the current response ignored our Range
    int64_t request_start_ = 0;   // the start sent in Range
    int64_t stream_offset_ = 0;   // file offset of the next body byte
    int64_t body_end_ = -1;       // file offset where this response's body ends, -1 unknown
    int64_t skip_ = 0;            // body bytes to discard before the next wanted block
};

}  // namespace zl
