// Our DHT node against python3-libtorrent DHT nodes on loopback. libtorrent
// uses 2-byte transaction ids, so its own queries get no answer from us;
// our queries are answered, and our announce is stored, as libtorrent's own
// counters show.
#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <sstream>
#include <string>
#include <thread>

#include "tests/engine/udp/kad_test_support.h"
#include "tests/engine/udp/kad_udp_endpoint.h"
#include "tests/support/wait_for.h"

namespace zl {
namespace {

using namespace std::chrono_literals;
using test::WaitFor;
constexpr std::chrono::milliseconds kPoll(50);

// A child process with its standard input and output on pipes; killed and
// reaped when destroyed, also when the test fails.
class Child {
public:
    Child(const char* program, const char* script, const char* argument, const char* more = nullptr) {
        int in[2], out[2];
        if (::pipe2(in, O_CLOEXEC) != 0 || ::pipe2(out, O_CLOEXEC) != 0) return;
        pid_ = ::fork();
        if (pid_ == 0) {
            ::dup2(in[0], 0);
            ::dup2(out[1], 1);
            ::execl(program, program, script, argument, more, static_cast<char*>(nullptr));
            ::_exit(127);
        }
        ::close(in[0]);
        ::close(out[1]);
        to_ = ::fdopen(in[1], "w");
        from_ = ::fdopen(out[0], "r");
    }
    ~Child() {
        if (to_) std::fclose(to_);
        if (pid_ > 0) {
            ::kill(pid_, SIGTERM);
            ::waitpid(pid_, nullptr, 0);
        }
        if (from_) std::fclose(from_);
    }
    bool Ok() const { return pid_ > 0 && to_ && from_; }
    void Say(const std::string& line) {
        std::fputs((line + "\n").c_str(), to_);
        std::fflush(to_);
    }
    std::string Line() {
        char buffer[8192];
        return std::fgets(buffer, sizeof buffer, from_) ? std::string(buffer) : std::string();
    }

private:
    pid_t pid_ = -1;
    FILE* to_ = nullptr;
    FILE* from_ = nullptr;
};

std::map<std::string, long long> Stats(Child& lt) {
    lt.Say("stats");
    std::istringstream line(lt.Line());
    std::string word;
    std::map<std::string, long long> values;
    line >> word;  // STATS
    while (line >> word) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos) values[word.substr(0, eq)] = std::stoll(word.substr(eq + 1));
    }
    return values;
}

TEST(KadInterop, LibtorrentAnswersOurQueriesAndStoresOurAnnounce) {
    // Three libtorrent nodes; the second and third join through the first.
    const char* kScript = ZL_SOURCE_DIR "/tests/engine/udp/lt_dht_node.py";
    Child lt("/usr/bin/python3", kScript, "127.0.7.70");
    ASSERT_TRUE(lt.Ok());
    const std::string ready = lt.Line();
    unsigned port = 0;
    ASSERT_EQ(std::sscanf(ready.c_str(), "READY %u", &port), 1) << ready;
    const std::string first = "127.0.7.70:" + std::to_string(port);
    Child lt2("/usr/bin/python3", kScript, "127.0.7.72", first.c_str());
    Child lt3("/usr/bin/python3", kScript, "127.0.7.73", first.c_str());
    ASSERT_TRUE(lt2.Ok() && lt3.Ok());
    ASSERT_EQ(lt2.Line().rfind("READY", 0), 0u);
    ASSERT_EQ(lt3.Line().rfind("READY", 0), 0u);

    CKademlia node;
    test::KadServerEndpoint endpoint("127.0.7.71", node);
    node.SetRouters({{"127.0.7.70", uint16_t(port)}});
    ASSERT_TRUE(node.Start("Kademlia"));

    // Our bootstrap ping is answered: libtorrent's node enters the table as
    // answered, and our own lookups learn the other two from its answers.
    ASSERT_TRUE(WaitFor([&] { return node.Table().AnsweredCount() == 3; }, 15s, kPoll));
    // A find lookup of ours is answered.
    auto find = std::make_shared<CKadActionFind>(KadId::Fresh(1));
    node.AddLookup(find);
    ASSERT_TRUE(WaitFor([&] { return find->IsDone(); }, 20s, kPoll));
    node.RemoveLookup(find.get());

    // A BitTorrent lookup asks get_peers and then announces with libtorrent's token.
    const KadId info_hash = KadId::Fresh(2);
    auto lookup = std::make_shared<CKadActionBitTorrent>(info_hash);
    lookup->SetAnnouncedPort(6881);
    node.AddLookup(lookup);
    ASSERT_TRUE(WaitFor([&] { return lookup->IsDone(); }, 30s, kPoll));
    node.RemoveAndDispose(lookup.get());

    // Every libtorrent node stored it.
    for (Child* other : {&lt2, &lt3}) {
        ASSERT_TRUE(WaitFor([&] { return Stats(*other)["dht.dht_torrents"] == 1; }, 5s, kPoll));
        EXPECT_EQ(Stats(*other)["dht.dht_peers"], 1);
    }
    std::map<std::string, long long> s;
    ASSERT_TRUE(WaitFor([&] { return (s = Stats(lt))["dht.dht_torrents"] == 1; }, 5s, kPoll));
    EXPECT_GE(s["dht.dht_ping_in"], 1);
    EXPECT_GE(s["dht.dht_find_node_in"], 1);
    EXPECT_GE(s["dht.dht_get_peers_in"], 1);
    EXPECT_GE(s["dht.dht_announce_peer_in"], 1);
    EXPECT_EQ(s["dht.dht_peers"], 1);
    EXPECT_EQ(s["dht.dht_invalid_announce"], 0);
    EXPECT_EQ(s["dht.dht_invalid_get_peers"], 0);
    EXPECT_EQ(s["dht.dht_invalid_find_node"], 0);

    // Now libtorrent knows the peer: a second lookup gets it back as a value.
    auto again = std::make_shared<CKadActionBitTorrent>(info_hash);
    again->SetAnnouncedPort(6881);
    node.AddLookup(again);
    std::string peers;
    ASSERT_TRUE(WaitFor([&] {
        again->TakeResults(peers, true);
        return again->IsDone();
    }, 30s, kPoll));
    node.RemoveAndDispose(again.get());
    std::string ours;
    AppendCompactPeer(ours, endpoint.Address(), 6881);
    EXPECT_EQ(peers.substr(0, 6), ours);

    node.Stop();
    for (Child* each : {&lt, &lt2, &lt3}) each->Say("quit");
}

// A malformed query leaves through our node's socket; libtorrent's error
// reply ([203, "unknown message"]) reaches our node, parses and is counted.
TEST(KadInterop, LibtorrentsErrorReplyIsRead) {
    const char* kScript = ZL_SOURCE_DIR "/tests/engine/udp/lt_dht_node.py";
    Child lt("/usr/bin/python3", kScript, "127.0.7.74");
    ASSERT_TRUE(lt.Ok());
    const std::string ready = lt.Line();
    unsigned port = 0;
    ASSERT_EQ(std::sscanf(ready.c_str(), "READY %u", &port), 1) << ready;

    CKademlia node;
    test::KadServerEndpoint endpoint("127.0.7.75", node);
    node.SetRouters({});
    ASSERT_TRUE(node.Start("Kademlia"));
    ASSERT_TRUE(WaitFor([&] { return node.Active(); }, 5s, kPoll));
    const std::string query = "d1:ad2:id20:" + KadId::Fresh(3).Bytes() + "e1:q9:bad_query1:t8:ABCDEFGH1:y1:qe";
    ASSERT_TRUE(endpoint.Server().Send(reinterpret_cast<const uint8_t*>(query.data()), query.size(),
                                       inet_addr("127.0.7.74"), uint16_t(port)));
    EXPECT_TRUE(WaitFor([&] { return node.Stats().error_replies == 1; }, 10s, kPoll));
    EXPECT_EQ(node.Stats().dropped_datagrams, 0u) << "the reply parses";
    node.Stop();
    lt.Say("quit");
}

}  // namespace
}  // namespace zl
