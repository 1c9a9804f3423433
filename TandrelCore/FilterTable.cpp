#include <cmath>
#include <cstdlib>
#include <mutex>
#include <new>
#include <numbers>

#include "TandrelCore/ResampleKernel.h"

namespace {

// One shared table: its parameters and how many routes hold it, the rows right after this header.
struct alignas(64) TableNode {
    TableNode* next;
    uint32_t halfWidth;
    double cutoff;
    uint32_t references;

    float* rows() { return reinterpret_cast<float*>(reinterpret_cast<char*>(this) + sizeof(TableNode)); }
};

std::mutex registryMutex;
TableNode* registry = nullptr;

TableNode* nodeOf(const float* table) {
    return reinterpret_cast<TableNode*>(reinterpret_cast<char*>(const_cast<float*>(table)) -
                                        sizeof(TableNode));
}

} // namespace

namespace tdcore {

void fillFilterTable(float* table, uint32_t halfWidth, uint32_t taps, double cutoff) {
    const double h = halfWidth;
    for (uint32_t p = 0; p <= kPhases; ++p) {
        for (uint32_t k = 0; k < taps; ++k) {
            const double x = (static_cast<double>(k) + 1.0 - h) - static_cast<double>(p) / kPhases;
            const double arg = std::numbers::pi * cutoff * x;
            const double sinc = std::fabs(x) < 1e-9 ? 1.0 : std::sin(arg) / arg;
            const double window = std::fabs(x) >= h ? 0.0
                                                    : 0.42 + 0.5 * std::cos(std::numbers::pi * x / h) +
                                                          0.08 * std::cos(2.0 * std::numbers::pi * x / h);
            table[p * taps + k] = static_cast<float>(cutoff * sinc * window);
        }
    }
}

const float* acquireFilterTable(uint32_t halfWidth, double cutoff) {
    std::lock_guard lock(registryMutex);
    for (TableNode* node = registry; node != nullptr; node = node->next) {
        if (node->halfWidth == halfWidth && node->cutoff == cutoff) {
            ++node->references;
            return node->rows();
        }
    }
    const uint32_t taps = 2 * halfWidth;
    const size_t bytes = sizeof(TableNode) + sizeof(float) * (kPhases + 1) * taps;
    void* memory = std::aligned_alloc(alignof(TableNode), (bytes + 63) / 64 * 64);
    if (memory == nullptr) {
        return nullptr;
    }
    auto* node = new (memory) TableNode{registry, halfWidth, cutoff, 1};
    fillFilterTable(node->rows(), halfWidth, taps, cutoff);
    registry = node;
    return node->rows();
}

void releaseFilterTable(const float* table) {
    if (table == nullptr) {
        return;
    }
    std::lock_guard lock(registryMutex);
    TableNode* target = nodeOf(table);
    for (TableNode** link = &registry; *link != nullptr; link = &(*link)->next) {
        if (*link == target) {
            if (--target->references == 0) {
                *link = target->next;
                std::free(target);
            }
            return;
        }
    }
}

uint32_t liveFilterTables() {
    std::lock_guard lock(registryMutex);
    uint32_t count = 0;
    for (TableNode* node = registry; node != nullptr; node = node->next) {
        ++count;
    }
    return count;
}

} // namespace tdcore
