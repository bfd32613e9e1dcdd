#include <gtest/gtest.h>

#include <algorithm>

#include "packet_assembler.h"
#include "sim/camera/picture_source.h"

namespace torvex::sim {
namespace {

using testing::PacketAssembler;
using testing::PaddedToGroups;

RgbPicture Gradient(int width, int height) {
  RgbPicture picture(width, height);
  for (int y = 0; y < height; ++y)
    for (int x = 0; x < width; ++x) {
      std::uint8_t* p = picture.Pixel(x, y);
      p[0] = static_cast<std::uint8_t>(x * 255 / width);
      p[1] = static_cast<std::uint8_t>(y * 255 / height);
      p[2] = static_cast<std::uint8_t>((x + y) * 2);
    }
  return picture;
}

SetupPacket Request(std::uint8_t bRequest, std::uint16_t wValue, std::uint16_t wIndex) {
  return {kVendorDeviceIn, bRequest, wValue, wIndex, 6};
}

// The camera encodes at the size and level the host last set, and the frames arrive whole.
TEST(PictureStream, EncodesAtTheRequestedSizeAndLevel) {
  const std::vector<RgbPicture> pictures{Gradient(64, 48), Gradient(90, 40)};
  auto source = std::make_unique<PictureSource>(pictures);
  CameraConfig config;
  config.framesPerSecond = 1000;
  SimCamera camera(config, std::move(source));
  ASSERT_TRUE(camera.SelectAlternateSetting(kStreamingInterface, 7, 0));
  camera.Control(Request(0x10, 3, 0), 0);
  camera.Control(Request(0x0F, 320, 240), 0);
  camera.Control(Request(0x13, 1, 0), 0);

  PacketAssembler assembler(1023);
  std::uint64_t busFrame = 0;
  const auto runUntilFrames = [&](std::size_t count) {
    while (camera.Log().Frames().size() < count) assembler.Add(camera.VideoPacket(busFrame++));
  };
  runUntilFrames(3);
  camera.Control(Request(0x0F, 640, 480), busFrame);
  camera.Control(Request(0x10, 9, 0), busFrame);
  runUntilFrames(5);

  const auto frames = camera.Log().Frames();
  const std::vector<CodedSize> sizes{{320, 240}, {320, 240}, {320, 240}, {640, 480}};
  const std::vector<int> levels{3, 3, 3, 7};
  ASSERT_EQ(assembler.Frames().size(), 4u);
  for (std::size_t i = 0; i < 4; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(frames[i].request.size, sizes[i]);
    EXPECT_EQ(frames[i].request.compressionLevel, levels[i]);
    const RgbPicture fitted = FitToSize(pictures[i % 2], sizes[i].width, sizes[i].height);
    const EncodedFrame expected = EncodeFrame(fitted, levels[i]);
    EXPECT_EQ(frames[i].bytes, expected.bytes);
    // A frame that ends in a zero byte may lose its last group, which then holds only zeros
    // (filler on the wire); the host puts a zero byte after every frame it assembles.
    const auto& got = assembler.Frames()[i];
    const auto sent = PaddedToGroups(expected.bytes);
    ASSERT_LE(got.size(), sent.size());
    EXPECT_LE(sent.size() - got.size(), 8u);
    EXPECT_TRUE(std::equal(got.begin(), got.end(), sent.begin()));
    EXPECT_TRUE(std::all_of(sent.begin() + static_cast<std::ptrdiff_t>(got.size()), sent.end(),
                            [](std::uint8_t b) { return b == 0; }));
  }
}

TEST(PictureStream, NeedsAPicture) {
  EXPECT_THROW(PictureSource({}), std::invalid_argument);
  EXPECT_THROW(PictureSource({RgbPicture{}}), std::invalid_argument);
}

}  // namespace
}  // namespace torvex::sim
