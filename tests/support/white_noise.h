// Deterministic white noise for the tests that feed sound.
#pragma once

#include <cstdint>

// White noise in [-0.5, 0.5) for any frame index: the same frame always
// gives the same value, so a delayed copy is exactly the noise shifted.
inline float white_noise(std::uint64_t frame)
{
    std::uint64_t z = frame + 0x9e3779b97f4a7c15ull;
    z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ull;
    z = (z ^ (z >> 27)) * 0x94d049bb133111ebull;
    z ^= z >> 31;
    return static_cast<float>(z >> 40) / static_cast<float>(1ull << 24) - 0.5f;
}
