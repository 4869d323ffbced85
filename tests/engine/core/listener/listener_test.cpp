// The shared listener on real loopback sockets (127.0.11.x) with a test
// clock: what the first bytes of an accepted connection decide (the sniffing
// table), the pending list's time limits and crowding, the published address
// and the P2P switch; the /24 rule on a scripted transport; the LAN rules
// without a socket.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "engine/base/errnum.h"
#include "engine/base/fake_clock.h"
#include "engine/core/listener/incoming_sniff.h"
#include "engine/core/listener/lan_datagram.h"
#include "engine/core/listener/lan_discovery.h"
#include "engine/core/listener/mse_accept.h"
#include "engine/core/listener/shared_listener.h"
#include "engine/meta/sha1.h"
#include "tests/support/free_port.h"

#include <openssl/bn.h>

namespace zl {
namespace {

uint32_t Ip(const char* text) { return inet_addr(text); }

InfoHashBytes Hash(uint8_t fill) {
    InfoHashBytes h;
    h.fill(fill);
    return h;
}

std::string Handshake(const InfoHashBytes& hash, uint8_t id_fill = 'p') {
    std::string h;
    h += char(19);
    h += "BitTorrent protocol";
    h += std::string(8, '\0');
    h.append(reinterpret_cast<const char*>(hash.data()), hash.size());
    h += std::string(20, char(id_fill));
    return h;
}

const std::string kPreamble =
    "GET / HTTP/1.0\r\nUser-Agent: Mozilla/4.0 (compatible; MSIE 5.00; Windows 98)\r\nHost: 2130706434:1\r\n\r\n";

// The listener with its engine around it: a lock, switches, a test clock.
std::string AddressText(uint32_t address) {
    char text[INET_ADDRSTRLEN] = "";
    in_addr a{};
    a.s_addr = address;
    return inet_ntop(AF_INET, &a, text, sizeof text) ? text : "";
}

struct Rig {
    explicit Rig(uint32_t bind, int port = 0, IStreamTransport* transport = nullptr) : clock(FakeClock::Mode::Manual) {
        switches.p2p = true;
        switches.bind_address = bind;
        // Probed where the listener binds: a port free on one address may be
        // taken on another, which a bind to every address runs into.
        switches.listen_port = port ? port : test::FreeTcpPort(bind == 0 ? "0.0.0.0" : AddressText(bind).c_str());
        ListenerEnv env;
        env.data_lock = &lock;
        env.switches = &switches;
        env.tick_ms = [this] { return clock.TickMs(); };
        env.seconds = [this] { return seconds; };
        env.socket_env = [this, transport] {
            SocketEnv s;
            s.clock = &clock;
            s.seconds = [this] { return seconds; };
            s.tcp = transport;
            return s;
        };
        env.host_address = [this] { return host; };
        env.publish_udp = [this](uint32_t a, int32_t p) { udp.emplace_back(a, p); };
        listener = std::make_unique<SharedListener>(std::move(env));
    }

    SharedListener::ServiceResult Step(const void* task, const InfoHashBytes* hash) {
        SharedListener::ServiceRequest r;
        r.task = task;
        r.info_hash = hash;
        r.blocked = [this](uint32_t a) { return a == blocked; };
        return listener->ServiceIncoming(r);
    }

    QTMutex lock;
    EngineSwitches switches;
    FakeClock clock;
    uint64_t seconds = 5000;
    uint32_t host = Ip("127.0.11.2");
    uint32_t blocked = 0;
    std::vector<std::pair<uint32_t, int32_t>> udp;
    std::unique_ptr<SharedListener> listener;
};

// A client connection from 127.0.11.5.
class Client {
public:
    explicit Client(int port, const char* from = "127.0.11.5") {
        fd_ = ::socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in local{};
        local.sin_family = AF_INET;
        local.sin_addr.s_addr = Ip(from);
        ::bind(fd_, reinterpret_cast<sockaddr*>(&local), sizeof local);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = Ip("127.0.11.2");
        sa.sin_port = htons(static_cast<uint16_t>(port));
        connected_ = ::connect(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa) == 0;
    }
    ~Client() { ::close(fd_); }
    bool connected() const { return connected_; }
    void Send(const std::string& bytes) { ASSERT_EQ(::send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL), ssize_t(bytes.size())); }
    // The other side closed the connection, perhaps after sending a few
    // bytes (waits up to `ms` of real time).
    bool Closed(int ms = 1000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        for (;;) {
            pollfd p{fd_, POLLIN, 0};
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
            if (::poll(&p, 1, static_cast<int>(std::max<int64_t>(left.count(), 0))) <= 0) return false;
            char buffer[4096];
            const ssize_t n = ::recv(fd_, buffer, sizeof buffer, MSG_DONTWAIT);
            if (n <= 0) return true;
            received_.append(buffer, static_cast<size_t>(n));
        }
    }
    // Exactly n more bytes, or what came within the time limit.
    std::string Read(size_t n, int ms = 1000) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        while (received_.size() < n && std::chrono::steady_clock::now() < deadline) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char buffer[4096];
            const ssize_t got = ::recv(fd_, buffer, std::min(sizeof buffer, n - received_.size()), MSG_DONTWAIT);
            if (got <= 0) break;
            received_.append(buffer, static_cast<size_t>(got));
        }
        std::string out = received_.substr(0, std::min(n, received_.size()));
        received_.erase(0, out.size());
        return out;
    }
    size_t got() const { return received_.size(); }

private:
    int fd_ = -1;
    bool connected_ = false;
    std::string received_;
};

// Service steps until the listener has accepted `n` connections in all (the
// kernel queues them a moment after connect).
size_t StepUntilPending(Rig& rig, const void* task, const InfoHashBytes* hash, size_t n,
                        std::vector<std::unique_ptr<TSocket>>* taken = nullptr) {
    for (int i = 0; i < 200; ++i) {
        auto r = rig.Step(task, hash);
        if (taken)
            for (auto& s : r.accepted) taken->push_back(std::move(s));
        if (rig.listener->PendingCount() + (taken ? taken->size() : 0) >= n) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    return rig.listener->PendingCount();
}

// --- the sniffing of the first bytes ---------------------------------------------------------

TEST(IncomingSniff, FirstBytesTable) {
    const InfoHashBytes a = Hash('A');
    const std::string hs = Handshake(a);
    struct Case {
        const char* what;
        std::string bytes;
        IncomingSniff::Verdict verdict;
        bool wrapped;
        bool has_peer_id;
    };
    using V = IncomingSniff::Verdict;
    const Case cases[] = {
        {"nothing yet", "", V::kWait, false, false},
        {"a plain handshake", hs, V::kHandshake, false, true},
        {"up to the info hash", hs.substr(0, 48), V::kHandshake, false, false},
        {"a partial handshake", hs.substr(0, 30), V::kWait, false, false},
        {"the first byte only", hs.substr(0, 1), V::kWait, false, false},
        {"a disguised handshake", kPreamble + hs, V::kHandshake, true, true},
        {"a preamble with LF only", "POST / HTTP/1.1\nHost: x\n\n" + hs, V::kHandshake, true, true},
        {"a preamble still arriving", kPreamble.substr(0, 20), V::kWait, false, false},
        {"\"GE\" may still become GET", "GE", V::kWait, false, false},
        {"a whole preamble, no handshake yet", kPreamble, V::kWait, true, false},
        {"a preamble that never ends", "GET /" + std::string(5000, 'x'), V::kForeign, false, false},
        {"noise", "\x7f\x01garbage", V::kForeign, false, false},
        {"another protocol after a preamble", kPreamble + "SSH-2.0", V::kForeign, true, false},
        {"a wrong protocol name", std::string(1, char(19)) + "BitTorrent protocoX" + std::string(48, '\0'),
         V::kForeign, false, false},
        {"an encrypted handshake (random bytes)", std::string("\x93\x1f\xe0\x44\x10", 5) + std::string(91, 'k'),
         V::kForeign, false, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        const IncomingSniff s = SniffIncoming(reinterpret_cast<const uint8_t*>(c.bytes.data()), c.bytes.size());
        EXPECT_EQ(s.verdict, c.verdict);
        EXPECT_EQ(s.wrapped, c.wrapped);
        EXPECT_EQ(s.peer_id != nullptr, c.has_peer_id);
        if (s.verdict == V::kHandshake) {
            ASSERT_NE(s.info_hash, nullptr);
            EXPECT_EQ(std::memcmp(s.info_hash, a.data(), 20), 0);
            EXPECT_EQ(s.preamble_length + s.handshake_bytes, c.bytes.size());
        }
    }
}

// --- the pending list on real sockets ------------------------------------------------------------

class ListenerTest : public ::testing::Test {
protected:
    Rig rig{Ip("127.0.11.2")};
    const InfoHashBytes mine = Hash('A');
    const InfoHashBytes other = Hash('B');
    int task_a = 0, task_b = 0;  // their addresses stand for two tasks

    void SetUp() override {
        // Both tasks are active: B's step has registered its info hash.
        rig.Step(&task_b, &other);
        ASSERT_TRUE(rig.listener->Listening());
    }
    int port() { return rig.listener->Published().port; }
};

TEST_F(ListenerTest, PublishesItsAddressAndTellsTheUdpServerOnce) {
    const PublishedEndpoint p = rig.listener->Published();
    EXPECT_EQ(p.address, Ip("127.0.11.2"));
    EXPECT_EQ(p.port, rig.switches.EffectiveListenPort());
    EXPECT_EQ(ListenAddressText(p, true), "127.0.11.2 : " + std::to_string(p.port));
    rig.Step(&task_a, &mine);
    ASSERT_EQ(rig.udp.size(), 1u);
    EXPECT_EQ(rig.udp[0], std::make_pair(p.address, p.port));
}

TEST_F(ListenerTest, AHandshakeForTheServingTaskIsHandedToIt) {
    Client plain(port());
    plain.Send(Handshake(mine));
    std::vector<std::unique_ptr<TSocket>> taken;
    StepUntilPending(rig, &task_a, &mine, 1, &taken);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0]->received_length(), 68);
    EXPECT_EQ(taken[0]->remote_address(), Ip("127.0.11.5"));
    EXPECT_EQ(rig.listener->PendingCount(), 0u);
}

TEST_F(ListenerTest, ADisguisedHandshakeIsHandedOverWithItsPreambleForThePeerToAnswer) {
    Client disguised(port());
    disguised.Send(kPreamble + Handshake(mine));
    std::vector<std::unique_ptr<TSocket>> taken;
    StepUntilPending(rig, &task_a, &mine, 1, &taken);
    ASSERT_EQ(taken.size(), 1u);
    // The peer strips the preamble, marks the connection wrapped and sends the reply header.
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(taken[0]->received()), 4), "GET ");
}

TEST_F(ListenerTest, AnotherTasksHandshakeWaitsForThatTasksOwnStep) {
    Client for_b(port());
    for_b.Send(Handshake(other));
    std::vector<std::unique_ptr<TSocket>> taken_by_a;
    ASSERT_EQ(StepUntilPending(rig, &task_a, &mine, 1, &taken_by_a), 1u);
    EXPECT_TRUE(taken_by_a.empty());
    rig.clock.Advance(4900);  // a whole handshake waits up to 5 s
    rig.Step(&task_a, &mine);
    EXPECT_EQ(rig.listener->PendingCount(), 1u);
    auto r = rig.Step(&task_b, &other);
    ASSERT_EQ(r.accepted.size(), 1u);
    EXPECT_EQ(rig.listener->PendingCount(), 0u);
}

TEST_F(ListenerTest, AWholeHandshakeNobodyTakesGoesAfterFiveSeconds) {
    Client for_b(port());
    for_b.Send(Handshake(other));
    ASSERT_EQ(StepUntilPending(rig, &task_a, &mine, 1), 1u);
    rig.clock.Advance(5000);
    rig.Step(&task_a, &mine);
    EXPECT_EQ(rig.listener->PendingCount(), 0u);
    EXPECT_TRUE(for_b.Closed());
}

TEST_F(ListenerTest, SniffingTableOfWhatIsDroppedAndWhen) {
    struct Case {
        const char* what;
        std::string bytes;
        uint64_t kept_until_ms;  // 0: dropped at once
    };
    const Case cases[] = {
        {"an unknown info hash", Handshake(Hash('Z')), 0},
        {"an unknown info hash behind a preamble", kPreamble + Handshake(Hash('Z')), 0},
        {"noise longer than an obfuscated handshake can be", std::string(700, '\x5a'), 0},
        {"noise shorter than an obfuscated handshake's key", "\x16\x03\x01 not a handshake", 3000},
        {"noise as long as such a key (answered, then timed out)", std::string(200, '\x5a'), 3000},
        {"a silent connection", "", 3000},
        {"a partial handshake", Handshake(mine).substr(0, 30), 3000},
        {"a preamble still arriving", kPreamble.substr(0, 30), 3000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Client client(port());
        ASSERT_TRUE(client.connected());
        if (!c.bytes.empty()) client.Send(c.bytes);
        // Give the bytes time to arrive before the first look.
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        if (c.kept_until_ms == 0) {
            bool closed = false;
            for (int i = 0; i < 100 && !closed; ++i) {
                rig.Step(&task_b, &other);
                EXPECT_EQ(rig.listener->PendingCount(), 0u);
                closed = client.Closed(10);
            }
            EXPECT_TRUE(closed);
            continue;
        }
        StepUntilPending(rig, &task_b, &other, 1);
        ASSERT_EQ(rig.listener->PendingCount(), 1u);
        rig.clock.Advance(c.kept_until_ms - 100);
        rig.Step(&task_b, &other);
        EXPECT_EQ(rig.listener->PendingCount(), 1u) << "kept for its time limit";
        rig.clock.Advance(100);
        rig.Step(&task_b, &other);
        EXPECT_EQ(rig.listener->PendingCount(), 0u);
        EXPECT_TRUE(client.Closed());
    }
}

TEST_F(ListenerTest, ARemoteThatClosesLeavesTheList) {
    {
        Client gone(port());
        ASSERT_EQ(StepUntilPending(rig, &task_a, &mine, 1), 1u);
    }
    for (int i = 0; i < 100 && rig.listener->PendingCount() > 0; ++i) {
        rig.Step(&task_a, &mine);
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_EQ(rig.listener->PendingCount(), 0u);
}

TEST_F(ListenerTest, ACrowdedListDropsShortHandshakesAfterOneSecond) {
    // Connected in groups the listen queue can hold; a step accepts a bounded number.
    std::vector<std::unique_ptr<Client>> clients;
    for (int i = 0; i < 39; ++i) {
        clients.push_back(std::make_unique<Client>(port()));
        if (i >= 36) clients.back()->Send(Handshake(other, static_cast<uint8_t>('q' + i)));
        if (i % 13 == 12) {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            const size_t before = rig.listener->PendingCount();
            rig.Step(&task_a, &mine);
            EXPECT_LE(rig.listener->PendingCount() - before, size_t(SharedListener::kAcceptsPerStep));
        }
    }
    ASSERT_EQ(StepUntilPending(rig, &task_a, &mine, 39), 39u);
    rig.clock.Advance(1100);
    rig.Step(&task_a, &mine);
    // The silent ones went; the three whole handshakes for B stay.
    EXPECT_EQ(rig.listener->PendingCount(), 3u);
}

TEST_F(ListenerTest, ABlockedAddressIsClosedAtOnce) {
    rig.blocked = Ip("127.0.11.6");
    Client blocked(port(), "127.0.11.6");
    blocked.Send(Handshake(mine));
    for (int i = 0; i < 20; ++i) {
        EXPECT_TRUE(rig.Step(&task_a, &mine).accepted.empty());
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    EXPECT_TRUE(blocked.Closed());
}

TEST_F(ListenerTest, P2POffClosesEverythingAndShowsServiceDisabled) {
    Client waiting(port());
    ASSERT_EQ(StepUntilPending(rig, &task_a, &mine, 1), 1u);
    rig.switches.p2p = false;
    const auto r = rig.Step(&task_a, &mine);
    EXPECT_TRUE(r.services_ok);
    EXPECT_FALSE(rig.listener->Listening());
    EXPECT_EQ(r.published, PublishedEndpoint{});
    EXPECT_EQ(ListenAddressText(r.published, false), "Service Disabled!");
    EXPECT_EQ(rig.listener->PendingCount(), 0u);
    EXPECT_TRUE(waiting.Closed());
    rig.switches.p2p = true;
    EXPECT_EQ(rig.Step(&task_a, &mine).published.address, Ip("127.0.11.2"));
}

TEST(Listener, APortInUseIsRetriedAtTheNextStep) {
    const int port = test::FreeTcpPort("127.0.11.2");
    const int holder = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_addr.s_addr = Ip("127.0.11.2");
    sa.sin_port = htons(static_cast<uint16_t>(port));
    ASSERT_EQ(::bind(holder, reinterpret_cast<sockaddr*>(&sa), sizeof sa), 0);
    ASSERT_EQ(::listen(holder, 1), 0);
    Rig rig(Ip("127.0.11.2"), port);
    int task = 0;
    const auto failed = rig.Step(&task, nullptr);
    EXPECT_FALSE(failed.services_ok);
    EXPECT_EQ(failed.published, PublishedEndpoint{});
    ::close(holder);
    const auto listening = rig.Step(&task, nullptr);
    EXPECT_TRUE(listening.services_ok);
    EXPECT_EQ(listening.published.port, port);
}

TEST(Listener, BoundToEveryAddressItPublishesTheMachinesAndFollowsItsChange) {
    Rig rig(0);
    int task = 0;
    EXPECT_EQ(rig.Step(&task, nullptr).published.address, Ip("127.0.11.2"));
    rig.host = Ip("127.0.11.3");
    rig.seconds += 100;  // checked only every 180 s
    EXPECT_EQ(rig.Step(&task, nullptr).published.address, Ip("127.0.11.2"));
    rig.seconds += 100;
    EXPECT_EQ(rig.Step(&task, nullptr).published.address, Ip("127.0.11.3"));
}

// --- the obfuscated handshake ---------------------------------------------------------------

std::string Sha(const std::string& bytes) {
    const Sha1Digest d = Sha1Of(bytes.data(), bytes.size());
    return std::string(reinterpret_cast<const char*>(d.data()), d.size());
}

// The connecting side, as other clients run it: its key and padding, then
// the torrent's hash, the methods it offers and its initial payload.
class ObfuscatedInitiator {
public:
    ObfuscatedInitiator() {
        BN_hex2bn(&p_, "FFFFFFFFFFFFFFFFC90FDAA22168C234C4C6628B80DC1CD129024E088A67CC74020BBEA63B139B22514A08798E3404DDEF9519B3CD"
                       "3A431B302B0A6DF25F14374FE1356D6D51C245E485B576625E7EC6F44C42E9A63A36210000000000090563");
        x_ = BN_new();
        BN_set_word(x_, 0x1234567);
        BN_lshift(x_, x_, 120);
        BN_add_word(x_, 977);
    }
    ~ObfuscatedInitiator() {
        BN_free(p_);
        BN_free(x_);
    }
    std::string KeyAndPad(size_t pad) {
        BIGNUM* g = BN_new();
        BIGNUM* y = BN_new();
        BN_CTX* ctx = BN_CTX_new();
        BN_set_word(g, 2);
        BN_mod_exp(y, g, x_, p_, ctx);
        std::string out(96, '\0');
        BN_bn2binpad(y, reinterpret_cast<uint8_t*>(out.data()), 96);
        BN_free(g);
        BN_free(y);
        BN_CTX_free(ctx);
        return out + std::string(pad, '\x77');
    }
    void TakeTheirKey(const std::string& theirs) {
        BIGNUM* yb = BN_bin2bn(reinterpret_cast<const uint8_t*>(theirs.data()), 96, nullptr);
        BIGNUM* s = BN_new();
        BN_CTX* ctx = BN_CTX_new();
        BN_mod_exp(s, yb, x_, p_, ctx);
        secret_.assign(96, '\0');
        BN_bn2binpad(s, reinterpret_cast<uint8_t*>(secret_.data()), 96);
        BN_free(yb);
        BN_free(s);
        BN_CTX_free(ctx);
    }
    std::string Negotiation(const InfoHashBytes& hash, uint32_t provide, const std::string& initial_payload,
                            size_t pad_c = 5) {
        const std::string skey(reinterpret_cast<const char*>(hash.data()), 20);
        std::string out = Sha("req1" + secret_);
        const std::string req2 = Sha("req2" + skey), req3 = Sha("req3" + secret_);
        for (int i = 0; i < 20; ++i) out += char(req2[size_t(i)] ^ req3[size_t(i)]);
        std::string body(8, '\0');
        body += {char(provide >> 24), char(provide >> 16), char(provide >> 8), char(provide)};
        body += {char(pad_c >> 8), char(pad_c)};
        body += std::string(pad_c, '\x11');
        body += {char(initial_payload.size() >> 8), char(initial_payload.size())};
        body += initial_payload;
        const std::string key_a = Sha("keyA" + secret_ + skey);
        to_them_ = std::make_unique<Rc4Stream>(reinterpret_cast<const uint8_t*>(key_a.data()), key_a.size());
        to_them_->Apply(reinterpret_cast<uint8_t*>(body.data()), body.size());
        key_b_ = Sha("keyB" + secret_ + skey);
        return out + body;
    }
    // Their answer decrypted: VC, crypto_select, len(PadD). Their stream
    // goes on with the same key stream.
    std::string Answer(std::string bytes) {
        from_them_ = std::make_unique<Rc4Stream>(reinterpret_cast<const uint8_t*>(key_b_.data()), key_b_.size());
        from_them_->Apply(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
        return bytes;
    }
    std::string FromThem(std::string bytes) {
        from_them_->Apply(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
        return bytes;
    }
    std::string ToThem(std::string bytes) {
        to_them_->Apply(reinterpret_cast<uint8_t*>(bytes.data()), bytes.size());
        return bytes;
    }

private:
    BIGNUM* p_ = nullptr;
    BIGNUM* x_ = nullptr;
    std::string secret_, key_b_;
    std::unique_ptr<Rc4Stream> to_them_, from_them_;
};

// Their key, then their 14-byte answer to the negotiation.
// `negotiation` is made once their key is known.
std::string ReadAnswer(Client& client, ObfuscatedInitiator& initiator, Rig& rig, const void* task,
                       const InfoHashBytes* hash, const std::function<std::string()>& negotiation,
                       std::vector<std::unique_ptr<TSocket>>* taken) {
    std::string key;
    for (int i = 0; i < 100 && key.size() < 96; ++i) {
        rig.Step(task, hash);
        key += client.Read(96 - key.size());
    }
    if (key.size() != 96) return {};
    initiator.TakeTheirKey(key);
    client.Send(negotiation());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    for (int i = 0; i < 20; ++i) {
        auto r = rig.Step(task, hash);
        for (auto& s : r.accepted) taken->push_back(std::move(s));
    }
    std::string rest = client.Read(4096, 200);
    return rest.size() >= 14 ? rest.substr(rest.size() - 14) : rest;
}

TEST(MseAccept, NegotiatesPlainTextAndDecryptsTheInitialPayload) {
    const InfoHashBytes mine = Hash('A');
    ObfuscatedInitiator initiator;
    MseAccept accept;
    std::string wire = initiator.KeyAndPad(100);
    std::vector<uint8_t> out;
    const auto find = [&](const std::array<uint8_t, 20>& req2, MseAccept::InfoHash* hash) {
        std::string skey(reinterpret_cast<const char*>(mine.data()), 20);
        const std::string want = Sha("req2" + skey);
        if (std::memcmp(req2.data(), want.data(), 20) != 0) return false;
        *hash = mine;
        return true;
    };
    const auto advance = [&] {
        return accept.Advance(reinterpret_cast<const uint8_t*>(wire.data()), wire.size(), find, &out);
    };
    EXPECT_EQ(advance(), MseAccept::Result::kNeedMore);
    ASSERT_GE(out.size(), 96u);
    initiator.TakeTheirKey(std::string(reinterpret_cast<const char*>(out.data()), 96));
    out.clear();
    const std::string negotiation = initiator.Negotiation(mine, MseAccept::kPlaintext, Handshake(mine));
    // Byte by byte: every prefix is "more, please" until the last.
    for (size_t i = 0; i + 1 < negotiation.size(); ++i) {
        wire += negotiation[i];
        ASSERT_EQ(advance(), MseAccept::Result::kNeedMore) << i;
    }
    wire += negotiation.back();
    ASSERT_EQ(advance(), MseAccept::Result::kDone);
    EXPECT_EQ(std::string(accept.initial_payload().begin(), accept.initial_payload().end()), Handshake(mine));
    EXPECT_EQ(accept.payload_offset() + 68, wire.size());
    ASSERT_EQ(out.size(), 14u);
    EXPECT_EQ(initiator.Answer(std::string(out.begin(), out.end()))[11], 1);
}

TEST_F(ListenerTest, AnObfuscatedHandshakeIsAnsweredInPlainTextAndHandedOver) {
    for (size_t pad_a : {size_t(0), size_t(512)}) {
        SCOPED_TRACE(pad_a);
        ObfuscatedInitiator initiator;
        Client client(port());
        client.Send(initiator.KeyAndPad(pad_a));
        std::vector<std::unique_ptr<TSocket>> taken;
        const std::string answer = ReadAnswer(client, initiator, rig, &task_a, &mine, [&] {
            return initiator.Negotiation(mine, MseAccept::kPlaintext | MseAccept::kRc4, Handshake(mine));
        }, &taken);
        ASSERT_EQ(answer.size(), 14u);
        EXPECT_EQ(initiator.Answer(answer), std::string(11, '\0') + "\x01" + std::string(2, '\0'))
            << "VC, plaintext chosen, no padding";
        ASSERT_EQ(taken.size(), 1u);
        // The task's peer sees the plain handshake, and plain bytes after it.
        EXPECT_EQ(std::string(reinterpret_cast<const char*>(taken[0]->received()), 68), Handshake(mine));
        client.Send(std::string("\0\0\0\x01\x02", 5));
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        taken[0]->Receive(1024, 4096);
        ASSERT_EQ(taken[0]->received_length(), 73);
        EXPECT_EQ(taken[0]->received()[72], 2);
    }
}

TEST_F(ListenerTest, AnObfuscatedHandshakeWithoutPayloadWaitsForThePlainHandshake) {
    ObfuscatedInitiator initiator;
    Client client(port());
    client.Send(initiator.KeyAndPad(30));
    std::vector<std::unique_ptr<TSocket>> taken;
    ReadAnswer(client, initiator, rig, &task_a, &mine, [&] { return initiator.Negotiation(mine, MseAccept::kPlaintext, ""); },
               &taken);
    EXPECT_TRUE(taken.empty());
    EXPECT_EQ(rig.listener->PendingCount(), 1u);
    client.Send(Handshake(mine));
    StepUntilPending(rig, &task_a, &mine, 1, &taken);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0]->received_length(), 68);
}

TEST_F(ListenerTest, AnObfuscatedHandshakeForAnUnknownTorrentIsRefused) {
    for (uint32_t provide : {MseAccept::kPlaintext, MseAccept::kRc4}) {
        ObfuscatedInitiator initiator;
        Client client(port());
        client.Send(initiator.KeyAndPad(7));
        std::vector<std::unique_ptr<TSocket>> taken;
        ReadAnswer(client, initiator, rig, &task_a, &mine,
                   [&] { return initiator.Negotiation(Hash('Z'), provide, Handshake(Hash('Z'))); }, &taken);
        EXPECT_TRUE(taken.empty());
        EXPECT_EQ(rig.listener->PendingCount(), 0u);
        EXPECT_TRUE(client.Closed());
    }
}

TEST_F(ListenerTest, ARemoteOfferingOnlyRc4GetsAnEncryptedStream) {
    ObfuscatedInitiator initiator;
    Client client(port());
    client.Send(initiator.KeyAndPad(40));
    std::vector<std::unique_ptr<TSocket>> taken;
    const std::string answer = ReadAnswer(
        client, initiator, rig, &task_a, &mine,
        [&] { return initiator.Negotiation(mine, MseAccept::kRc4, Handshake(mine)); }, &taken);
    ASSERT_EQ(answer.size(), 14u);
    EXPECT_EQ(initiator.Answer(answer)[11], char(MseAccept::kRc4));
    ASSERT_EQ(taken.size(), 1u);
    TSocket& s = *taken[0];
    EXPECT_TRUE(s.enciphered());
    EXPECT_EQ(std::string(reinterpret_cast<const char*>(s.received()), 68), Handshake(mine));
    // Both directions stay enciphered: what the peer reads and what it sends.
    client.Send(initiator.ToThem(std::string("\0\0\0\x01\x02", 5)));
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    s.Receive(1024, 4096);
    ASSERT_EQ(s.received_length(), 73);
    EXPECT_EQ(s.received()[72], 2);
    const std::string ours = Handshake(mine, 'o');
    ASSERT_EQ(s.Send(ours.data(), static_cast<int64_t>(ours.size())), 68);
    EXPECT_EQ(initiator.FromThem(client.Read(68)), ours);
}

// --- the /24 rule, on a scripted transport ---------------------------------------------------

// Accepts the remote endpoints it is given; nothing is ever read.
class ScriptedAccepts final : public IStreamTransport {
public:
    std::deque<uint32_t> remotes;
    int Open(int32_t*) override { return next_++; }
    int Bind(int, const StreamEndpoint&, int32_t*) override { return 0; }
    int Listen(int, int, int32_t*) override { return 0; }
    int Connect(int, const StreamEndpoint&, int32_t* e) override { return *e = err::kInvalid, -1; }
    int Accept(int, StreamEndpoint* remote, int32_t* error) override {
        if (remotes.empty()) return *error = err::kWouldBlock, -1;
        remote->address = remotes.front();
        remote->port = 40000;
        remotes.pop_front();
        return next_++;
    }
    int64_t Send(int, const uint8_t*, size_t n, int32_t*) override { return static_cast<int64_t>(n); }
    int64_t Recv(int, uint8_t*, size_t, int32_t* error) override { return *error = err::kWouldBlock, -1; }
    int Wait(int, bool, int, int32_t*) override { return 0; }
    int32_t PendingError(int) override { return 0; }
    int LocalEndpoint(int, StreamEndpoint*, int32_t*) override { return 0; }
    int SetReceiveBuffer(int, int, int32_t*) override { return 0; }
    void Close(int) override {}

private:
    int next_ = 100;
};

TEST(Listener, OnlyAConnectionFromOutsideOurSlash24MakesUsDirectlyReachable) {
    ScriptedAccepts net;
    Rig rig(Ip("10.1.2.9"), 6881, &net);
    rig.switches.udp_stream_off = false;
    int task = 0;
    rig.Step(&task, nullptr);  // listening from now on
    net.remotes = {Ip("10.1.2.200"), Ip("127.0.0.1")};  // our own network, this machine
    rig.Step(&task, nullptr);
    EXPECT_EQ(rig.listener->PendingCount(), 2u);
    EXPECT_FALSE(rig.switches.directly_reachable.load());
    EXPECT_FALSE(rig.switches.udp_stream_off.load());
    net.remotes = {Ip("10.1.3.7")};
    rig.Step(&task, nullptr);
    EXPECT_TRUE(rig.switches.directly_reachable.load());
    EXPECT_TRUE(rig.switches.udp_stream_off.load());
}

// --- LAN discovery's rules -------------------------------------------------------------------

LanTaskFacts Facts(const void* task, uint8_t hash, uint64_t now = 1000, size_t tasks = 2) {
    LanTaskFacts f;
    f.task = task;
    f.info_hash.fill(hash);
    f.peer_id.fill('m');
    f.published_address = Ip("192.168.5.10");
    f.published_port = 6881;
    f.registered_tasks = tasks;
    f.now_s = now;
    return f;
}

LanDatagram Datagram(const char* address, uint16_t port, uint8_t hash, uint8_t id, bool reply = false) {
    LanDatagram d;
    d.address = Ip(address);
    d.port = port;
    d.reply = reply;
    d.info_hash.fill(hash);
    d.peer_id.fill(id);
    return d;
}

TEST(LanDatagram, EncodesFiftySixBytesAndDecodesOnlyThose) {
    const LanDatagram d = Datagram("192.168.5.20", 51413, 'A', 'x', true);
    const auto bytes = EncodeLanDatagram(d);
    EXPECT_EQ(bytes[8], 51413 >> 8);
    EXPECT_EQ(bytes[9], 51413 & 0xFF);
    EXPECT_EQ(bytes[15], 1);
    EXPECT_EQ(std::memcmp(bytes.data() + 4, &d.address, 4), 0);
    LanDatagram back;
    ASSERT_TRUE(DecodeLanDatagram(bytes.data(), bytes.size(), &back));
    EXPECT_EQ(back.address, d.address);
    EXPECT_EQ(back.port, d.port);
    EXPECT_TRUE(back.reply);
    EXPECT_EQ(back.info_hash, d.info_hash);
    EXPECT_EQ(back.peer_id, d.peer_id);
    EXPECT_FALSE(DecodeLanDatagram(bytes.data(), 55, &back));
    auto bad = bytes;
    bad[2] = 1;  // the first word must be 0
    EXPECT_FALSE(DecodeLanDatagram(bad.data(), bad.size(), &back));
}

TEST(LanDiscoveryRules, WhatADatagramMeansForATask) {
    int task = 0;
    const LanTaskFacts f = Facts(&task, 'A');
    using V = LanDiscovery::Verdict;
    struct Case {
        const char* what;
        LanDatagram d;
        const char* from;
        V verdict;
    };
    LanDatagram own = Datagram("192.168.5.10", 6881, 'A', 'z');
    LanDatagram own_id = Datagram("192.168.5.30", 6000, 'A', 'm');
    const Case cases[] = {
        {"a peer of this torrent", Datagram("192.168.5.20", 6882, 'A', 'x'), "192.168.5.20", V::kMine},
        {"a reply of this torrent", Datagram("192.168.5.20", 6882, 'A', 'x', true), "192.168.5.20", V::kMine},
        {"another torrent", Datagram("192.168.5.20", 6882, 'B', 'x'), "192.168.5.20", V::kOtherTask},
        {"a payload naming another host", Datagram("10.9.9.9", 6882, 'A', 'x'), "192.168.5.20", V::kIgnore},
        {"our own address and port", own, "192.168.5.10", V::kIgnore},
        {"our own peer id", own_id, "192.168.5.30", V::kIgnore},
        {"another engine on this host", Datagram("192.168.5.10", 7000, 'A', 'y'), "192.168.5.10", V::kMine},
        {"port 0", Datagram("192.168.5.20", 0, 'A', 'x'), "192.168.5.20", V::kIgnore},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(LanDiscovery::Judge(c.d, Ip(c.from), f), c.verdict);
    }
}

TEST(LanDiscoveryRules, StoredDatagramsReachTheirTaskAndAgeOut) {
    int a = 0, b = 0;
    LanDiscovery lan;
    // A hears B's torrent announced by two peers (one of them twice).
    lan.Store(Datagram("192.168.5.20", 6882, 'B', 'x'), Ip("192.168.5.20"), Facts(&a, 'A', 1000));
    lan.Store(Datagram("192.168.5.20", 6882, 'B', 'x'), Ip("192.168.5.20"), Facts(&a, 'A', 1001));
    lan.Store(Datagram("192.168.5.21", 6883, 'B', 'y', true), Ip("192.168.5.21"), Facts(&a, 'A', 1002));
    EXPECT_EQ(lan.stored(), 2u);
    // A's next look changes nothing; B takes both (answering the announcement).
    EXPECT_TRUE(lan.TakeStored(Facts(&a, 'A', 1005)).empty());
    const std::vector<LanPeer> found = lan.TakeStored(Facts(&b, 'B', 1006));
    ASSERT_EQ(found.size(), 2u);
    EXPECT_EQ(found[0].address, Ip("192.168.5.20"));
    EXPECT_EQ(found[0].port, 6882);
    EXPECT_TRUE(found[0].announcement);
    EXPECT_FALSE(found[1].announcement);
    EXPECT_EQ(lan.stored(), 0u);

    // With a single task nobody else looks: entries still expire after 30 s.
    lan.Store(Datagram("192.168.5.22", 6884, 'C', 'w'), Ip("192.168.5.22"), Facts(&a, 'A', 2000, 1));
    lan.TakeStored(Facts(&a, 'A', 2030, 1));
    EXPECT_EQ(lan.stored(), 1u);
    lan.TakeStored(Facts(&a, 'A', 2031, 1));
    EXPECT_EQ(lan.stored(), 0u);
}

TEST(LanDiscoveryRules, TheStoredListIsCapped) {
    int a = 0;
    LanDiscovery lan;
    for (int i = 0; i < 1000; ++i) {
        LanDatagram d = Datagram("192.168.5.20", 6882, 'B', 0);
        std::memcpy(d.peer_id.data(), &i, sizeof i);  // a spoofing host varies its peer id
        lan.Store(d, Ip("192.168.5.20"), Facts(&a, 'A', 1000));
    }
    EXPECT_EQ(lan.stored(), LanDiscovery::kMaxStored);
}

TEST(LanDiscoveryRules, ADatagramEveryTaskHasSeenIsDeleted) {
    int a = 0, b = 0, c = 0;
    LanDiscovery lan;
    lan.Store(Datagram("192.168.5.20", 6882, 'Z', 'x'), Ip("192.168.5.20"), Facts(&a, 'A', 1000, 3));
    lan.TakeStored(Facts(&b, 'B', 1001, 3));
    EXPECT_EQ(lan.stored(), 1u);
    lan.TakeStored(Facts(&c, 'C', 1002, 3));
    EXPECT_EQ(lan.stored(), 0u);
}

}  // namespace
}  // namespace zl
