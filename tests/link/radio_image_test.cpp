// The stand-in radio image and its cutting into 1000-byte chunks.
#include "link/radio_image.hpp"

#include <algorithm>

#include <gtest/gtest.h>

namespace kinetra::link {
namespace {

using core::Bytes;

TEST(RadioImageChunks, PadsOnlyAShortLastChunk) {
    const Bytes exact(2000, 0x11);
    EXPECT_EQ(RadioImageChunks(exact).count(), 2u);
    EXPECT_EQ(RadioImageChunks(exact).chunk(1).data(), exact.data() + 1000);
    const Bytes one{0x42};
    const RadioImageChunks single(one);
    ASSERT_EQ(single.count(), 1u);
    EXPECT_EQ(single.chunk(0)[0], 0x42);
    EXPECT_EQ(std::count(single.chunk(0).begin(), single.chunk(0).end(), 0xFF), 999);
    EXPECT_EQ(RadioImageChunks(Bytes{}).count(), 0u);
}

}  // namespace
}  // namespace kinetra::link
