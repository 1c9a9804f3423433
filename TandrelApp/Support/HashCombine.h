// Folds one more hash into a running seed, the usual golden-ratio mix; the records hashed by several
// fields (devices, mappings, capture targets, applications) build their hashes with it.
#pragma once

#include <cstddef>

inline void hashCombine(std::size_t& seed, std::size_t value) {
    seed ^= value + 0x9e3779b97f4a7c15ULL + (seed << 6) + (seed >> 2);
}
