// The random numbers of one task: one generator per task, seeded once when
// the task is built, used only by its worker thread. Random picks (server
// sources, the range to start at, the piece to start at) draw from it, so two
// tasks never share generator state and picks made within one second differ.
#pragma once
#include <cstdint>
#include <random>

namespace zl {

class TaskRandom {
public:
    explicit TaskRandom(uint64_t seed) : engine_(seed) {}
    // A seed that differs between tasks and runs.
    static uint64_t FreshSeed() { return (uint64_t(std::random_device{}()) << 32) ^ std::random_device{}(); }
    // A seed for stream `n` of a base seed (splitmix64 of the pair), so that
    // related generators seeded from one number do not repeat each other.
    static constexpr uint64_t Derive(uint64_t base, uint64_t n) {
        uint64_t z = base + n * 0x9e3779b97f4a7c15ULL;
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }

    // Uniform in [0, n); 0 when n <= 0.
    int64_t Below(int64_t n) {
        if (n <= 0) return 0;
        return int64_t(std::uniform_int_distribution<uint64_t>(0, uint64_t(n) - 1)(engine_));
    }
    uint64_t Next() { return engine_(); }

private:
    std::mt19937_64 engine_;
};

}  // namespace zl
