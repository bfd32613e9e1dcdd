// The class model driving a toy minidriver: registration, device start,
// requests from two threads, properties, streams and reads, time-outs,
// cancellation, and the protocol faults the model must report.
#include <gtest/gtest.h>

#include <functional>
#include <string>

#include "ks/class_model.h"
#include "usb/host.h"
#include "toy_minidriver.h"

namespace torvex::platform::ks {
namespace {

using namespace std::chrono_literals;

const std::wstring kServiceKey = L"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\toy";

KS_DATAFORMAT_VIDEOINFOHEADER RgbFormat() {
  KS_DATAFORMAT_VIDEOINFOHEADER format{};
  format.DataFormat.FormatSize = sizeof(format);
  format.DataFormat.SampleSize = 320 * 240 * 3;
  format.DataFormat.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  format.DataFormat.SubFormat = MEDIASUBTYPE_RGB24;
  format.DataFormat.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  format.VideoInfoHeader.AvgTimePerFrame = 333'333;
  format.VideoInfoHeader.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  format.VideoInfoHeader.bmiHeader.biWidth = 320;
  format.VideoInfoHeader.bmiHeader.biHeight = 240;
  format.VideoInfoHeader.bmiHeader.biBitCount = 24;
  return format;
}

KSPROPERTY_VIDEOPROCAMP_S ProcAmp(ULONG id, LONG value = 0) {
  KSPROPERTY_VIDEOPROCAMP_S s{};
  s.Property.Set = PROPSETID_VIDCAP_VIDEOPROCAMP;
  s.Property.Id = id;
  s.Value = value;
  return s;
}

class ClassModelTest : public ::testing::Test {
 protected:
  ClassModelTest() { toy::Reset(); }

  void SetUp() override { ASSERT_EQ(IoCreateDevice(nullptr, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &pdo), STATUS_SUCCESS); }

  void TearDown() override {
    stream.reset();
    device.reset();
    IoDeleteDevice(pdo);
    EXPECT_EQ(streamClass.violations(), std::vector<std::string>{});
    EXPECT_EQ(kernel.violations(), std::vector<std::string>{});
    EXPECT_EQ(kernel.leakReport(), "");
  }

  void StartDevice() {
    ASSERT_EQ(streamClass.loadDriver(toy::DriverEntry, kServiceKey), STATUS_SUCCESS);
    device = streamClass.addDevice(pdo);
    ASSERT_NE(device, nullptr);
    ASSERT_EQ(device->start(), STATUS_SUCCESS);
  }

  void OpenRunningStream() {
    StartDevice();
    auto format = RgbFormat();
    stream = device->openStream(0, &format.DataFormat);
    ASSERT_NE(stream, nullptr);
    ASSERT_EQ(stream->setState(KSSTATE_PAUSE).status, STATUS_SUCCESS);
    ASSERT_EQ(stream->setState(KSSTATE_RUN).status, STATUS_SUCCESS);
  }

  // Expects exactly one violation containing `text`, then forgets it.
  void ExpectViolation(const std::string& text) {
    auto found = streamClass.violations();
    ASSERT_EQ(found.size(), 1u) << ::testing::PrintToString(found);
    EXPECT_NE(found[0].find(text), std::string::npos) << found[0];
    streamClass.clearViolations();
    kernel.clearViolations();
  }

  Kernel kernel{KernelOptions{.printViolations = false}};
  StreamClass streamClass{kernel};
  PDEVICE_OBJECT pdo = nullptr;
  std::unique_ptr<Device> device;
  std::unique_ptr<Stream> stream;
};

// --- registration -----------------------------------------------------------

struct RegistrationCase {
  const char* name;
  ULONG initSize;
  bool withReceivePacket;
  BOOLEAN turnOffSynchronization;
  bool callRegister;
  NTSTATUS expected;
  bool violation;  // DriverEntry succeeded without registering
};

void PrintTo(const RegistrationCase& c, std::ostream* os) { *os << c.name; }

class RegistrationTest : public ClassModelTest, public ::testing::WithParamInterface<RegistrationCase> {};

TEST_P(RegistrationTest, AcceptsOnlyWhatTheClassSupports) {
  const RegistrationCase& c = GetParam();
  toy::gConfig.initSize = c.initSize;
  toy::gConfig.withReceivePacket = c.withReceivePacket;
  toy::gConfig.turnOffSynchronization = c.turnOffSynchronization;
  toy::gConfig.callRegister = c.callRegister;
  EXPECT_EQ(streamClass.loadDriver(toy::DriverEntry, kServiceKey), c.expected);
  EXPECT_EQ(streamClass.registered(), c.expected == STATUS_SUCCESS && c.callRegister);
  if (c.violation) {
    ExpectViolation("without registering");
  }
  if (!streamClass.registered()) {
    EXPECT_EQ(streamClass.addDevice(pdo), nullptr);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistrationTest,
    ::testing::Values(
        RegistrationCase{"NativeSize", sizeof(HW_INITIALIZATION_DATA), true, TRUE, true, STATUS_SUCCESS, false},
        RegistrationCase{"ThirtyTwoBitSize", 60, true, TRUE, true, STATUS_SUCCESS, false},
        RegistrationCase{"UnknownSize", 52, true, TRUE, true, STATUS_REVISION_MISMATCH, false},
        RegistrationCase{"NoReceivePacket", sizeof(HW_INITIALIZATION_DATA), false, TRUE, true, STATUS_INVALID_PARAMETER,
                         false},
        RegistrationCase{"ClassSynchronisation", sizeof(HW_INITIALIZATION_DATA), true, FALSE, true,
                         STATUS_NOT_SUPPORTED, false},
        RegistrationCase{"NeverRegisters", sizeof(HW_INITIALIZATION_DATA), true, TRUE, false, STATUS_SUCCESS, true}),
    [](const auto& info) { return std::string(info.param.name); });

// --- device -------------------------------------------------------------------

TEST_F(ClassModelTest, StartHandsOverTheDeviceAndReadsTheStreamDescriptor) {
  StartDevice();
  {
    std::lock_guard lock(toy::gLog.mutex);
    EXPECT_EQ(toy::gLog.physicalDevice, pdo);
    ASSERT_EQ(toy::gLog.processed.size(), 3u);
    EXPECT_EQ(toy::gLog.processed[0].first, SRB_INITIALIZE_DEVICE);
    EXPECT_EQ(toy::gLog.processed[1].first, SRB_GET_STREAM_INFO);
    EXPECT_EQ(toy::gLog.processed[2].first, SRB_INITIALIZATION_COMPLETE);
  }
  EXPECT_EQ(pdo->AttachedDevice, device->classDeviceObject());
  ASSERT_NE(device->streamHeader(), nullptr);
  EXPECT_EQ(device->streamHeader()->NumberOfStreams, 1u);
  ASSERT_NE(device->streamInfo(0), nullptr);
  EXPECT_EQ(device->streamInfo(0)->DataFlow, KSPIN_DATAFLOW_OUT);
  EXPECT_EQ(device->streamInfo(1), nullptr);
  EXPECT_NE(device->findDeviceProperty(PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAMMA), nullptr);
  EXPECT_NE(device->findStreamProperty(0, PROPSETID_VIDCAP_DROPPEDFRAMES, KSPROPERTY_DROPPEDFRAMES_CURRENT), nullptr);

  EXPECT_EQ(device->setPowerState(PowerDeviceD3).status, STATUS_SUCCESS);
  EXPECT_EQ(device->command(SRB_OPEN_DEVICE_INSTANCE).status, STATUS_NOT_IMPLEMENTED);
  std::lock_guard lock(toy::gLog.mutex);
  EXPECT_EQ(toy::gLog.powerState, PowerDeviceD3);
}

// A camera that only enumerates: enough for the hub to give it a port.
class PlainUsbDevice : public usb::DeviceModel {
 public:
  std::vector<uint8_t> deviceDescriptor() override {
    return {18, 1, 0x10, 0x01, 0, 0, 0, 8, 0x57, 0x7E, 0x01, 0x0C, 0x00, 0x01, 0, 0, 0, 1};
  }
  std::vector<uint8_t> configurationDescriptor() override { return {9, 2, 9, 0, 0, 1, 0, 0x80, 50}; }
  usb::ControlReply controlTransfer(const usb::SetupPacket&, std::span<const uint8_t>) override {
    return usb::ControlReply::stall();
  }
  usb::IsoPacket isochronousIn(uint8_t, uint32_t, uint16_t) override { return {}; }
};

TEST_F(ClassModelTest, MinidriverReachesTheHubThroughThePhysicalDeviceObject) {
  usb::HostController host(kernel);
  PDEVICE_OBJECT port = host.plug(1, std::make_shared<PlainUsbDevice>());
  toy::gConfig.queryPortStatus = true;
  ASSERT_EQ(streamClass.loadDriver(toy::DriverEntry, kServiceKey), STATUS_SUCCESS);
  device = streamClass.addDevice(port);
  ASSERT_EQ(device->start(), STATUS_SUCCESS);  // the toy's request completes on the hub's thread
  {
    std::lock_guard lock(toy::gLog.mutex);
    EXPECT_EQ(toy::gLog.physicalDevice, port);
    EXPECT_EQ(toy::gLog.portStatusResult, STATUS_SUCCESS);
    EXPECT_EQ(toy::gLog.portStatus, USBD_PORT_CONNECTED | USBD_PORT_ENABLED);
  }
  device.reset();  // before the hub that owns the port's device object
}

TEST_F(ClassModelTest, FailedInitialiseLeavesTheDeviceUnstarted) {
  ASSERT_EQ(streamClass.loadDriver(toy::DriverEntry, kServiceKey), STATUS_SUCCESS);
  device = streamClass.addDevice(pdo);
  EXPECT_EQ(device->start(1), STATUS_NO_SUCH_DEVICE);  // the toy refuses access ranges
  EXPECT_FALSE(device->started());
  EXPECT_EQ(device->streamHeader(), nullptr);
  auto format = RgbFormat();
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(device->openStream(0, &format.DataFormat, &status), nullptr);
  EXPECT_EQ(status, STATUS_INVALID_DEVICE_STATE);
}

TEST_F(ClassModelTest, DeviceRequestsFromTwoThreadsReachTheMinidriverTogether) {
  StartDevice();
  toy::gConfig.holdFirstPropertyGet = true;  // the get waits inside the toy until the power request is queued
  auto get = ProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS);
  Result getResult, powerResult;
  std::thread::id getThread;
  KernelThread first = kernel.startThread([&] {
    getThread = std::this_thread::get_id();
    getResult = device->getProperty(get);
  });
  KernelThread second = kernel.startThread([&] {
    // Only starts its request once the first is inside the toy.
    while (true) {
      {
        std::lock_guard lock(toy::gLog.mutex);
        if (toy::gLog.processed.size() == 4) break;
      }
      std::this_thread::yield();
    }
    powerResult = device->setPowerState(PowerDeviceD1);
  });
  first.join();
  second.join();
  EXPECT_EQ(getResult.status, STATUS_SUCCESS);
  EXPECT_EQ(getResult.bytes, sizeof(KSPROPERTY_VIDEOPROCAMP_S));
  EXPECT_EQ(get.Value, 7);
  EXPECT_EQ(powerResult.status, STATUS_SUCCESS);
  std::lock_guard lock(toy::gLog.mutex);
  ASSERT_EQ(toy::gLog.processed.size(), 5u);
  EXPECT_EQ(toy::gLog.processed[3].first, SRB_GET_DEVICE_PROPERTY);
  EXPECT_EQ(toy::gLog.processed[4].first, SRB_CHANGE_POWER_STATE);
  EXPECT_EQ(toy::gLog.processed[4].second, getThread);  // queued, then run by the thread that was busy
  EXPECT_EQ(toy::gLog.powerState, PowerDeviceD1);
}

struct PropertyCase {
  const char* name;
  GUID set;
  ULONG id;
  bool set_;
  ULONG dataSize;
  NTSTATUS expected;
  bool reachesDriver;
};

void PrintTo(const PropertyCase& c, std::ostream* os) { *os << c.name; }

class PropertyTest : public ClassModelTest, public ::testing::WithParamInterface<PropertyCase> {};

TEST_P(PropertyTest, RequestsAreCheckedAgainstTheMinidriverTables) {
  const PropertyCase& c = GetParam();
  StartDevice();
  auto value = ProcAmp(c.id, 99);
  value.Property.Set = c.set;
  int before;
  {
    std::lock_guard lock(toy::gLog.mutex);
    before = toy::gLog.deviceRequestsSeen;
  }
  Result r = c.set_ ? device->setProperty(&value, sizeof value, &value, c.dataSize)
                    : device->getProperty(&value, sizeof value, &value, c.dataSize);
  EXPECT_EQ(r.status, c.expected);
  std::lock_guard lock(toy::gLog.mutex);
  EXPECT_EQ(toy::gLog.deviceRequestsSeen - before, c.reachesDriver ? 1 : 0);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, PropertyTest,
    ::testing::Values(
        PropertyCase{"Get", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, false, 40, STATUS_SUCCESS, true},
        PropertyCase{"Set", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, true, 40, STATUS_SUCCESS, true},
        PropertyCase{"UnknownSet", PROPSETID_VIDCAP_CAMERACONTROL, KSPROPERTY_CAMERACONTROL_ROLL, false, 40,
                     STATUS_NOT_FOUND, false},
        PropertyCase{"UnknownId", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_HUE, false, 40, STATUS_NOT_FOUND,
                     false},
        PropertyCase{"SetOfGetOnly", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_GAMMA, true, 40,
                     STATUS_INVALID_DEVICE_REQUEST, false},
        PropertyCase{"ShortData", PROPSETID_VIDCAP_VIDEOPROCAMP, KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, false, 36,
                     STATUS_BUFFER_TOO_SMALL, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST_F(ClassModelTest, DataIntersectionGetsExactBuffers) {
  StartDevice();
  auto range = RgbFormat();  // a format doubles as a range for the toy
  KSDATAFORMAT out{};
  Result r = device->dataIntersection(0, &range.DataFormat, &out, sizeof out);
  EXPECT_EQ(r.status, STATUS_SUCCESS);
  EXPECT_EQ(r.bytes, sizeof(KSDATAFORMAT));
  EXPECT_TRUE(IsEqualGUID(out.SubFormat, MEDIASUBTYPE_RGB24));
  EXPECT_EQ(device->dataIntersection(0, &range.DataFormat, &out, 4).status, STATUS_BUFFER_TOO_SMALL);
}

// --- streams ------------------------------------------------------------------

TEST_F(ClassModelTest, ReadsCompleteWithFramesStampedByTheMasterClock) {
  OpenRunningStream();
  MasterClock clock(streamClass);
  clock.setStreamTime(1'000'000);
  ASSERT_EQ(stream->setMasterClock(&clock).status, STATUS_SUCCESS);

  Request first = stream->read(1000);
  Request second = stream->read(1000);
  ASSERT_TRUE(first && second);
  EXPECT_FALSE(first.done());
  kernel.advance(2s);
  PHW_STREAM_OBJECT object = stream->object();
  kernel.runAtPassive([object] { toy::DeliverFrame(object, 600, 0xAB); });  // completes on a worker thread
  EXPECT_EQ(first.wait(), STATUS_SUCCESS);
  EXPECT_EQ(first.header().DataUsed, 600u);
  EXPECT_EQ(first.header().PresentationTime.Time, 1'000'000 + 20'000'000);
  EXPECT_TRUE(first.header().OptionsFlags & KSSTREAM_HEADER_OPTIONSF_TIMEVALID);
  ASSERT_NE(first.frameInfo(), nullptr);
  EXPECT_EQ(first.frameInfo()->ExtendedHeaderSize, sizeof(KS_FRAME_INFO));
  EXPECT_EQ(first.frameInfo()->PictureNumber, 1);
  EXPECT_EQ(first.data()[0], 0xAB);
  EXPECT_EQ(first.data()[599], 0xAB);
  EXPECT_EQ(first.data()[600], 0);
  EXPECT_FALSE(second.done());

  KSPROPERTY_DROPPEDFRAMES_CURRENT_S dropped{};
  dropped.Property.Set = PROPSETID_VIDCAP_DROPPEDFRAMES;
  dropped.Property.Id = KSPROPERTY_DROPPEDFRAMES_CURRENT;
  EXPECT_EQ(stream->getProperty(dropped).status, STATUS_SUCCESS);
  EXPECT_EQ(dropped.PictureNumber, 1);

  KSSTATE state = KSSTATE_STOP;
  EXPECT_EQ(stream->getState(&state).status, STATUS_SUCCESS);
  EXPECT_EQ(state, KSSTATE_RUN);
  EXPECT_EQ(stream->close(), STATUS_SUCCESS);  // stops first: the toy cancels the second read
  EXPECT_EQ(second.status(), STATUS_CANCELLED);
  EXPECT_FALSE(stream->isOpen());
  EXPECT_FALSE(stream->read(10));  // nothing reaches a closed stream
}

TEST_F(ClassModelTest, CloseWaitsForAReadTheMinidriverStillHolds) {
  OpenRunningStream();
  Request read = stream->read(100);
  PHW_STREAM_REQUEST_BLOCK held = toy::TakeOldestRead(stream->object());
  ASSERT_EQ(held, read.srb());
  auto decoder = kernel.createSystemThread("decoder", PASSIVE_LEVEL);
  const TimePoint finish = kernel.now() + Duration(500ms).count();
  decoder->postAt(finish, [held] { toy::Finish(held); });
  EXPECT_EQ(stream->close(), STATUS_SUCCESS);  // not cancellable: the close waits for it
  EXPECT_EQ(read.status(), STATUS_SUCCESS);
  EXPECT_EQ(kernel.now(), finish);
}

TEST_F(ClassModelTest, OpenFailureFreesTheStreamAndAStreamReopens) {
  StartDevice();
  auto format = RgbFormat();
  NTSTATUS status = STATUS_SUCCESS;
  EXPECT_EQ(device->openStream(1, &format.DataFormat, &status), nullptr);
  EXPECT_EQ(status, STATUS_INVALID_PARAMETER);
  for (int round = 0; round < 2; ++round) {
    stream = device->openStream(0, &format.DataFormat, &status);
    ASSERT_NE(stream, nullptr);
    EXPECT_EQ(stream->command(SRB_SET_STREAM_RATE).status, STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(stream->read(0, SRB_WRITE_DATA).wait(), STATUS_NOT_IMPLEMENTED);
    EXPECT_EQ(stream->close(), STATUS_SUCCESS);
  }
}

TEST_F(ClassModelTest, PendingReadTimesOutEachTimeItsCounterRunsOut) {
  OpenRunningStream();
  Request read = stream->read(100);
  kernel.advance(2s);
  {
    std::lock_guard lock(toy::gLog.mutex);
    EXPECT_EQ(toy::gLog.timeouts, 0);
  }
  kernel.advance(1s);  // the toy gave it 3 s
  {
    std::lock_guard lock(toy::gLog.mutex);
    EXPECT_EQ(toy::gLog.timeouts, 1);
  }
  EXPECT_FALSE(read.done());
  kernel.advance(3s);  // reloaded by the toy's handler: once more
  {
    std::lock_guard lock(toy::gLog.mutex);
    EXPECT_EQ(toy::gLog.timeouts, 2);
  }
  ASSERT_EQ(stream->setState(KSSTATE_STOP).status, STATUS_SUCCESS);
  EXPECT_EQ(read.status(), STATUS_CANCELLED);
  kernel.advance(10s);  // a completed request is no longer counted
  std::lock_guard lock(toy::gLog.mutex);
  EXPECT_EQ(toy::gLog.timeouts, 2);
}

TEST_F(ClassModelTest, CancelReachesTheMinidriverOnlyWhilePending) {
  OpenRunningStream();
  Request read = stream->read(100);
  EXPECT_TRUE(read.cancel());
  EXPECT_EQ(read.wait(), STATUS_CANCELLED);
  EXPECT_EQ(read.header().DataUsed, 0u);
  EXPECT_FALSE(read.cancel());
  std::lock_guard lock(toy::gLog.mutex);
  EXPECT_EQ(toy::gLog.cancels, 1);
}

// --- protocol faults ----------------------------------------------------------

struct FaultCase {
  const char* name;
  toy::Fault fault;
  std::function<void(ClassModelTest&)> run;
  const char* expected;
};

void PrintTo(const FaultCase& c, std::ostream* os) { *os << c.name; }

class FaultTest : public ClassModelTest, public ::testing::WithParamInterface<FaultCase> {
 public:
  void PagingOut() { device->command(SRB_PAGING_OUT_DRIVER); }
  void GetBrightness() {
    auto value = ProcAmp(KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS);
    device->getProperty(value);
  }
  void GetState() {
    KSSTATE state;
    stream->getState(&state);
  }
  void ReadThenClose() {
    Request read = stream->read(100);
    stream->close();
  }
};

TEST_P(FaultTest, IsReported) {
  const FaultCase& c = GetParam();
  OpenRunningStream();
  toy::gConfig.fault = c.fault;
  c.run(*this);
  ExpectViolation(c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, FaultTest,
    ::testing::Values(
        FaultCase{"DoubleCompletion", toy::Fault::CompleteTwice, [](auto& t) { static_cast<FaultTest&>(t).PagingOut(); },
                  "completed twice"},
        FaultCase{"UnknownSrb", toy::Fault::CompleteUnknown, [](auto& t) { static_cast<FaultTest&>(t).PagingOut(); },
                  "does not know"},
        FaultCase{"StatusPending", toy::Fault::LeaveStatusPending,
                  [](auto& t) { static_cast<FaultTest&>(t).PagingOut(); }, "completed with STATUS_PENDING"},
        FaultCase{"BytesBeyondBuffer", toy::Fault::OverreportBytes,
                  [](auto& t) { static_cast<FaultTest&>(t).GetBrightness(); }, "reports 48 bytes for a buffer of 40"},
        FaultCase{"StreamRequestAsDeviceRequest", toy::Fault::WrongNotification,
                  [](auto& t) { static_cast<FaultTest&>(t).GetState(); },
                  "stream request completed with DeviceRequestComplete"},
        FaultCase{"ReadLostAtClose", toy::Fault::DropRead,
                  [](auto& t) { static_cast<FaultTest&>(t).ReadThenClose(); }, "left pending when its stream was closed"}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace torvex::platform::ks
