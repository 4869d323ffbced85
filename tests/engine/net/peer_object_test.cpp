#include "engine/net/peer_object.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/engine/net/fake_peer_task.h"

namespace zl {
namespace {

using test::FakePeerTask;
using test::TestPeer;

constexpr int64_t kPiece = 4 * kBlockSize;  // four blocks per piece

RefPtr<TestPeer> MakePeer(FakePeerTask& task, int32_t kind, bool connected = true) {
    auto peer = RefPtr<TestPeer>::Adopt(new TestPeer(task, kind));
    if (connected) peer->SetConnected();
    return peer;
}

std::vector<int64_t> Blocks(const TPeerObject& peer) {
    std::vector<int64_t> blocks;
    for (const RequestRecord& r : peer.outstanding().records()) blocks.push_back(r.block);
    return blocks;
}

void DeliverAll(TPeerObject& peer) {
    const uint8_t data[kBlockSize] = {};
    std::vector<RequestRecord> all(peer.outstanding().records().begin(), peer.outstanding().records().end());
    for (const RequestRecord& r : all) ASSERT_TRUE(peer.DeliverBlock(r.block, r.length, data));
}

TEST(PeerObject, DeliverBlockTakesOnlyRequestedBlocks) {
    FakePeerTask task(4, kPiece);
    auto peer = MakePeer(task, kKindHttp);
    ASSERT_TRUE(peer->RequestStep());
    EXPECT_EQ(Blocks(*peer), (std::vector<int64_t>{0, 1, 2, 3}));
    const uint8_t data[kBlockSize] = {};

    EXPECT_FALSE(peer->DeliverBlock(5, kBlockSize, data));  // piece 1 was never requested
    EXPECT_FALSE(peer->DeliverBlock(0, 100, data));         // wrong length
    EXPECT_FALSE(peer->DeliverBlock(-1, kBlockSize, data));
    EXPECT_FALSE(peer->DeliverBlock(0, kBlockSize, nullptr));
    EXPECT_EQ(task.writes, 0);

    EXPECT_TRUE(peer->DeliverBlock(0, kBlockSize, data));
    EXPECT_EQ(task.writes, 1);
    EXPECT_TRUE(task.present[0][0]);
    EXPECT_FALSE(peer->DeliverBlock(0, kBlockSize, data));  // no longer outstanding
    EXPECT_EQ(peer->outstanding().size(), 3u);
    EXPECT_EQ(task.kind_bytes[1], kBlockSize);
    EXPECT_EQ(peer->no_data_passes(), -2);

    // A block handed back to the task's shared list may be delivered by anyone.
    RequestRecord shared;
    shared.block = 9;
    shared.length = kBlockSize;
    shared.piece = 2;
    task.shared.push_back(shared);
    EXPECT_TRUE(peer->DeliverBlock(9, kBlockSize, data));
    EXPECT_TRUE(task.shared.empty());

    auto offline = MakePeer(task, kKindHttp, false);
    EXPECT_FALSE(offline->DeliverBlock(1, kBlockSize, data));
    task.has_metadata = false;
    EXPECT_TRUE(peer->DeliverBlock(1, kBlockSize, data));  // accepted silently, not written
    EXPECT_EQ(task.writes, 2);
}

TEST(PeerObject, NodeMatchesOnlySentRequestsAndDepthIsCapped) {
    FakePeerTask task(2, 512 * kBlockSize);  // 8 MiB pieces
    auto peer = MakePeer(task, kKindNode);
    peer->SetRate(10'000'000);  // the uncapped target would be 1222
    ASSERT_TRUE(peer->RequestStep());
    EXPECT_EQ(peer->outstanding().size(), static_cast<size_t>(TPeerObject::kMaxQueueDepth));
    EXPECT_EQ(task.shared.size(), 512u - TPeerObject::kMaxQueueDepth);  // the rest waits in the shared list

    const uint8_t data[kBlockSize] = {};
    EXPECT_FALSE(peer->DeliverBlock(3, kBlockSize, data));  // queued but not sent yet
    peer->outstanding().Find(3)->sent = true;
    EXPECT_TRUE(peer->DeliverBlock(3, kBlockSize, data));
    EXPECT_EQ(task.kind_bytes[0], kBlockSize);

    // In endgame a block already in the shared list is not listed twice.
    auto second = MakePeer(task, kKindNode);
    task.endgame = true;
    const size_t shared_before = task.shared.size();
    second->SetRate(0);
    ASSERT_TRUE(second->RequestStep());
    EXPECT_EQ(task.shared.size(), shared_before);
}

TEST(PeerObject, ServerFollowsAReaderThatJumpsMoreThanSixPieces) {
    FakePeerTask task(40, kPiece);
    auto peer = MakePeer(task, kKindHttp);
    ASSERT_TRUE(peer->RequestStep());
    ASSERT_NE(peer->range(), nullptr);
    EXPECT_EQ(peer->range()->first, 0);
    EXPECT_EQ(peer->range()->last, 39);
    DeliverAll(*peer);

    task.position = 6;  // six pieces away: stay on the range
    ASSERT_TRUE(peer->RequestStep());
    EXPECT_EQ(Blocks(*peer), (std::vector<int64_t>{4, 5, 6, 7}));
    DeliverAll(*peer);

    task.position = 13;  // seven away: take a new range from the position
    TPieceRange* old_range = peer->range();
    ASSERT_TRUE(peer->RequestStep());
    ASSERT_NE(peer->range(), nullptr);
    EXPECT_NE(peer->range(), old_range);
    EXPECT_EQ(peer->range()->first, 13);
    EXPECT_EQ(peer->range()->last, 39);
    EXPECT_EQ(peer->range()->owner, peer.get());
    EXPECT_EQ(old_range->owner, nullptr);
    EXPECT_EQ(old_range->last, 12);
    EXPECT_EQ(Blocks(*peer), (std::vector<int64_t>{52, 53, 54, 55}));
    EXPECT_EQ(peer->position_snapshot(), 13);

    // BitTorrent peers never follow the reader.
    FakePeerTask bt_task(40, kPiece);
    auto node = MakePeer(bt_task, kKindNode);
    bt_task.position = 30;
    ASSERT_TRUE(node->RequestStep());
    EXPECT_EQ(node->outstanding().records().front().piece, 0);
}

TEST(PeerObject, RangesAreWalkedFinishedAndReplaced) {
    FakePeerTask task(3, kPiece);
    task.planned_ranges = {{0, 1}, {2, 2}};
    auto peer = MakePeer(task, kKindFtp);
    ASSERT_TRUE(peer->RequestStep());
    EXPECT_EQ(task.ranges.size(), 2u);
    EXPECT_EQ(peer->range()->first, 0);
    DeliverAll(*peer);
    ASSERT_TRUE(peer->RequestStep());
    EXPECT_EQ(peer->outstanding().records().front().piece, 1);
    DeliverAll(*peer);
    ASSERT_TRUE(peer->RequestStep());  // the first range is complete: removed, the next one claimed
    EXPECT_EQ(task.ranges.size(), 1u);
    EXPECT_EQ(peer->range()->first, 2);
    EXPECT_EQ(peer->outstanding().records().front().piece, 2);
    DeliverAll(*peer);
    EXPECT_TRUE(task.IsComplete());
    EXPECT_EQ(peer->NextPiece(), -1);
    EXPECT_EQ(peer->range(), nullptr);
    EXPECT_TRUE(task.ranges.empty());
}

TEST(PeerObject, AnUnfinishedRangeIsLeftIncompleteForOthers) {
    FakePeerTask task(2, kPiece);
    task.planned_ranges = {{0, 1}};
    auto peer = MakePeer(task, kKindHttp);
    ASSERT_TRUE(peer->RequestStep());   // piece 0
    peer->outstanding().Clear();        // its requests went elsewhere
    EXPECT_EQ(peer->NextPiece(), 1);
    peer->outstanding().Clear();
    TPieceRange* range = peer->range();
    EXPECT_EQ(peer->NextPiece(), -1);   // end of the range; pieces 0 and 1 still wanted
    EXPECT_TRUE(range->finished);
    EXPECT_TRUE(range->incomplete);
    EXPECT_EQ(range->owner, nullptr);
    EXPECT_EQ(task.ranges.size(), 1u);
}

TEST(PeerObject, HashFailureAndEndgameCleanup) {
    FakePeerTask task(2, kPiece);
    task.bad_pieces = {0};
    auto peer = MakePeer(task, kKindHttp);
    ASSERT_TRUE(peer->RequestStep());
    const uint8_t data[kBlockSize] = {};
    for (int64_t b = 0; b < 3; ++b) EXPECT_TRUE(peer->DeliverBlock(b, kBlockSize, data));
    EXPECT_FALSE(peer->DeliverBlock(3, kBlockSize, data));
    EXPECT_EQ(task.failed_pieces, (std::vector<int32_t>{0}));
    EXPECT_EQ(peer->errors(), 1);

    FakePeerTask end(1, kPiece);
    end.endgame = true;
    end.force_complete = true;  // another peer completed the rest
    auto node = MakePeer(end, kKindNode);
    node->SetRate(1 << 20);
    ASSERT_TRUE(node->RequestStep());
    ASSERT_EQ(node->outstanding().size(), 4u);
    node->outstanding().Find(0)->sent = true;
    node->outstanding().Find(1)->sent = true;
    EXPECT_TRUE(node->DeliverBlock(0, kBlockSize, data));
    EXPECT_EQ(Blocks(*node), (std::vector<int64_t>{1}));  // the unsent requests of the piece are dropped
}

TEST(PeerObject, ResetHandsBackAndDetaches) {
    FakePeerTask task(4, kPiece);
    auto identity = RefPtr<TPeerId>::Adopt(new TPeerId("http://h/f"));
    identity->address = 0x0200007F;
    identity->port = 80;
    identity->open_connections = 1;
    auto peer = MakePeer(task, kKindHttp, false);
    EXPECT_FALSE(peer->AttachIdentity(nullptr));
    ASSERT_TRUE(peer->AttachIdentity(identity.get()));
    EXPECT_FALSE(peer->AttachIdentity(identity.get()));  // unchanged
    EXPECT_EQ(identity->RefCount(), 2);
    EXPECT_EQ(peer->Info(0)->attach_time, task.EngineSeconds());
    EXPECT_EQ(peer->Info(1), nullptr);
    ASSERT_NE(peer->socket(), nullptr);
    peer->SetConnected();
    ASSERT_TRUE(peer->RequestStep());
    TPieceRange* range = peer->range();
    ASSERT_NE(range, nullptr);

    peer->Reset();
    EXPECT_EQ(task.returned, 4u);
    EXPECT_EQ(task.shared.size(), 4u);
    EXPECT_EQ(range->owner, nullptr);
    EXPECT_EQ(identity->RefCount(), 1);
    EXPECT_EQ(identity->open_connections, 0);
    EXPECT_NE(peer->socket(), nullptr);
    EXPECT_FALSE(peer->IsConnected());
    EXPECT_TRUE(peer->ShouldDisconnect(true));

    auto unusable = RefPtr<TPeerId>::Adopt(new TPeerId("http://h/f"));
    unusable->port = 80;  // no address
    EXPECT_FALSE(peer->AttachIdentity(unusable.get()));
}

TEST(PeerObject, DiscardedRangeGivesItsPiecesBack) {
    FakePeerTask task(10, kPiece);
    task.planned_ranges = {{0, 9}};
    auto peer = MakePeer(task, kKindHttp);
    peer->NextPiece();
    peer->NextPiece();
    peer->NextPiece();  // current piece 2
    peer->range()->discard = true;
    peer->ReleaseRange();
    EXPECT_EQ(task.not_requested, (std::vector<int32_t>{0, 1}));
    EXPECT_TRUE(task.ranges.empty());
    EXPECT_EQ(peer->range(), nullptr);
}

class StepPeer : public test::TestPeer {
public:
    using TestPeer::TestPeer;
    std::string order;
    std::string fail_at;
    bool Step(const char* name) {
        order += name;
        return fail_at != name;
    }
    bool ReceiveStep() override { return Step("R"); }
    bool RequestStep() override { return Step("Q"); }
    bool SendRequests() override { return Step("S"); }
    bool SendStep() override { return Step("W"); }
    bool UploadStep() override { return Step("U"); }
};

TEST(PeerObject, PassesRunTheirStepsInOrder) {
    FakePeerTask task(1, kPiece);
    auto peer = RefPtr<StepPeer>::Adopt(new StepPeer(task, kKindNode));
    EXPECT_FALSE(peer->DownloadPass());  // not connected
    peer->SetConnected();
    EXPECT_TRUE(peer->DownloadPass());
    EXPECT_TRUE(peer->UploadPass());
    EXPECT_EQ(peer->order, "RQSWU");
    peer->order.clear();
    peer->fail_at = "Q";
    EXPECT_FALSE(peer->DownloadPass());
    EXPECT_EQ(peer->order, "RQ");
    peer->fail_at.clear();
    task.p2p = false;
    EXPECT_FALSE(peer->DownloadPass());

    auto server = RefPtr<StepPeer>::Adopt(new StepPeer(task, kKindHttp));
    server->SetConnected();
    EXPECT_TRUE(server->DownloadPass());  // the P2P switch does not apply to servers
    EXPECT_TRUE(server->UploadPass());
    EXPECT_EQ(server->order, "RQSW");
}

TEST(RequestList, IndexFollowsEveryChange) {
    RequestList list;
    for (int64_t b = 0; b < 6; ++b) list.Add({b, 16384, 0, static_cast<int32_t>(b / 2), false});
    EXPECT_FALSE(list.Add({3, 16384, 0, 1, false}));
    EXPECT_TRUE(list.HasPiece(1));
    EXPECT_TRUE(list.Take(2, 16384, false));
    EXPECT_TRUE(list.Take(3, 16384, false));
    EXPECT_FALSE(list.HasPiece(1));
    EXPECT_FALSE(list.Take(4, 100, false));
    list.Find(4)->sent = true;
    EXPECT_EQ(list.DropUnsent(2), 1u);
    EXPECT_TRUE(list.Contains(4));
    EXPECT_FALSE(list.Contains(5));
    EXPECT_EQ(list.TakeAll().size(), 3u);
    EXPECT_TRUE(list.empty());
    EXPECT_FALSE(list.HasPiece(0));
}

}  // namespace
}  // namespace zl
