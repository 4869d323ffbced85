// Storing validated posts: each event once, the hourly sums and the
// machines' inventory, all in one transaction with the posts it covers.
//
// A retried post repeats its events exactly. An event is identified by its
// machine id, session id and sequence number; today's clients send an empty
// session id and restart the sequence at 0 with every run, so for them the
// key also holds a digest of the info text, and a repeat counts as a retry
// only within `retry_window` seconds of the first (a later run that happens
// to send the same first events is stored again).
#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "tools/zlstats/sql_db.h"
#include "tools/zlstats/stat_event.h"

namespace zl::stats {

struct ReceivedPost {
    std::string address;
    int64_t received_at = 0;  // seconds since 1970
    StatBatch events;
};

struct StoreCounts {
    size_t stored = 0, duplicates = 0;
};

inline constexpr int64_t kDefaultRetryWindow = 120;

// Stores `posts` in one transaction and commits; throws SqlError, and then nothing is stored.
std::vector<StoreCounts> StorePosts(SqlDb& db, const std::vector<const ReceivedPost*>& posts,
                                    int64_t retry_window = kDefaultRetryWindow);

// Sums of byte counts stop at this value rather than overflow (a hostile
// client may send the largest counts the validation lets through).
inline constexpr int64_t kMaxSum = int64_t(1) << 62;
inline int64_t SaturatingAdd(int64_t a, int64_t b) { return a > kMaxSum - b ? kMaxSum : a + b; }

// The histogram class of a speed or a time: 0 for 0, else k for [2^(k-1), 2^k).
int SpreadBucket(uint64_t value);

}  // namespace zl::stats
