#include <gtest/gtest.h>

#include <ostream>

#include "sim/camera/sim_camera.h"

namespace torvex::sim {
namespace {

int Word(const std::vector<std::uint8_t>& d, std::size_t at) { return d[at] | d[at + 1] << 8; }

TEST(DeviceDescriptor, IsAFullSpeedVendorDevice) {
  DescriptorConfig config;
  config.vendorId = 0x1234;
  config.productId = 0xABCD;
  const auto d = BuildDeviceDescriptor(config);
  ASSERT_EQ(d.size(), 18u);
  EXPECT_EQ(d[0], 18);
  EXPECT_EQ(d[1], 1);
  EXPECT_EQ(Word(d, 2), 0x0110);
  EXPECT_EQ(d[7], 8);  // default pipe packet size
  EXPECT_EQ(Word(d, 8), 0x1234);
  EXPECT_EQ(Word(d, 10), 0xABCD);
  EXPECT_EQ(d[17], 1);  // one configuration
}

struct LayoutCase {
  const char* name;
  bool statusInterface;
  std::vector<std::uint16_t> packetSizes;
  int totalLength;
};
void PrintTo(const LayoutCase& c, std::ostream* os) { *os << c.name; }

class ConfigurationLayout : public ::testing::TestWithParam<LayoutCase> {};

// Walks the descriptors the way the host counts alternate settings: 9 bytes of configuration,
// a 16-byte block for a second interface, then one 16-byte block per alternate setting.
TEST_P(ConfigurationLayout, HoldsOneBlockPerAlternateSetting) {
  const LayoutCase& c = GetParam();
  DescriptorConfig config;
  config.statusInterface = c.statusInterface;
  config.packetSizes = c.packetSizes;
  const auto d = BuildConfigurationDescriptor(config);

  ASSERT_EQ(d.size(), static_cast<std::size_t>(c.totalLength));
  EXPECT_EQ(d[0], 9);
  EXPECT_EQ(d[1], 2);
  EXPECT_EQ(Word(d, 2), c.totalLength);
  EXPECT_EQ(d[4], c.statusInterface ? 2 : 1);
  EXPECT_EQ(d[5], 1);  // bConfigurationValue
  const int head = c.statusInterface ? 25 : 9;
  EXPECT_EQ((c.totalLength - head) / 16, static_cast<int>(c.packetSizes.size()));

  if (c.statusInterface) {
    EXPECT_EQ(std::vector<std::uint8_t>(d.begin() + 9, d.begin() + 13), (std::vector<std::uint8_t>{9, 4, kStatusInterface, 0}));
    EXPECT_EQ(d[18 + 1], 5);
    EXPECT_EQ(d[18 + 3], 0x03);  // interrupt
  }
  for (std::size_t alt = 0; alt < c.packetSizes.size(); ++alt) {
    const std::size_t at = static_cast<std::size_t>(head) + 16 * alt;
    SCOPED_TRACE(alt);
    EXPECT_EQ(d[at], 9);
    EXPECT_EQ(d[at + 1], 4);
    EXPECT_EQ(d[at + 2], kStreamingInterface);
    EXPECT_EQ(d[at + 3], alt);
    EXPECT_EQ(d[at + 4], 1);  // one endpoint
    EXPECT_EQ(d[at + 9], 7);
    EXPECT_EQ(d[at + 10], 5);
    EXPECT_EQ(d[at + 11], kVideoEndpoint);
    EXPECT_EQ(d[at + 12], 0x01);  // isochronous
    EXPECT_EQ(Word(d, at + 13), c.packetSizes[alt]);
    EXPECT_EQ(d[at + 15], 1);  // every bus frame
  }
}

const LayoutCase kLayouts[] = {
    {"DefaultEightSettings", false, DescriptorConfig{}.packetSizes, 137},
    {"TwoSettings", false, {0, 1023}, 41},
    {"StatusInterface", true, {0, 256, 512, 1023}, 89},
    {"OnlyAlternateZero", false, {0}, 25},
};

INSTANTIATE_TEST_SUITE_P(Camera, ConfigurationLayout, ::testing::ValuesIn(kLayouts),
                         [](const auto& info) { return std::string(info.param.name); });

TEST(ConfigurationLayout, RejectsWhatCannotBeDescribed) {
  for (const std::vector<std::uint16_t>& sizes :
       {std::vector<std::uint16_t>{}, std::vector<std::uint16_t>{64, 128}, std::vector<std::uint16_t>{0, 1024}}) {
    DescriptorConfig config;
    config.packetSizes = sizes;
    EXPECT_THROW(BuildConfigurationDescriptor(config), std::invalid_argument);
  }
}

TEST(ConfigurationLayout, OverrideIsSentAsItIs) {
  CameraConfig config;
  config.configurationOverride = {9, 2, 9, 0, 3, 1, 0, 0x80, 250};  // three interfaces, none described
  SimCamera camera(config);
  EXPECT_EQ(camera.ConfigurationDescriptor(), config.configurationOverride);
  EXPECT_TRUE(camera.SelectAlternateSetting(kStreamingInterface, 7, 0));
}

}  // namespace
}  // namespace torvex::sim
