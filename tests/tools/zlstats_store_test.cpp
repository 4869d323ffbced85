// The store under the service, on SQLite and, when ZL_TEST_POSTGRES_URL names
// a server (tests/tools/with_postgres.py starts one), on PostgreSQL: events
// stored once however often a post is retried, the summary's figures over any
// period equal to a count made from the events themselves, and migrations.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>

#include "tests/support/temp_dir.h"
#include "tests/tools/zlstats_test_posts.h"
#include "tools/zlstats/event_store.h"
#include "tools/zlstats/post_parser.h"
#include "tools/zlstats/schema.h"
#include "tools/zlstats/summary.h"

namespace zl::stats {
namespace {

using test::ClientInfo;
using test::Compact;
using test::FormBody;

constexpr int64_t kT0 = 1'790'000'000 - 1'790'000'000 % 3600;  // an hour's start

class ZlstatsStore : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        if (std::string(GetParam()) == "postgres") {
            const char* url = std::getenv("ZL_TEST_POSTGRES_URL");
            if (!url || !*url) GTEST_SKIP() << "no PostgreSQL: tests/tools/with_postgres.py runs these against one";
            target_ = url;
            // A clean database for each test.
            auto db = OpenDatabase(target_);
            db->Exec("DROP SCHEMA public CASCADE; CREATE SCHEMA public");
        } else {
            target_ = dir_.path() + "/stats.db";
        }
        db_ = OpenDatabase(target_);
        MigrateSchema(*db_);
    }

    StatBatch Parse(const std::string& body) {
        auto parsed = ParsePost(body);
        if (auto* refused = std::get_if<PostRefused>(&parsed)) ADD_FAILURE() << refused->reason;
        return std::get<StatBatch>(parsed);
    }

    StoreCounts Store(const std::string& body, int64_t at, int64_t window = kDefaultRetryWindow) {
        ReceivedPost post{"127.0.0.9", at, Parse(body)};
        return StorePosts(*db_, {&post}, window)[0];
    }

    int64_t Count(const std::string& sql) { return AsInt(db_->Query(sql, {})[0][0]); }

    zl::test::TempDir dir_{"zlstats-store"};
    std::string target_;
    std::unique_ptr<SqlDb> db_;
};

TEST_P(ZlstatsStore, ARetriedPostIsStoredOnce) {
    const std::string body = FormBody({{"11010000", Compact(ClientInfo(0))}, {"11030000", Compact(ClientInfo(1))}});
    EXPECT_EQ(Store(body, kT0).stored, 2u);
    const StoreCounts again = Store(body, kT0 + 6);  // the next URL, after a lost answer
    EXPECT_EQ(again.stored, 0u);
    EXPECT_EQ(again.duplicates, 2u);
    // Two copies inside one transaction count once too.
    ReceivedPost a{"127.0.0.9", kT0 + 7, Parse(FormBody({{"11050000", Compact(ClientInfo(2))}}))};
    const auto both = StorePosts(*db_, {&a, &a});
    EXPECT_EQ(both[0].stored + both[1].stored, 1u);
    EXPECT_EQ(Count("SELECT count(*) FROM events"), 3);
}

TEST_P(ZlstatsStore, TheSameFirstEventsOfALaterRunAreStoredAgain) {
    // Today's clients send no session id and start the sequence at 0 in every
    // run: past the retry window, an identical event is a new one.
    const std::string body = FormBody({{"11010000", Compact(ClientInfo(0))}});
    EXPECT_EQ(Store(body, kT0).stored, 1u);
    EXPECT_EQ(Store(body, kT0 + kDefaultRetryWindow - 1).stored, 0u);
    EXPECT_EQ(Store(body, kT0 + 2 * kDefaultRetryWindow).stored, 1u);
    // A different event under the same sequence (another run) is never a retry.
    EXPECT_EQ(Store(FormBody({{"11020000", Compact(ClientInfo(0))}}), kT0 + 1).stored, 1u);
    EXPECT_EQ(Count("SELECT count(*) FROM events"), 3);
}

TEST_P(ZlstatsStore, WithASessionIdTheKeyAloneDecides) {
    const std::string first = FormBody({{"11010000", Compact(ClientInfo(5, {{"Sessionid", "run-1"}}))}});
    const std::string changed = FormBody({{"11020000", Compact(ClientInfo(5, {{"Sessionid", "run-1"}}))}});
    EXPECT_EQ(Store(first, kT0).stored, 1u);
    EXPECT_EQ(Store(first, kT0 + 100000).stored, 0u);
    EXPECT_EQ(Store(changed, kT0 + 1).stored, 0u);
    EXPECT_EQ(Store(FormBody({{"11010000", Compact(ClientInfo(5, {{"Sessionid", "run-2"}}))}}), kT0 + 2).stored, 1u);
}

TEST_P(ZlstatsStore, FreeTextsAreStoredVerbatim) {
    const std::string sql = "x'); DROP TABLE events; -- \"q\" 网络";
    Store(FormBody({{"11990202", Compact(ClientInfo(0, {{"Errormsg", sql}}))}}), kT0);
    EXPECT_EQ(AsText(db_->Query("SELECT error_msg FROM events", {})[0][0]), sql);
    EXPECT_EQ(Count("SELECT count(*) FROM events"), 1);
}

// Random events over a few hours; every period's summary must equal what
// the events themselves add up to.
TEST_P(ZlstatsStore, SummaryOfAnyPeriodEqualsTheEventsCounted) {
    const uint64_t seed = std::random_device{}();
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::mt19937_64 random(seed);
    static const char* const kCodes[] = {"11010000", "11050000", "11060000", "11100003", "11100004", "11990202",
                                         "11500105"};
    struct Plain {
        int64_t at;
        std::string code;
        int64_t server, peer, speed, time;
    };
    std::vector<Plain> plain;
    for (int p = 0; p < 60; ++p) {
        const int64_t at = kT0 + int64_t(random() % (4 * 3600));
        std::vector<std::pair<std::string, std::string>> items;
        for (int i = 0; i < 5; ++i) {
            Plain e{at, kCodes[random() % 7], int64_t(random() % 100000), int64_t(random() % 100000),
                    int64_t(random() % 5000000), int64_t(random() % 7200)};
            items.emplace_back(e.code, Compact(ClientInfo(uint64_t(p * 5 + i),
                                                          {{"Inhttptotalbytes", std::to_string(e.server)},
                                                           {"Inp2ptotalbytes", std::to_string(e.peer)},
                                                           {"Averagespeed", std::to_string(e.speed)},
                                                           {"Totaltime", std::to_string(e.time)},
                                                           {"OS", p % 2 ? "611640" : "610642"}})));
            plain.push_back(e);
        }
        Store(FormBody(items), at);
    }
    const std::vector<std::pair<int64_t, int64_t>> periods = {
        {kT0, kT0 + 4 * 3600}, {kT0 + 1234, kT0 + 3 * 3600 + 17}, {kT0 + 100, kT0 + 2000},
        {kT0 + 3600, kT0 + 7200}, {kT0 - 50000, kT0 + 50000}, {kT0 + 7000, kT0 + 7000}};
    for (const auto& [from, to] : periods) {
        SCOPED_TRACE("period " + std::to_string(from - kT0) + ".." + std::to_string(to - kT0));
        const Summary s = Summarize(*db_, from, to);
        int64_t events = 0, server = 0, peer = 0, begun = 0, completed = 0, failed = 0, repaired = 0, verified = 0;
        std::map<int, int64_t> speeds;
        for (const Plain& e : plain) {
            if (e.at < from || e.at >= to) continue;
            ++events;
            server += e.server;
            peer += e.peer;
            begun += e.code == "11010000";
            completed += e.code == "11060000";
            repaired += e.code == "11100003";
            verified += e.code == "11100004";
            failed += e.code == "11990202";
            if (e.code == "11060000") ++speeds[SpreadBucket(uint64_t(e.speed))];
        }
        EXPECT_EQ(s.events, events);
        EXPECT_EQ(s.server_bytes, server);
        EXPECT_EQ(s.peer_bytes, peer);
        EXPECT_EQ(s.begun, begun);
        EXPECT_EQ(s.completed, completed);
        EXPECT_EQ(s.repaired, repaired);
        EXPECT_EQ(s.verified, verified);
        EXPECT_EQ(s.failed, failed);
        EXPECT_EQ(s.speed_buckets, speeds);
        int64_t hourly_server = 0;
        for (const HourFigures& h : s.hours) {
            EXPECT_GE(h.hour, from - 3600);
            hourly_server += h.server_bytes;
        }
        EXPECT_EQ(hourly_server, server);
        if (events > 0) {
            EXPECT_EQ(s.machines, 1);
        }
    }
}

TEST_P(ZlstatsStore, MigrationsRunOnceAndANewerSchemaIsRefused) {
    EXPECT_EQ(MigrateSchema(*db_), LatestSchemaVersion());  // already there: nothing to do
    db_->Query("UPDATE schema_version SET version = ?", {int64_t(LatestSchemaVersion() + 1)});
    auto other = OpenDatabase(target_);
    EXPECT_THROW(MigrateSchema(*other), SqlError);
}

INSTANTIATE_TEST_SUITE_P(Backends, ZlstatsStore, ::testing::Values("sqlite", "postgres"),
                         [](const auto& info) { return std::string(info.param); });

TEST(ZlstatsSummary, Labels) {
    EXPECT_EQ(OsLabel("610642"), "OS 610, 64-bit, other code page");
    EXPECT_EQ(OsLabel("611320"), "OS 611, 32-bit, Chinese code page");
    EXPECT_EQ(MemoryLabel("16663420928"), "16 GiB");
    EXPECT_EQ(MemoryLabel(""), "unknown");
    EXPECT_EQ(SpreadBucket(0), 0);
    EXPECT_EQ(SpreadBucket(1), 1);
    EXPECT_EQ(SpreadBucket(1023), 10);
    EXPECT_EQ(SpreadBucket(1024), 11);
}

}  // namespace
}  // namespace zl::stats
