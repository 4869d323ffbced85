#include "tools/zlstats/synthetic_events.h"

#include <cstdio>
#include <random>
#include <string>

namespace zl::stats {
namespace {

std::string Info(const StatEvent& e) {
    char text[1024];
    std::snprintf(text, sizeof text,
                  "{\"MachId\":\"%s\",\"Mac\":\"%s\",\"OS\":\"%s\",\"Sessionid\":\"\",\"Sequence\":\"%llu\","
                  "\"DVersion\":\"1.8\",\"GameID\":\"5\",\"AppVersion\":\"%s\",\"GVersion\":\"v300\","
                  "\"Dchannel\":\"zephyrloader\",\"Totaltime\":\"%llu\",\"Totalbytes\":\"%llu\","
                  "\"Averagespeed\":\"%llu\",\"Httptotalbytes\":\"%llu\",\"Inhttptotalbytes\":\"%llu\","
                  "\"P2ptotalbytes\":\"%llu\",\"Inp2ptotalbytes\":\"%llu\",\"Errormsg\":\"\"}",
                  e.mach_id.c_str(), e.mac.c_str(), e.os.c_str(), (unsigned long long)e.sequence,
                  e.app_version.c_str(), (unsigned long long)e.total_time, (unsigned long long)e.total_bytes,
                  (unsigned long long)e.average_speed, (unsigned long long)e.http_bytes,
                  (unsigned long long)e.in_http_bytes, (unsigned long long)e.p2p_bytes,
                  (unsigned long long)e.in_p2p_bytes);
    return text;
}

}  // namespace

void MakeSyntheticPosts(const SyntheticPlan& plan, const std::function<void(const ReceivedPost&)>& sink) {
    std::mt19937_64 random(plan.seed);
    const int64_t span = plan.hours * 3600;
    const int64_t start = plan.end - span;
    ReceivedPost post;
    uint64_t made = 0, download = 0;
    static const char* const kOs[] = {"610642", "611640", "620641", "630642", "6116642"};
    while (made < plan.events) {
        // Downloads begin evenly over the span; each one's events arrive in one post here.
        const int64_t at = start + int64_t(span * made / plan.events);
        if (post.events.size() >= 1000 || (post.received_at != at && !post.events.empty())) {
            sink(post);
            post.events.clear();
        }
        post.received_at = at;
        post.address = "127.0.0.1";
        char mach[17];
        std::snprintf(mach, sizeof mach, "%016llX", (unsigned long long)(download * 2654435761u + 1));
        const std::string os = kOs[random() % 5];
        const uint64_t size = 1 << 30;
        const uint64_t peer = size * (random() % 80) / 100;
        const uint64_t seconds = 60 + random() % 3600;
        const bool fails = random() % 20 == 0;
        uint64_t sequence = 0;
        uint64_t http_before = 0, peer_before = 0;
        const auto add = [&](const char* code, uint64_t done_percent) {
            StatEvent e;
            e.code = code;
            e.mach_id = mach;
            e.mac = "02-00-00-00-00-01";
            e.os = os;
            e.sequence = sequence++;
            e.app_version = "0.1.0";
            e.game_id = "5";
            e.gversion = "v300";
            e.dversion = "1.8";
            if (done_percent > 0) {
                e.http_bytes = (size - peer) * done_percent / 100;
                e.p2p_bytes = peer * done_percent / 100;
                e.in_http_bytes = e.http_bytes - http_before;
                e.in_p2p_bytes = e.p2p_bytes - peer_before;
                http_before = e.http_bytes;
                peer_before = e.p2p_bytes;
                e.total_bytes = e.http_bytes + e.p2p_bytes;
                e.total_time = seconds * done_percent / 100;
                e.average_speed = e.total_time ? e.total_bytes / e.total_time : 0;
            }
            e.info = Info(e);
            post.events.push_back(std::move(e));
            ++made;
        };
        add("11010000", 0);
        for (uint64_t p = 20; p < 100 && made < plan.events; p += 20) add("11050000", p);
        if (fails) {
            add("11990202", 90);
        } else {
            for (int f = 0; f < 4; ++f) add("11080000", 0);
            add("11060000", 100);
            if (random() % 10 == 0) add("11100003", 0);
            add("11100004", 0);
        }
        ++download;
    }
    if (!post.events.empty()) sink(post);
}

}  // namespace zl::stats
