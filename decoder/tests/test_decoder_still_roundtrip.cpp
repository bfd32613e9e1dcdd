// Stored pictures made by the stored-picture encoder, read back by the still
// decoder: the layout, the options a camera may add, and photographs.
#include <gtest/gtest.h>

#include <algorithm>
#include <iostream>
#include <memory>
#include <string>
#include <vector>

#include "decoder/dcmp_enhance.h"
#include "decoder/dcmp_still.h"
#include "sim/encoder/still_encoder.h"
#include "tools/frame_tools.h"
#include "tools/imageio.h"

namespace {

using Bytes = std::vector<uint8_t>;
using torvex::sim::RgbPicture;

Bytes Unpack(const Bytes& stored, DcmpStillScan& scan)
{
    Bytes frame(stored.size() + 1);
    EXPECT_EQ(Dcmp_ScanStill(stored.data(), stored.size(), frame.data(), frame.size(), &scan), 1);
    frame.resize(scan.frameLength);
    return frame;
}

// Any frame survives the stored layout, including zero bytes that no marker
// follows (kept with the zero marker) and zero bytes in a row.
TEST(StillStoreFrame, EveryFrameUnpacksToItself)
{
    const std::vector<Bytes> frames = {
        {0x00, 0x01, 0x11, 0x00, 0x41, 0x22, 0x00, 0x90},
        {0x00, 0x01, 0x11, 0x00, 0x05, 0x00, 0x00, 0x00, 0x41},  // literal zeros, one before a marker
        {0x00, 0x3F, 0x00, 0x60, 0x00, 0x00},                    // zero before the zero marker's value, zeros at the end
        {0x00, 0x01, 0x00, 0x01, 0x00},                          // a second start marker value kept as data
    };
    for (const Bytes& frame : frames) {
        const Bytes stored = torvex::sim::StoreFrame(frame);
        DcmpStillScan scan;
        // The unpacker closes the frame with a zero byte; a final zero is that byte.
        Bytes expected = frame;
        if (expected.back() != 0x00)
            expected.push_back(0x00);
        EXPECT_EQ(Unpack(stored, scan), expected) << ::testing::PrintToString(frame);
    }
}

RgbPicture Photo(const std::string& name)
{
    const std::string path = std::string(TORVEX_PHOTOS_DIR) + "/" + name;
    const RgbPicture picture = torvex::tools::DecodeImage(torvex::tools::ReadAll(path));
    return torvex::sim::FitToSize(picture, 640, 480);
}

RgbPicture Mirrored(const RgbPicture& picture)
{
    RgbPicture out(picture.width, picture.height);
    for (int y = 0; y < picture.height; y++)
        for (int x = 0; x < picture.width; x++)
            std::copy_n(picture.Pixel(picture.width - 1 - x, y), 3, out.Pixel(x, y));
    return out;
}

Bytes DecodeStill(const Bytes& stored)
{
    Bytes out(DCMP_STILL_PICTURE_BYTES);
    EXPECT_EQ(Dcmp_DecodeStill(DCMP_STILL_SIZE_VGA, DCMP_STILL_BLOCKS_420, 0, 0, 0, out.data(), stored.size(),
                               stored.data()),
              1);
    return out;
}

TEST(StillEncoder, LaysOutEveryMarkerAndDecodesTheSameWithCameraExtras)
{
    const RgbPicture photo = Photo("chelsea.png");
    const torvex::sim::EncodedStill plain = torvex::sim::EncodeStill(photo);
    DcmpStillScan scan;
    Unpack(plain.bytes, scan);
    EXPECT_EQ(scan.mbMarks, DCMP_STILL_MB_MARKERS);
    EXPECT_EQ(scan.blkMarks, DCMP_STILL_BLOCK_MARKERS);
    const Bytes expected = DecodeStill(plain.bytes);

    torvex::sim::StillOptions extras;
    extras.leadingBytes = 100;
    extras.secondStart = true;
    const torvex::sim::EncodedStill withExtras = torvex::sim::EncodeStill(photo, extras);
    EXPECT_EQ(withExtras.bytes.size(), plain.bytes.size() + 100 + 5);
    EXPECT_EQ(DecodeStill(withExtras.bytes), expected);

    // Cut before its last markers, the picture is incomplete.
    for (std::size_t cut : {std::size_t{10}, plain.bytes.size() / 2}) {
        Bytes out(DCMP_STILL_PICTURE_BYTES, 0x5A);
        EXPECT_EQ(Dcmp_DecodeStill(1, 2, 0, 0, 0, out.data(), cut, plain.bytes.data()), 0) << cut;
    }
}

TEST(StillEncoder, CoarserQualityIsSmallerAndRefusesWrongInput)
{
    const RgbPicture photo = Photo("coffee.png");
    torvex::sim::StillOptions coarse;
    coarse.quality = 7;
    const std::size_t fine = torvex::sim::EncodeStill(photo).bytes.size();
    const torvex::sim::EncodedStill rough = torvex::sim::EncodeStill(photo, coarse);
    EXPECT_LT(rough.bytes.size(), fine);
    EXPECT_EQ(rough.qualityUsed, 7);
    DecodeStill(rough.bytes);

    coarse.quality = 10;
    EXPECT_THROW(torvex::sim::EncodeStill(photo, coarse), std::invalid_argument);
    EXPECT_THROW(torvex::sim::EncodeStill(RgbPicture(320, 240)), std::invalid_argument);
}

// Noise with 100,000 bytes before the frame does not fit at the finest
// quality: the encoder coarsens until the whole picture does.
TEST(StillEncoder, NoiseIsCoarsenedToFitTheLimit)
{
    RgbPicture noise(640, 480);
    uint32_t state = 12345;
    for (uint8_t& byte : noise.rgb) {
        state = state * 1664525u + 1013904223u;
        byte = static_cast<uint8_t>(state >> 24);
    }
    torvex::sim::StillOptions options;
    options.leadingBytes = 100000;
    const torvex::sim::EncodedStill still = torvex::sim::EncodeStill(noise, options);
    EXPECT_TRUE(still.QualityRaised());
    EXPECT_LE(still.bytes.size(), torvex::sim::kMaxStillBytes);
    DecodeStill(still.bytes);
}

class StillPhoto : public ::testing::TestWithParam<const char*> {};

// The decode buffer holds the photograph mirrored, as the camera stores it;
// the enhanced bitmap shows it the right way round.
TEST_P(StillPhoto, RoundTripKeepsThePicture)
{
    const RgbPicture photo = Photo(GetParam());
    const Bytes decoded = DecodeStill(torvex::sim::EncodeStill(photo).bytes);
    const RgbPicture plain = torvex::tools::FromBottomUpBgr(decoded, 640, 480);
    const double psnr = torvex::tools::LumaPsnr(Mirrored(photo), plain);
    std::cout << GetParam() << ": luma PSNR of the unenhanced decode " << psnr << " dB\n";
    EXPECT_GT(psnr, 30.0);

    auto bitmap = std::make_unique<DcmpStillBitmap>();
    Dcmp_StillToBitmap(decoded.data(), bitmap.get());
    Bytes bottomUp(DCMP_STILL_PICTURE_BYTES);
    for (int row = 0; row < 480; row++)
        std::copy_n(bitmap->ScanLine(479 - row), DCMP_STILL_STRIDE, bottomUp.begin() + row * DCMP_STILL_STRIDE);
    const RgbPicture enhanced = torvex::tools::FromBottomUpBgr(bottomUp, 640, 480);
    // Colour and levels change, the scene stays: far closer upright than mirrored.
    EXPECT_GT(torvex::tools::LumaPsnr(photo, enhanced), torvex::tools::LumaPsnr(Mirrored(photo), enhanced) + 5);
}

INSTANTIATE_TEST_SUITE_P(Photos, StillPhoto, ::testing::Values("astronaut.png", "chelsea.png", "coffee.png"),
                         [](const auto& info) {
                             std::string name = info.param;
                             return name.substr(0, name.find('.'));
                         });

}  // namespace
