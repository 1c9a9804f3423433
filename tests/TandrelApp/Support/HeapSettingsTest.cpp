// The allocator keeps giving large blocks mappings of their own after one was freed, so the memory of a
// device that went away is returned to the system instead of staying resident in the heap.
#include <malloc.h>

#include <cstdlib>

#include <gtest/gtest.h>

#include "TandrelApp/Support/HeapSettings.h"

namespace {

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool kOwnAllocator = true;
#else
constexpr bool kOwnAllocator = false;
#endif

TEST(HeapSettings, ALargeBlockGetsAMappingOfItsOwnEvenAfterALargerOneWasFreed) {
    if (kOwnAllocator) {
        GTEST_SKIP() << "a sanitizer's allocator replaces the system's here";
    }
    HeapSettings::returnLargeBlocksToTheSystem();
    // Left to itself, glibc would raise its threshold past this block's size when it is freed.
    void* larger = std::malloc(4 << 20);
    ASSERT_NE(larger, nullptr);
    std::free(larger);
    const auto mappedBefore = mallinfo2().hblks;
    void* block = std::malloc(1 << 20);
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(mallinfo2().hblks, mappedBefore + 1);
    std::free(block);
}

} // namespace
