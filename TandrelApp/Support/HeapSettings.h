// How the process's allocator treats large blocks; the program's entry applies it before anything else.
//
// The emulated devices' buffers are large (up to megabytes a device) and come and go with every device,
// rate, buffer size and line change. glibc raises its threshold for giving a block a mapping of its own
// whenever such a mapped block is freed, so later ones land in the heap, whose freed space stays resident:
// under churn the program's resident memory crept up by tens of megabytes while what it held did not.
#pragma once

#include <cstddef>

namespace HeapSettings {

// Blocks of at least this size always get a mapping of their own, returned to the system when freed.
inline constexpr std::size_t kLargeBlockBytes = 128 * 1024;

// Fixes that threshold (glibc then stops moving it). Safe to call more than once.
void returnLargeBlocksToTheSystem();

} // namespace HeapSettings
