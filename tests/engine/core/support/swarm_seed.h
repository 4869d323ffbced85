// The seed of a simulated swarm's random picks. Every run of a swarm test
// makes the same picks: the seed is fixed unless ZL_SWARM_SEED gives one (a
// number, or "random" for a fresh one each run). A failing case names its
// seed, and running it again with that seed makes the same picks.
#pragma once
#include <sys/random.h>

#include <cstdint>
#include <cstdlib>
#include <string>

namespace zl::test {

inline constexpr const char* kSwarmSeedVariable = "ZL_SWARM_SEED";

// The seed from ZL_SWARM_SEED, else `fixed`; never 0 (0 asks the engine for
// fresh randomness).
inline uint64_t SwarmSeed(uint64_t fixed) {
    uint64_t seed = fixed;
    if (const char* text = std::getenv(kSwarmSeedVariable); text && *text) {
        if (std::string(text) == "random") {
            if (::getrandom(&seed, sizeof seed, 0) != static_cast<ssize_t>(sizeof seed)) seed = fixed;
        } else {
            char* end = nullptr;
            const unsigned long long value = std::strtoull(text, &end, 0);
            if (end && *end == '\0') seed = value;
        }
    }
    return seed != 0 ? seed : 1;
}

// What a failure says about the seed.
inline std::string SeedNote(uint64_t seed) {
    return "swarm seed " + std::to_string(seed) + " (run again with " + kSwarmSeedVariable + "=" +
           std::to_string(seed) + ")";
}

}  // namespace zl::test
