// Round trip of the sample photographs: fitted to a coded size, encoded at
// every quality level, decoded as the driver does, compared with the fitted
// picture.
#include <gtest/gtest.h>

#include <cstdio>
#include <map>

#include "sim/encoder/encoder.h"
#include "tools/frame_tools.h"
#include "tools/imageio.h"

namespace torvex::sim {
namespace {

struct RoundTripCase {
    const char* photo;
    int width, height;
    int level;
};

std::string Name(const ::testing::TestParamInfo<RoundTripCase>& info) {
    const RoundTripCase& c = info.param;
    std::string photo = c.photo;
    photo = photo.substr(0, photo.find('.'));
    return photo + "_" + std::to_string(c.width) + "x" + std::to_string(c.height) + "_level" +
           std::to_string(c.level);
}

// Fitted photographs, read once per photograph and size.
const RgbPicture& Reference(const char* photo, int width, int height) {
    static std::map<std::string, RgbPicture> cache;
    const std::string key = std::string(photo) + std::to_string(width);
    auto it = cache.find(key);
    if (it == cache.end()) {
        const RgbPicture original =
            tools::DecodeImage(tools::ReadAll(std::string(TORVEX_PHOTOS_DIR) + "/" + photo));
        it = cache.emplace(key, FitToSize(original, width, height)).first;
    }
    return it->second;
}

class RoundTrip : public ::testing::TestWithParam<RoundTripCase> {};

TEST_P(RoundTrip, LooksLikeItself) {
    const RoundTripCase& c = GetParam();
    const RgbPicture& reference = Reference(c.photo, c.width, c.height);
    const EncodedFrame frame = EncodeFrame(reference, c.level);
    ASSERT_LE(frame.bytes.size(), kMaxFrameBytes);
    // Photographs fit at every level at these sizes; level 8 by choosing its steps.
    EXPECT_FALSE(frame.LevelRaised());

    tools::FrameDecodeOptions options;
    options.outWidth = c.width;
    options.outHeight = c.height;
    options.qualityLevel = frame.levelUsed;
    const tools::DecodedFrame decoded = tools::DecodeFrame(frame.bytes, options);
    const RgbPicture picture = tools::FromBottomUpBgr(decoded.bytes, c.width, c.height);
    const double luma = tools::LumaPsnr(reference, picture);
    const double rgb = tools::RgbPsnr(reference, picture);
    RecordProperty("luma_psnr", std::to_string(luma));
    RecordProperty("rgb_psnr", std::to_string(rgb));
    std::printf("%s %dx%d level %d: %zu bytes, luma %.2f dB, RGB %.2f dB\n", c.photo, c.width, c.height, c.level,
                frame.bytes.size(), luma, rgb);

    // Level 8 is the finest level whose frame fits the size limit.
    const double lumaFloor = c.level == 8 ? 40 : c.level == 2 ? 30 : 28;
    EXPECT_GE(luma, lumaFloor);
    EXPECT_GE(rgb, 26);  // catches colour faults that luma alone would not show
}

std::vector<RoundTripCase> AllCases() {
    std::vector<RoundTripCase> cases;
    for (const char* photo : {"astronaut.png", "chelsea.png", "coffee.png"})
        for (auto [width, height] : {std::pair{320, 240}, std::pair{640, 480}})
            for (int level = 0; level <= 8; ++level) cases.push_back({photo, width, height, level});
    return cases;
}

INSTANTIATE_TEST_SUITE_P(Photographs, RoundTrip, ::testing::ValuesIn(AllCases()), Name);

}  // namespace
}  // namespace torvex::sim
