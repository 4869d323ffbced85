// The DHT's routing table: the own node id, buckets of at most 10 nodes that
// cover (low, high] ranges of the id space in ascending order and split as
// they fill (at most 160), and the write-token secrets with the tokens other
// nodes gave us. Every operation takes the table's own lock; a caller that
// also holds the DHT lock took that one first.
#pragma once
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "engine/udp/kad_id.h"
#include "engine/udp/kad_node.h"
#include "engine/udp/kad_tokens.h"

namespace zl {

struct KadBucket {
    KadId low;   // exclusive
    KadId high;  // inclusive
    std::vector<KadNode> nodes;  // insertion order; the tail was confirmed last
    uint64_t changed = 0;        // engine seconds

    bool Covers(const KadId& id) const { return low < id && id <= high; }
};

struct KadBucketRange {
    KadId low;
    KadId high;
    uint64_t changed;
};

class KadRoutingTable {
public:
    static constexpr size_t kBucketSize = 10;
    static constexpr size_t kMaxBuckets = 160;
    static constexpr uint64_t kStaleSeconds = 600;
    // A node is marked unanswered after its third failure.
    static constexpr int32_t kFailuresUntilUnanswered = 3;
    static constexpr size_t kClosestCount = 10;

    // Starts with the given own id, one bucket over the whole space and a
    // forced token rotation.
    KadRoutingTable(const KadId& own, uint64_t now);

    KadId OwnId() const;
    void SetOwnId(const KadId& id);

    // Adds or refreshes a node. Returns a node the caller should ping (the
    // weakest member of a full bucket; the newcomer waits on the outcome).
    std::optional<KadNode> Insert(const KadNode& node, bool answered, bool loading, uint64_t now);
    // Replaces `old_node` by `new_node`; returns a node to ping, as Insert.
    std::optional<KadNode> Replace(const KadNode& old_node, const KadNode& new_node, uint64_t now);
    // The node's new failure count, or 3 when it is not in the table.
    int32_t NoteFailure(const KadNode& node);

    // Appends at most 10 nodes nearest to the target that are not in `out` yet.
    void Closest(const KadId& target, bool include_unanswered, std::vector<KadNode>& out) const;
    size_t Count() const;
    size_t AnsweredCount() const;
    // The answered node with the oldest answer; when none answered, the first node.
    std::optional<KadNode> LeastRecentlyAnswered() const;
    std::optional<KadNode> Find(const KadNode& node) const;
    std::vector<KadBucketRange> Ranges() const;
    std::vector<KadBucket> Buckets() const;

    // The node cache text: "d2:id20:<id>5:table<n>:<compact nodes>e".
    std::string Serialise() const;
    // Takes the id and the nodes of a cache text (nodes unanswered). False,
    // and the table unchanged, when the text is not such a dictionary with a
    // 20-byte id.
    bool Load(std::string_view text, uint64_t now);
    // Removes every bucket and received token; the own id stays.
    void Clear();

    std::string MakeToken(uint32_t address, uint16_t port) const;
    bool CheckToken(std::string_view token, uint32_t address, uint16_t port) const;
    // Rotation check (at most once every 180 s unless forced); also forgets
    // received tokens older than 300 s.
    void RotateTokens(uint64_t now, bool force);
    void RememberToken(const KadNode& node, std::string_view token, uint64_t now);
    std::string ReceivedToken(const KadNode& node, uint64_t now) const;

private:
    std::optional<KadNode> InsertLocked(KadNode node, bool answered, bool loading, uint64_t now);
    std::optional<KadNode> ReplaceLocked(const KadNode& old_node, const KadNode& new_node, uint64_t now);
    // Index of the bucket covering the id, creating the first bucket when
    // there is none; -1 for an id no bucket covers (the zero id).
    int BucketOf(const KadId& id);
    int BucketOfConst(const KadId& id) const;
    void Split(size_t index, uint64_t now);

    mutable std::mutex mutex_;
    KadId own_;
    std::vector<KadBucket> buckets_;
    KadTokenSecrets secrets_;
    KadReceivedTokens received_;
};

}  // namespace zl
