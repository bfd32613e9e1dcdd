// The device side seen by the operating system: registration, initialise and
// uninitialise, configuration and alternate settings, device-request
// serialisation and overlapping camera requests.
#include <algorithm>
#include <atomic>

#include "driver_fixture.h"

namespace torvex::driver_test {
namespace {

using platform::KernelThread;

TEST_F(DriverTest, InitialiseConfiguresTheCameraAndUninitialiseReleasesIt) {
  EXPECT_EQ(streamClass.registration().TurnOffSynchronization, TRUE);
  Start();
  EXPECT_EQ(Registry(TORVEX_CAMERA_STATE_VALUE), 2u);
  EXPECT_EQ(gCameraState, 2u);
  EXPECT_EQ(ReadShared(&Adapter()->DeviceState), DEVICE_STARTED);
  EXPECT_NE(Adapter()->DeviceDescriptor, nullptr);
  ASSERT_NE(Adapter()->InterfaceInfo, nullptr);
  EXPECT_EQ(Adapter()->InterfaceInfo->InterfaceNumber, sim::kStreamingInterface);
  EXPECT_EQ(device->streamHeader()->NumDevPropArrayEntries, NUM_ADAPTER_PROPERTY_SETS);

  EXPECT_EQ(device->uninitialize().status, STATUS_SUCCESS);
  EXPECT_EQ(Registry(TORVEX_CAMERA_STATE_VALUE), 0u);
  EXPECT_EQ(gCameraState, 0u);
  EXPECT_EQ(ReadShared(&Adapter()->DeviceState), DEVICE_STOPPED);
  EXPECT_EQ(kernel.poolStats(ISOUSB_POOL_TAG).liveCount, 0u);
}

TEST_F(DriverTest, AccessRangesAreRefused) {
  EXPECT_EQ(device->start(1), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(kernel.poolStats(ISOUSB_POOL_TAG).totalAllocations, 0u);
}

struct CommandCase {
  const char* name;
  SRB_COMMAND command;
  NTSTATUS expected;
};

class DeviceCommandTest : public DriverTest, public ::testing::WithParamInterface<CommandCase> {};

TEST_P(DeviceCommandTest, AnswersWithoutEffect) {
  Start();
  EXPECT_EQ(device->command(GetParam().command).status, GetParam().expected);
  EXPECT_EQ(device->setPowerState(PowerDeviceD3).status, STATUS_SUCCESS);
  EXPECT_EQ(Adapter()->DevicePowerState, static_cast<ULONG>(PowerDeviceD3));
}

INSTANTIATE_TEST_SUITE_P(
    Commands, DeviceCommandTest,
    ::testing::Values(CommandCase{"PagingOut", SRB_PAGING_OUT_DRIVER, STATUS_SUCCESS},
                      CommandCase{"InitializationComplete", SRB_INITIALIZATION_COMPLETE, STATUS_SUCCESS},
                      CommandCase{"OpenDeviceInstance", SRB_OPEN_DEVICE_INSTANCE, STATUS_NOT_IMPLEMENTED},
                      CommandCase{"Unknown", SRB_UNKNOWN_DEVICE_COMMAND, STATUS_NOT_IMPLEMENTED}),
    [](const auto& info) { return std::string(info.param.name); });

// Every allocation of a start fails in turn: the start reports it, or
// succeeds without the interface copy and then cannot open the stream; in
// every case nothing of the driver stays in the pool.
class FailedStartTest : public DriverTest, public ::testing::WithParamInterface<int> {};

TEST_P(FailedStartTest, LeavesNothingBehind) {
  FailDriverAllocationsAfter(GetParam());
  NTSTATUS status = device->start();
  kernel.setAllocationFailure({});
  EXPECT_EQ(Registry(TORVEX_CAMERA_STATE_VALUE), 2u);
  if (NT_SUCCESS(status)) {
    EXPECT_EQ(Adapter()->InterfaceInfo, nullptr);
    auto format = RgbFormat();
    NTSTATUS openStatus = STATUS_SUCCESS;
    EXPECT_EQ(device->openStream(0, &format.DataFormat, &openStatus), nullptr);
    EXPECT_EQ(openStatus, STATUS_INSUFFICIENT_RESOURCES);
  } else {
    EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(kernel.poolStats(ISOUSB_POOL_TAG).liveCount, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(EachAllocation, FailedStartTest, ::testing::Range(0, 5));

TEST_F(DriverTest, StartWithTheCameraUnpluggedFailsCleanly) {
  host_.unplug(kPort);
  EXPECT_FALSE(NT_SUCCESS(device->start()));
  EXPECT_EQ(kernel.poolStats(ISOUSB_POOL_TAG).liveCount, 0u);
}

// --- configuration and alternate settings ------------------------------------

struct ConfigurationCase {
  const char* name;
  bool statusInterface;
  std::vector<std::uint16_t> packetSizes;
  uint32_t budget;
  UCHAR alternateSettings;  // derived by the driver
  UCHAR selected;           // the setting the open ends with
  size_t configurationReads;
};

std::vector<std::uint16_t> SteppedPacketSizes(int settings, int step) {
  std::vector<std::uint16_t> sizes;
  for (int i = 0; i < settings; ++i) sizes.push_back(static_cast<std::uint16_t>(std::min(i * step, 1023)));
  return sizes;
}

const std::vector<std::uint16_t> kDefaultSizes = sim::DescriptorConfig{}.packetSizes;

class ConfigurationTest : public DriverTest, public ::testing::WithParamInterface<ConfigurationCase> {
 protected:
  ConfigurationTest() : DriverTest(CameraFor(GetParam()), {.isochronousBudget = GetParam().budget}) {}
  static sim::CameraConfig CameraFor(const ConfigurationCase& c) {
    sim::CameraConfig config;
    config.descriptors.statusInterface = c.statusInterface;
    config.descriptors.packetSizes = c.packetSizes;
    return config;
  }
};

TEST_P(ConfigurationTest, OpenSelectsTheHighestSettingTheHostGrants) {
  const ConfigurationCase& c = GetParam();
  OpenStream();
  EXPECT_EQ(Adapter()->AlternateSettingCount, c.alternateSettings);
  EXPECT_EQ(Camera().AlternateSetting(), c.selected);
  ASSERT_NE(Adapter()->InterfaceInfo, nullptr);
  EXPECT_EQ(Adapter()->InterfaceInfo->AlternateSetting, c.selected);
  EXPECT_EQ(Adapter()->InterfaceInfo->Pipes[0].MaximumPacketSize, c.packetSizes[c.selected]);
  EXPECT_NE(Adapter()->InterfaceInfo->Pipes[0].PipeHandle, nullptr);
  auto log = host_.log();
  EXPECT_EQ(std::count_if(log.begin(), log.end(),
                          [](const std::string& line) { return line.find("value 0x200") != std::string::npos; }),
            static_cast<long>(c.configurationReads))
      << ::testing::PrintToString(log);
}

INSTANTIATE_TEST_SUITE_P(
    Cameras, ConfigurationTest,
    ::testing::Values(ConfigurationCase{"EightSettings", false, kDefaultSizes, 1100, 8, 7, 1},
                      ConfigurationCase{"StatusInterfaceFirst", true, kDefaultSizes, 1100, 8, 7, 1},
                      ConfigurationCase{"StepsDownWhileRefused", false, kDefaultSizes, 600, 8, 4, 1},
                      ConfigurationCase{"TwoSettingsStartAtZero", false, {0, 512}, 1100, 2, 0, 1},
                      ConfigurationCase{"LongDescriptorReadTwice", false, SteppedPacketSizes(40, 30), 900, 40, 30, 2}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(DriverTest, OpenThatCannotSelectASettingIsUndoneAndCanBeRetried) {
  Start();
  // No select-interface request can be built: every setting down to 0 fails.
  kernel.setAllocationFailure([](POOL_TYPE, SIZE_T size, ULONG tag) {
    return tag == ISOUSB_POOL_TAG && size == GET_SELECT_INTERFACE_REQUEST_SIZE(1);
  });
  auto format = RgbFormat();
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(device->openStream(0, &format.DataFormat, &status), nullptr);
  EXPECT_EQ(status, STATUS_INSUFFICIENT_RESOURCES);
  EXPECT_EQ(Adapter()->OpenInstances[0], 0u);
  EXPECT_EQ(Adapter()->OpenStreams[0], nullptr);
  EXPECT_EQ(kernel.poolStats(ISOUSB_POOL_TAG).liveCount, 3u);  // the device's descriptors and interface copy

  kernel.setAllocationFailure({});
  stream = device->openStream(0, &format.DataFormat, &status);
  EXPECT_EQ(status, STATUS_SUCCESS);
  EXPECT_EQ(Camera().AlternateSetting(), 7);
}

// --- serialisation and overlapping camera requests -----------------------------

KSPROPERTY_VIDEOPROCAMP_S ProcAmp(ULONG id) {
  KSPROPERTY_VIDEOPROCAMP_S p{};
  p.Property.Set = PROPSETID_VIDCAP_VIDEOPROCAMP;
  p.Property.Id = id;
  return p;
}

TEST_F(DriverTest, SecondDeviceRequestWaitsForTheFirstAndRunsAfterIt) {
  Start();
  Camera().ArmControlFault({sim::ControlFaultKind::NoAnswer, VENDOR_BRIGHTNESS});
  auto brightness = ProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS);
  auto contrast = ProcAmp(KSPROPERTY_VIDEOPROCAMP_CONTRAST);
  Result first, second;
  const auto start = kernel.now();
  KernelThread a = kernel.startThread([&] { first = device->getProperty(brightness); });
  kernel.runUntilIdle();  // the brightness request waits for the camera
  KernelThread b = kernel.startThread([&] { second = device->getProperty(contrast); });
  kernel.runUntilIdle();  // the contrast request is queued behind it
  EXPECT_TRUE(Camera().Log().Requests(VENDOR_CONTRAST).empty());
  kernel.advance(std::chrono::seconds(3));
  a.join();
  b.join();
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(brightness.Value, 0);  // the stored default: the camera never answered
  EXPECT_EQ(second.status, STATUS_SUCCESS);
  EXPECT_EQ(contrast.Value, 100);
  auto requests = Camera().Log().Requests(VENDOR_CONTRAST);
  ASSERT_EQ(requests.size(), 1u);
  EXPECT_GE(requests[0].busFrame, 3000u);  // sent only after the first request ended
  EXPECT_GE(kernel.now() - start, std::chrono::duration_cast<platform::Duration>(std::chrono::seconds(3)).count());
}

// The default pipe answers one request at a time, so the stream's video-on
// request waits behind a property request the camera never answers; each
// keeps its own 3-second time-out.
TEST_F(DriverTest, OverlappingCameraRequestsKeepTheirOwnTimeOuts) {
  OpenStream();
  ASSERT_EQ(stream->setState(KSSTATE_PAUSE).status, STATUS_SUCCESS);
  Camera().ArmControlFault({sim::ControlFaultKind::NoAnswer, VENDOR_GAMMA});
  auto gamma = ProcAmp(KSPROPERTY_VIDEOPROCAMP_GAMMA);
  Result property, run;
  const auto start = kernel.now();
  std::atomic<platform::TimePoint> propertyDone{0};
  KernelThread a = kernel.startThread([&] {
    property = device->getProperty(gamma);
    propertyDone = kernel.now();
  });
  kernel.runUntilIdle();
  kernel.advance(std::chrono::seconds(1));
  KernelThread b = kernel.startThread([&] { run = stream->setState(KSSTATE_RUN); });
  kernel.runUntilIdle();
  EXPECT_EQ(propertyDone, 0);
  EXPECT_FALSE(Camera().Settings().videoOn);
  kernel.advance(std::chrono::seconds(2));
  a.join();
  b.join();
  EXPECT_EQ(propertyDone - start, 30'000'000);  // the gamma request's own 3 s
  EXPECT_EQ(property.status, STATUS_SUCCESS);
  EXPECT_EQ(gamma.Value, 8);
  EXPECT_EQ(run.status, STATUS_SUCCESS);
  EXPECT_TRUE(Camera().Settings().videoOn);  // answered once the pipe was free
}

}  // namespace
}  // namespace torvex::driver_test
