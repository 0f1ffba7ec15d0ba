// The stand-in radio image and its cutting into 1000-byte chunks.
#include "link/radio_image.hpp"

#include <algorithm>

#include <gtest/gtest.h>

namespace kinetra::link {
namespace {

using core::Bytes;

// 818 whole chunks are views into the image; the last holds the remaining 832 bytes and 168
// bytes of 0xFF.
TEST(RadioImageChunks, CutsTheImageIntoChunksAndPadsTheLast) {
    const auto image = radioFirmwareImage();
    ASSERT_EQ(image.size(), 818'832u);
    EXPECT_EQ(image.data(), radioFirmwareImage().data());  // built once
    // Not a constant fill: a radio that checks nothing would still get distinct chunks.
    EXPECT_NE(std::count(image.begin(), image.end(), image[0]), 818'832);
    const RadioImageChunks chunks(image);
    ASSERT_EQ(chunks.count(), 819u);
    EXPECT_EQ(chunks.chunk(0).data(), image.data());
    EXPECT_EQ(chunks.chunk(817).data(), image.data() + 817'000);
    const auto last = chunks.chunk(818);
    EXPECT_TRUE(std::equal(last.begin(), last.begin() + 832, image.begin() + 818'000));
    EXPECT_TRUE(std::all_of(last.begin() + 832, last.end(), [](auto b) { return b == 0xFF; }));
}

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
