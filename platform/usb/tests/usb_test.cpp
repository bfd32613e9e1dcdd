// USB bus interface: descriptor parsing, configuration requests, and the
// simulated host controller driven with a toy isochronous device.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "usb/host.h"

using namespace std::chrono_literals;
using namespace torvex::platform;
using namespace torvex::platform::usb;
using ::testing::ElementsAre;
using ::testing::IsEmpty;

namespace {

// A configuration with one interface whose alternate settings each have one
// isochronous IN endpoint 0x81 of the given packet size (optionally preceded by
// another interface with an interrupt endpoint).
std::vector<uint8_t> MakeConfiguration(const std::vector<uint16_t>& packetSizes, bool withOtherInterface = false) {
  std::vector<uint8_t> b = {9, USB_CONFIGURATION_DESCRIPTOR_TYPE, 0, 0, static_cast<uint8_t>(withOtherInterface ? 2 : 1),
                            1, 0, 0x80, 50};
  auto add = [&](uint8_t number, uint8_t alt, uint8_t endpoint, uint8_t attributes, uint16_t size) {
    b.insert(b.end(), {9, USB_INTERFACE_DESCRIPTOR_TYPE, number, alt, 1, 0xFF, 0, 0, 0});
    b.insert(b.end(), {7, USB_ENDPOINT_DESCRIPTOR_TYPE, endpoint, attributes, static_cast<uint8_t>(size),
                       static_cast<uint8_t>(size >> 8), 1});
  };
  uint8_t streaming = withOtherInterface ? 1 : 0;
  if (withOtherInterface) add(0, 0, 0x82, USB_ENDPOINT_TYPE_INTERRUPT, 8);
  for (size_t alt = 0; alt < packetSizes.size(); ++alt)
    add(streaming, static_cast<uint8_t>(alt), 0x81, USB_ENDPOINT_TYPE_ISOCHRONOUS, packetSizes[alt]);
  b[2] = static_cast<uint8_t>(b.size());
  b[3] = static_cast<uint8_t>(b.size() >> 8);
  return b;
}

const std::vector<uint16_t> kAltSizes = {0, 512, 896, 1023};

// The toy device: answers control requests and isochronous packets through
// functions a test sets; by default each packet carries its frame number.
class ToyDevice : public DeviceModel {
 public:
  std::vector<uint8_t> deviceDescriptor() override {
    return {18, 1, 0x10, 0x01, 0xFF, 0, 0, 8, 0x34, 0x12, 0x78, 0x56, 0, 1, 0, 0, 0, 1};
  }
  std::vector<uint8_t> configurationDescriptor() override { return MakeConfiguration(kAltSizes); }
  ControlReply controlTransfer(const SetupPacket& setup, std::span<const uint8_t>) override {
    std::lock_guard lock(mu);
    setups.push_back(setup);
    return onControl ? onControl(setup) : ControlReply::withData({1, 2, 3, 4, 5, 6});
  }
  IsoPacket isochronousIn(uint8_t, uint32_t frame, uint16_t maxPacketSize) override {
    std::lock_guard lock(mu);
    if (onPacket) return onPacket(frame, maxPacketSize);
    IsoPacket p;
    p.data = {static_cast<uint8_t>(frame), static_cast<uint8_t>(frame >> 8), 0xAA};
    return p;
  }
  void alternateSettingSelected(uint8_t itf, uint8_t alt) override {
    std::lock_guard lock(mu);
    events.push_back("alt " + std::to_string(itf) + "/" + std::to_string(alt));
  }
  void pipeAborted(uint8_t ep) override { record("abort " + std::to_string(ep)); }
  void pipeReset(uint8_t ep) override { record("reset " + std::to_string(ep)); }
  void portEnabled() override { record("enabled"); }

  void record(std::string e) {
    std::lock_guard lock(mu);
    events.push_back(std::move(e));
  }

  std::mutex mu;
  std::function<ControlReply(const SetupPacket&)> onControl;
  std::function<IsoPacket(uint32_t frame, uint16_t maxPacketSize)> onPacket;
  std::vector<SetupPacket> setups;
  std::vector<std::string> events;
};

// An isochronous transfer owned by the test, completed asynchronously.
struct IsoTransfer {
  PIRP irp = nullptr;
  std::vector<uint8_t> urbMemory;
  std::vector<uint8_t> buffer;
  NTSTATUS status = STATUS_PENDING;
  int64_t completedAt = -1;
  KIRQL irql = 0xFF;
  std::vector<int>* order = nullptr;
  int index = 0;
  _URB_ISOCH_TRANSFER& urb() { return reinterpret_cast<PURB>(urbMemory.data())->UrbIsochronousTransfer; }
};

NTSTATUS IsoComplete(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* t = static_cast<IsoTransfer*>(context);
  t->status = irp->IoStatus.Status;
  t->completedAt = Kernel::current().now();
  t->irql = KeGetCurrentIrql();
  t->order->push_back(t->index);  // completions run one at a time on the controller thread
  return STATUS_MORE_PROCESSING_REQUIRED;
}

class UsbTest : public ::testing::Test {
 protected:
  UsbTest() { pdo = hc.plug(1, device); }
  ~UsbTest() override {
    for (auto& t : transfers) IoFreeIrp(t->irp);
    transfers.clear();
    kernel.runUntilIdle();
    EXPECT_THAT(kernel.violations(), IsEmpty());
  }

  // Sends an internal control request to the PDO and waits for it (the test thread's wait lets time run).
  NTSTATUS call(ULONG code, PVOID argument, PDEVICE_OBJECT target = nullptr) {
    KEVENT event;
    IO_STATUS_BLOCK iosb{};
    KeInitializeEvent(&event, NotificationEvent, FALSE);
    PDEVICE_OBJECT to = target ? target : pdo;
    PIRP irp = IoBuildDeviceIoControlRequest(code, to, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
    IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = argument;
    NTSTATUS status = IoCallDriver(to, irp);
    if (status != STATUS_PENDING) return status;
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    return iosb.Status;
  }
  NTSTATUS submit(PURB urb, PDEVICE_OBJECT target = nullptr) { return call(IOCTL_INTERNAL_USB_SUBMIT_URB, urb, target); }
  ULONG portStatus() {
    ULONG bits = 0xFFFF;
    EXPECT_EQ(call(IOCTL_INTERNAL_USB_GET_PORT_STATUS, &bits), STATUS_SUCCESS);
    return bits;
  }

  NTSTATUS vendorRequest(UCHAR request, std::vector<uint8_t>& buffer, ULONG* transferred = nullptr) {
    URB urb{};
    UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                          USBD_TRANSFER_DIRECTION_IN, 0, request, 0x1234, 0x0002, buffer.data(), nullptr,
                          static_cast<ULONG>(buffer.size()), nullptr);
    NTSTATUS status = submit(&urb);
    lastUrbStatus = urb.UrbHeader.Status;
    if (transferred) *transferred = urb.UrbControlVendorClassRequest.TransferBufferLength;
    return status;
  }

  // Selects the configuration (alternate setting 0) and remembers the handle.
  void configure(PDEVICE_OBJECT target = nullptr, ToyDevice* dev = nullptr) {
    auto bytes = (dev ? dev : device.get())->configurationDescriptor();
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(config, &size);
    ASSERT_NE(urb, nullptr);
    ASSERT_EQ(submit(urb, target), STATUS_SUCCESS);
    configHandle = urb->UrbSelectConfiguration.ConfigurationHandle;
    ExFreePool(urb);
  }
  NTSTATUS selectAlternate(UCHAR alt, PDEVICE_OBJECT target = nullptr) {
    std::vector<uint8_t> memory(GET_SELECT_INTERFACE_REQUEST_SIZE(1));
    auto* urb = reinterpret_cast<PURB>(memory.data());
    urb->UrbHeader.Function = URB_FUNCTION_SELECT_INTERFACE;
    urb->UrbHeader.Length = static_cast<USHORT>(memory.size());
    urb->UrbSelectInterface.ConfigurationHandle = configHandle;
    urb->UrbSelectInterface.Interface.Length = GET_USBD_INTERFACE_SIZE(1);
    urb->UrbSelectInterface.Interface.AlternateSetting = alt;
    NTSTATUS status = submit(urb, target);
    lastUrbStatus = urb->UrbHeader.Status;
    if (NT_SUCCESS(status)) pipe = urb->UrbSelectInterface.Interface.Pipes[0];
    return status;
  }
  NTSTATUS pipeRequest(USHORT function) {
    URB urb{};
    urb.UrbHeader.Function = function;
    urb.UrbHeader.Length = sizeof(_URB_PIPE_REQUEST);
    urb.UrbPipeRequest.PipeHandle = pipe.PipeHandle;
    return submit(&urb);
  }
  // Starts an isochronous transfer of `packets` packets without waiting for it.
  IsoTransfer& startIso(ULONG packets, NTSTATUS expectedCallStatus = STATUS_PENDING) {
    auto t = std::make_unique<IsoTransfer>();
    t->urbMemory.assign(GET_ISO_URB_SIZE(packets), 0);
    t->buffer.assign(packets * pipe.MaximumPacketSize, 0);
    t->order = &order;
    t->index = static_cast<int>(transfers.size());
    auto& iso = t->urb();
    iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
    iso.Hdr.Length = GET_ISO_URB_SIZE(packets);
    iso.PipeHandle = pipe.PipeHandle;
    iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
    iso.TransferBuffer = t->buffer.data();
    iso.TransferBufferLength = static_cast<ULONG>(t->buffer.size());
    iso.NumberOfPackets = packets;
    for (ULONG i = 0; i < packets; ++i) iso.IsoPacket[i].Offset = i * pipe.MaximumPacketSize;
    t->irp = IoAllocateIrp(static_cast<CCHAR>(pdo->StackSize + 1), FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(t->irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
    next->Parameters.Others.Argument1 = t->urbMemory.data();
    IoSetCompletionRoutine(t->irp, IsoComplete, t.get(), TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(pdo, t->irp), expectedCallStatus);
    transfers.push_back(std::move(t));
    return *transfers.back();
  }
  void streamAt(UCHAR alt) {
    configure();
    ASSERT_EQ(selectAlternate(alt), STATUS_SUCCESS);
  }

  Kernel kernel{{.workerThreads = 2, .performanceFrequency = 3'579'545, .printViolations = true}};
  HostController hc{kernel};
  std::shared_ptr<ToyDevice> device = std::make_shared<ToyDevice>();
  PDEVICE_OBJECT pdo = nullptr;
  USBD_CONFIGURATION_HANDLE configHandle = nullptr;
  USBD_PIPE_INFORMATION pipe{};
  USBD_STATUS lastUrbStatus = 0;
  std::vector<std::unique_ptr<IsoTransfer>> transfers;
  std::vector<int> order;
};

// --- descriptors ---

struct ParseCase {
  const char* name;
  std::function<void(std::vector<uint8_t>&)> damage;
  bool ok;
};
class ParseTest : public ::testing::TestWithParam<ParseCase> {};

TEST_P(ParseTest, ConfigurationBytesAreCheckedBeforeUse) {
  auto bytes = MakeConfiguration(kAltSizes);
  GetParam().damage(bytes);
  ConfigurationInfo info;
  std::string why;
  EXPECT_EQ(ParseConfiguration(bytes, info, &why), GetParam().ok) << why;
  if (GetParam().ok) {
    ASSERT_EQ(info.interfaces.size(), 4u);
    EXPECT_EQ(info.interfaces[3].endpoints.at(0).maxPacketSize, 1023);
  }
}

INSTANTIATE_TEST_SUITE_P(
    Cases, ParseTest,
    ::testing::Values(ParseCase{"intact", [](auto&) {}, true},
                      ParseCase{"zero_length_descriptor", [](auto& b) { b[9 + 16] = 0; }, false},
                      ParseCase{"short_interface", [](auto& b) { b[9] = 8; }, false},
                      ParseCase{"short_endpoint", [](auto& b) { b[18] = 6; }, false},
                      ParseCase{"total_length_past_bytes", [](auto& b) { b.pop_back(); }, false},
                      ParseCase{"last_descriptor_runs_past_total", [](auto& b) { b[b.size() - 7] = 8; }, false},
                      ParseCase{"endpoint_before_interface", [](auto& b) { std::swap_ranges(b.begin() + 9, b.begin() + 16, b.begin() + 18); b[9] = 7; b[10] = 5; b[16] = 9; b[17] = 4; }, false},
                      ParseCase{"not_a_configuration", [](auto& b) { b[1] = 1; }, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(UsbdTest, ParserNeverReadsPastTotalLengthAndSkipsShortInterfaces) {
  Kernel kernel;
  auto bytes = MakeConfiguration(kAltSizes);
  // Cut the configuration in the middle of the last interface descriptor.
  bytes.resize(9 + 16 * 3 + 5);
  bytes[2] = static_cast<uint8_t>(bytes.size());
  auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
  EXPECT_NE(USBD_ParseConfigurationDescriptorEx(config, config, 0, 2, -1, -1, -1), nullptr);
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 3, -1, -1, -1), nullptr);
  bytes[9 + 16] = 5;  // alternate setting 1 says it is 5 bytes long
  EXPECT_EQ(USBD_ParseConfigurationDescriptorEx(config, config, 0, 1, -1, -1, -1), nullptr);
}

TEST(UsbdTest, ConfigurationRequestHasOneInterfaceInformationPerInterface) {
  Kernel kernel;
  for (bool two : {false, true}) {
    auto bytes = MakeConfiguration(kAltSizes, two);
    auto* config = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data());
    USHORT size = 0;
    PURB urb = USBD_CreateConfigurationRequest(config, &size);
    ASSERT_NE(urb, nullptr);
    size_t interfaces = two ? 2 : 1;
    EXPECT_EQ(size, offsetof(_URB_SELECT_CONFIGURATION, Interface) + interfaces * GET_USBD_INTERFACE_SIZE(1));
    EXPECT_EQ(urb->UrbHeader.Length, size);
    EXPECT_EQ(urb->UrbHeader.Function, URB_FUNCTION_SELECT_CONFIGURATION);
    auto& first = urb->UrbSelectConfiguration.Interface;
    EXPECT_EQ(first.AlternateSetting, 0);
    EXPECT_EQ(first.NumberOfPipes, 1u);
    EXPECT_EQ(first.Length, GET_USBD_INTERFACE_SIZE(1));
    ExFreePool(urb);
  }
  // The Ex form builds the listed interfaces and points each list entry at its information.
  auto two = MakeConfiguration(kAltSizes, true);
  auto* twoConfig = reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(two.data());
  USBD_INTERFACE_LIST_ENTRY list[2] = {
      {USBD_ParseConfigurationDescriptorEx(twoConfig, twoConfig, 1, 2, -1, -1, -1), nullptr}, {nullptr, nullptr}};
  PURB urb = USBD_CreateConfigurationRequestEx(twoConfig, list);
  ASSERT_NE(urb, nullptr);
  EXPECT_EQ(list[0].Interface, &urb->UrbSelectConfiguration.Interface);
  EXPECT_EQ(list[0].Interface->InterfaceNumber, 1);
  EXPECT_EQ(list[0].Interface->AlternateSetting, 2);
  ExFreePool(urb);

  auto bytes = MakeConfiguration(kAltSizes);
  bytes[9] = 3;  // an interface descriptor shorter than its type: no request can be built
  EXPECT_EQ(USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(bytes.data()), nullptr),
            nullptr);
  EXPECT_EQ(kernel.leakReport(), "");
}

TEST_F(UsbTest, DescriptorsAreReadOverTheBusUpToTheBufferSize) {
  for (auto [type, bufferSize, expected] : {std::tuple{USB_DEVICE_DESCRIPTOR_TYPE, 18u, 18u},
                                            std::tuple{USB_CONFIGURATION_DESCRIPTOR_TYPE, 9u, 9u},
                                            std::tuple{USB_CONFIGURATION_DESCRIPTOR_TYPE, 521u, 73u}}) {
    std::vector<uint8_t> buffer(bufferSize);
    URB urb{};
    UsbBuildGetDescriptorRequest(&urb, sizeof(_URB_CONTROL_DESCRIPTOR_REQUEST), type, 0, 0, buffer.data(), nullptr,
                                 bufferSize, nullptr);
    EXPECT_EQ(submit(&urb), STATUS_SUCCESS);
    EXPECT_EQ(urb.UrbControlDescriptorRequest.TransferBufferLength, expected);
    EXPECT_EQ(buffer[1], type);
  }
}

// --- bandwidth ---

struct BandwidthCase {
  uint32_t budget;
  UCHAR alt;
  bool granted;
};
class BandwidthTest : public UsbTest, public ::testing::WithParamInterface<BandwidthCase> {};

TEST_P(BandwidthTest, AlternateSettingNeedingMoreThanTheBudgetIsRefusedAndTheOldOneStays) {
  hc.setIsochronousBudget(GetParam().budget);
  configure();
  ASSERT_EQ(selectAlternate(0), STATUS_SUCCESS);
  NTSTATUS status = selectAlternate(GetParam().alt);
  EXPECT_EQ(NT_SUCCESS(status), GetParam().granted);
  if (GetParam().granted) {
    EXPECT_EQ(pipe.MaximumPacketSize, kAltSizes[GetParam().alt]);
    EXPECT_EQ(pipe.PipeType, UsbdPipeTypeIsochronous);
    EXPECT_EQ(hc.bandwidthInUse(), kAltSizes[GetParam().alt]);
  } else {
    EXPECT_EQ(lastUrbStatus, USBD_STATUS_NO_BANDWIDTH);
    EXPECT_EQ(hc.bandwidthInUse(), 0u);
    EXPECT_EQ(pipe.MaximumPacketSize, 0);  // alternate setting 0 still selected
  }
}

INSTANTIATE_TEST_SUITE_P(Budgets, BandwidthTest,
                         ::testing::Values(BandwidthCase{1100, 3, true}, BandwidthCase{1022, 3, false},
                                           BandwidthCase{1022, 2, true}, BandwidthCase{0, 1, false},
                                           BandwidthCase{0, 0, true}));

TEST_F(UsbTest, TwoDevicesShareTheBudget) {
  auto other = std::make_shared<ToyDevice>();
  PDEVICE_OBJECT otherPdo = hc.plug(2, other);
  streamAt(3);
  configure(otherPdo, other.get());
  EXPECT_EQ(selectAlternate(1, otherPdo), STATUS_UNSUCCESSFUL);
  configure();  // back to alternate setting 0 on the first device frees its bandwidth
  configure(otherPdo, other.get());
  EXPECT_EQ(selectAlternate(1, otherPdo), STATUS_SUCCESS);
  EXPECT_EQ(hc.bandwidthInUse(), 512u);
}

// --- isochronous transfers ---

TEST_F(UsbTest, IsochronousTransfersTakeOnePacketPerFrameAndCompleteInOrder) {
  streamAt(3);
  IsoTransfer& first = startIso(8);
  IsoTransfer& second = startIso(8);
  kernel.advance(8ms);
  EXPECT_EQ(first.status, STATUS_PENDING);
  kernel.advance(1ms);
  EXPECT_EQ(first.status, STATUS_SUCCESS);
  EXPECT_EQ(first.completedAt, 90'000);  // frames 1..8, complete at the end of frame 8
  EXPECT_EQ(first.irql, DISPATCH_LEVEL);
  kernel.advance(20ms);
  EXPECT_EQ(second.completedAt, 170'000);
  EXPECT_THAT(order, ElementsAre(0, 1));
  EXPECT_EQ(first.urb().StartFrame, 1u);
  EXPECT_EQ(second.urb().StartFrame, 9u);
  for (int i = 0; i < 8; ++i) {
    const auto& packet = second.urb().IsoPacket[i];
    EXPECT_EQ(packet.Status, USBD_STATUS_SUCCESS);
    EXPECT_EQ(packet.Length, 3u);
    EXPECT_EQ(second.buffer[packet.Offset], 9 + i);  // the frame the packet belongs to
  }
  EXPECT_EQ(second.urb().TransferBufferLength, 24u);
  EXPECT_EQ(hc.pendingRequests(), 0u);
}

TEST_F(UsbTest, PacketErrorsAreCountedAndATransferOfOnlyErrorsFails) {
  streamAt(1);
  device->onPacket = [](uint32_t frame, uint16_t maxPacketSize) {
    IsoPacket p;
    if (frame <= 4) p.status = USBD_STATUS_CRC;
    if (frame == 5) p.data.assign(maxPacketSize + 1u, 0);  // babble
    if (frame == 6) p.data.assign(maxPacketSize, 7);
    return p;
  };
  IsoTransfer& allBad = startIso(4);
  IsoTransfer& mixed = startIso(2);
  kernel.advance(10ms);
  EXPECT_EQ(allBad.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(allBad.urb().Hdr.Status, USBD_STATUS_ISOCH_REQUEST_FAILED);
  EXPECT_EQ(allBad.urb().ErrorCount, 4u);
  EXPECT_EQ(mixed.status, STATUS_SUCCESS);
  EXPECT_EQ(mixed.urb().ErrorCount, 1u);
  EXPECT_EQ(mixed.urb().IsoPacket[0].Status, USBD_STATUS_DATA_OVERRUN);
  EXPECT_EQ(mixed.urb().IsoPacket[0].Length, 0u);
  EXPECT_EQ(mixed.urb().IsoPacket[1].Length, 512u);
}

TEST_F(UsbTest, AbortCompletesPendingTransfersAsCancelledBeforeItself) {
  streamAt(3);
  startIso(8);
  startIso(8);
  kernel.advance(3ms);
  EXPECT_EQ(pipeRequest(URB_FUNCTION_ABORT_PIPE), STATUS_SUCCESS);
  EXPECT_THAT(order, ElementsAre(0, 1));
  for (auto& t : transfers) {
    EXPECT_EQ(t->status, STATUS_CANCELLED);
    EXPECT_EQ(t->urb().Hdr.Status, USBD_STATUS_CANCELED);
  }
  EXPECT_EQ(kernel.now(), 30'000);
  EXPECT_THAT(device->events, ::testing::Contains("abort 129"));
  EXPECT_EQ(hc.pendingRequests(), 0u);
}

TEST_F(UsbTest, StalledPipeFailsTransfersUntilReset) {
  streamAt(3);
  device->onPacket = [](uint32_t frame, uint16_t) {
    IsoPacket p;
    p.data = {1};
    if (frame == 3) p.status = USBD_STATUS_STALL_PID;
    return p;
  };
  IsoTransfer& stalled = startIso(8);
  IsoTransfer& queued = startIso(8);
  kernel.advance(5ms);
  EXPECT_EQ(stalled.status, STATUS_UNSUCCESSFUL);
  EXPECT_EQ(stalled.urb().Hdr.Status, USBD_STATUS_STALL_PID);
  EXPECT_EQ(queued.urb().Hdr.Status, USBD_STATUS_ENDPOINT_HALTED);
  IsoTransfer& refused = startIso(8);
  kernel.runUntilIdle();
  EXPECT_EQ(refused.urb().Hdr.Status, USBD_STATUS_ENDPOINT_HALTED);
  EXPECT_EQ(pipeRequest(URB_FUNCTION_RESET_PIPE), STATUS_SUCCESS);
  device->onPacket = nullptr;
  IsoTransfer& after = startIso(2);
  kernel.advance(5ms);
  EXPECT_EQ(after.status, STATUS_SUCCESS);
  EXPECT_THAT(order, ElementsAre(0, 1, 2, 3));
}

TEST_F(UsbTest, DisabledPortFailsTransfersUntilEnabled) {
  streamAt(3);
  IsoTransfer& pending = startIso(8);
  kernel.advance(2ms);
  hc.disablePort(1);
  kernel.runUntilIdle();
  EXPECT_EQ(pending.urb().Hdr.Status, USBD_STATUS_DEV_NOT_RESPONDING);
  EXPECT_EQ(portStatus(), USBD_PORT_CONNECTED);
  std::vector<uint8_t> reply(6);
  EXPECT_EQ(vendorRequest(0x15, reply), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(call(IOCTL_INTERNAL_USB_ENABLE_PORT, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(portStatus(), USBD_PORT_CONNECTED | USBD_PORT_ENABLED);
  EXPECT_EQ(vendorRequest(0x15, reply), STATUS_SUCCESS);
  EXPECT_THAT(device->events, ::testing::Contains("enabled"));
}

TEST_F(UsbTest, UnplugFailsPendingAndNewRequestsButPortStatusStillAnswers) {
  streamAt(3);
  device->onControl = [](const SetupPacket&) { return ControlReply::noAnswer(); };
  IsoTransfer& pending = startIso(8);
  std::vector<uint8_t> reply(6);
  NTSTATUS controlStatus = STATUS_PENDING;
  KernelThread control = kernel.startThread([&] { controlStatus = vendorRequest(0x13, reply); });
  kernel.advance(2ms);
  EXPECT_EQ(controlStatus, STATUS_PENDING);
  hc.unplug(1);
  control.join();
  kernel.runUntilIdle();
  EXPECT_EQ(controlStatus, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(pending.status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(pending.urb().Hdr.Status, USBD_STATUS_DEVICE_GONE);
  EXPECT_EQ(portStatus(), 0u);
  EXPECT_EQ(vendorRequest(0x13, reply), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(call(IOCTL_INTERNAL_USB_ENABLE_PORT, nullptr), STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(hc.bandwidthInUse(), 0u);
  // Plugging again gives a new PDO.
  EXPECT_NE(hc.plug(1, std::make_shared<ToyDevice>()), pdo);
}

struct BusEventCase {
  const char* name;
  IsoPacket::BusEvent event;
  NTSTATUS transferStatus;
  ULONG portBits;
};
class BusEventTest : public UsbTest, public ::testing::WithParamInterface<BusEventCase> {};

TEST_P(BusEventTest, DeviceCanDisableItsPortOrVanishMidStream) {
  streamAt(3);
  device->onPacket = [event = GetParam().event](uint32_t frame, uint16_t) {
    IsoPacket p;
    p.data = {1};
    if (frame == 2) p.busEvent = event;
    return p;
  };
  IsoTransfer& t = startIso(8);
  kernel.advance(5ms);
  EXPECT_EQ(t.status, GetParam().transferStatus);
  EXPECT_EQ(t.urb().IsoPacket[1].Length, 1u);  // the packet before the event still arrived
  EXPECT_EQ(portStatus(), GetParam().portBits);
}

INSTANTIATE_TEST_SUITE_P(Events, BusEventTest,
                         ::testing::Values(BusEventCase{"disable", IsoPacket::BusEvent::DisablePort, STATUS_UNSUCCESSFUL,
                                                        USBD_PORT_CONNECTED},
                                           BusEventCase{"unplug", IsoPacket::BusEvent::Unplug, STATUS_NO_SUCH_DEVICE, 0}),
                         [](const auto& info) { return std::string(info.param.name); });

// --- control transfers ---

TEST_F(UsbTest, VendorRequestSendsItsSetupAndReturnsAtMostTheBufferLength) {
  std::vector<uint8_t> reply(4);
  ULONG transferred = 0;
  EXPECT_EQ(vendorRequest(0x13, reply, &transferred), STATUS_SUCCESS);
  EXPECT_EQ(transferred, 4u);
  EXPECT_THAT(reply, ElementsAre(1, 2, 3, 4));
  ASSERT_EQ(device->setups.size(), 1u);
  const SetupPacket& s = device->setups[0];
  EXPECT_EQ(s.bmRequestType, 0xC0);
  EXPECT_EQ(s.bRequest, 0x13);
  EXPECT_EQ(s.wValue, 0x1234);
  EXPECT_EQ(s.wIndex, 2);
  EXPECT_EQ(s.wLength, 4);

  device->onControl = [](const SetupPacket&) { return ControlReply::stall(); };
  EXPECT_EQ(vendorRequest(0x13, reply), STATUS_UNSUCCESSFUL);
  EXPECT_EQ(lastUrbStatus, USBD_STATUS_STALL_PID);

  device->onControl = [](const SetupPacket&) { return ControlReply::withData({9}, 5); };
  EXPECT_EQ(vendorRequest(0x13, reply, &transferred), STATUS_SUCCESS);
  EXPECT_EQ(transferred, 1u);
  EXPECT_EQ(kernel.now(), 50'000);
}

// A request the device never answers is cancelled by a 3 s timer, as a client driver does;
// the control request queued behind it is answered afterwards.
TEST_F(UsbTest, UnansweredControlRequestEndsOnlyByCancelAndHoldsTheQueue) {
  bool answerFirst = false;
  device->onControl = [&](const SetupPacket& s) {
    return s.bRequest == 1 && !answerFirst ? ControlReply::noAnswer() : ControlReply::withData({s.bRequest});
  };
  URB urb{};
  std::vector<uint8_t> buffer(6);
  UsbBuildVendorRequest(&urb, URB_FUNCTION_VENDOR_DEVICE, sizeof(_URB_CONTROL_VENDOR_OR_CLASS_REQUEST),
                        USBD_TRANSFER_DIRECTION_IN, 0, 1, 0, 0, buffer.data(), nullptr, 6, nullptr);
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &urb;
  ASSERT_EQ(IoCallDriver(pdo, irp), STATUS_PENDING);

  std::vector<uint8_t> second(6);
  NTSTATUS secondStatus = STATUS_PENDING;
  KernelThread behind = kernel.startThread([&] { secondStatus = vendorRequest(2, second); });
  kernel.advance(1s);
  EXPECT_EQ(secondStatus, STATUS_PENDING);
  EXPECT_EQ(device->setups.size(), 1u);

  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, [](PKDPC, PVOID i, PVOID, PVOID) { IoCancelIrp(static_cast<PIRP>(i)); }, irp);
  KeSetTimer(&timer, RelativeTime(3s), &dpc);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_CANCELLED);
  EXPECT_EQ(urb.UrbHeader.Status, USBD_STATUS_CANCELED);
  EXPECT_EQ(kernel.now(), 40'000'000);
  behind.join();
  EXPECT_EQ(secondStatus, STATUS_SUCCESS);
  EXPECT_EQ(second[0], 2);
}

// --- malformed requests ---

struct BadIsoCase {
  const char* name;
  std::function<void(IsoTransfer&)> damage;
  USBD_STATUS expected;
};
class BadIsoTest : public UsbTest, public ::testing::WithParamInterface<BadIsoCase> {};

TEST_P(BadIsoTest, MalformedTransferIsRefusedWithoutTouchingMemory) {
  streamAt(3);
  IsoTransfer t;
  t.urbMemory.assign(GET_ISO_URB_SIZE(4), 0);
  t.buffer.assign(4 * 1023, 0);
  auto& iso = t.urb();
  iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  iso.Hdr.Length = GET_ISO_URB_SIZE(4);
  iso.PipeHandle = pipe.PipeHandle;
  iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
  iso.TransferBuffer = t.buffer.data();
  iso.TransferBufferLength = 4 * 1023;
  iso.NumberOfPackets = 4;
  for (ULONG i = 0; i < 4; ++i) iso.IsoPacket[i].Offset = i * 1023;
  GetParam().damage(t);
  EXPECT_FALSE(NT_SUCCESS(submit(reinterpret_cast<PURB>(t.urbMemory.data()))));
  EXPECT_EQ(iso.Hdr.Status, GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, BadIsoTest,
    ::testing::Values(
        BadIsoCase{"more_packets_than_the_urb_holds", [](IsoTransfer& t) { t.urb().NumberOfPackets = 5; },
                   USBD_STATUS_INVALID_PARAMETER},
        BadIsoCase{"no_packets", [](IsoTransfer& t) { t.urb().NumberOfPackets = 0; }, USBD_STATUS_INVALID_PARAMETER},
        BadIsoCase{"packet_outside_buffer", [](IsoTransfer& t) { t.urb().IsoPacket[3].Offset = 5000; },
                   USBD_STATUS_INVALID_PARAMETER},
        BadIsoCase{"offsets_not_increasing", [](IsoTransfer& t) { t.urb().IsoPacket[2].Offset = 100; },
                   USBD_STATUS_INVALID_PARAMETER},
        BadIsoCase{"unknown_pipe", [](IsoTransfer& t) { t.urb().PipeHandle = &t; }, USBD_STATUS_INVALID_PIPE_HANDLE},
        BadIsoCase{"urb_length_short", [](IsoTransfer& t) { t.urb().Hdr.Length = 40; }, USBD_STATUS_INVALID_PARAMETER}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
