// How much real time simulated time costs: a timer and its DPC, and one
// second of full-speed isochronous streaming with two transfers in flight.
#include <benchmark/benchmark.h>

#include <chrono>
#include <vector>

#include "usb/host.h"

using namespace std::chrono_literals;
using namespace torvex::platform;
using namespace torvex::platform::usb;

namespace {

void BM_TimerDpcRoundTrip(benchmark::State& state) {
  Kernel kernel;
  KTIMER timer;
  KDPC dpc;
  long fired = 0;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, [](PKDPC, PVOID c, PVOID, PVOID) { ++*static_cast<long*>(c); }, &fired);
  for (auto _ : state) {
    KeSetTimer(&timer, RelativeTime(2ms), &dpc);
    kernel.advance(2ms);
  }
  state.counters["dpcs"] = static_cast<double>(fired);
}
BENCHMARK(BM_TimerDpcRoundTrip);

class StreamingDevice : public DeviceModel {
 public:
  std::vector<uint8_t> deviceDescriptor() override { return std::vector<uint8_t>(18, 0); }
  std::vector<uint8_t> configurationDescriptor() override {
    return {9, 2, 25, 0, 1, 1, 0, 0x80, 50, 9, 4, 0, 0, 1, 0xFF, 0, 0, 0, 7, 5, 0x81, 1, 0xFF, 0x03, 1};
  }
  ControlReply controlTransfer(const SetupPacket&, std::span<const uint8_t>) override { return ControlReply::stall(); }
  IsoPacket isochronousIn(uint8_t, uint32_t, uint16_t maxPacketSize) override {
    IsoPacket p;
    p.data.assign(maxPacketSize, 0x5A);
    return p;
  }
};

struct Transfer {
  std::vector<uint8_t> urb;
  std::vector<uint8_t> buffer;
  PIRP irp = nullptr;
  PDEVICE_OBJECT pdo = nullptr;
  USBD_PIPE_HANDLE pipe = nullptr;
  long* completed = nullptr;
};

void Submit(Transfer& t);

NTSTATUS Resubmit(PDEVICE_OBJECT, PIRP, PVOID context) {
  auto* t = static_cast<Transfer*>(context);
  ++*t->completed;
  if (t->irp->IoStatus.Status == STATUS_SUCCESS) Submit(*t);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

void Submit(Transfer& t) {
  constexpr ULONG packets = 7;
  auto& iso = reinterpret_cast<PURB>(t.urb.data())->UrbIsochronousTransfer;
  std::fill(t.urb.begin(), t.urb.end(), 0);
  iso.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  iso.Hdr.Length = GET_ISO_URB_SIZE(packets);
  iso.PipeHandle = t.pipe;
  iso.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
  iso.TransferBuffer = t.buffer.data();
  iso.TransferBufferLength = static_cast<ULONG>(t.buffer.size());
  iso.NumberOfPackets = packets;
  for (ULONG i = 0; i < packets; ++i) iso.IsoPacket[i].Offset = i * 1023;
  IoReuseIrp(t.irp, STATUS_SUCCESS);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(t.irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = t.urb.data();
  IoSetCompletionRoutine(t.irp, Resubmit, &t, TRUE, TRUE, TRUE);
  IoCallDriver(t.pdo, t.irp);
}

NTSTATUS Call(PDEVICE_OBJECT pdo, PURB urb) {
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_SUBMIT_URB, pdo, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = urb;
  if (IoCallDriver(pdo, irp) == STATUS_PENDING) KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
  return iosb.Status;
}

// One iteration: one simulated second of streaming 1023-byte packets every frame.
void BM_IsochronousStreamingSecond(benchmark::State& state) {
  Kernel kernel;
  long completed = 0;
  {
    HostController hc(kernel);
    auto device = std::make_shared<StreamingDevice>();
    PDEVICE_OBJECT pdo = hc.plug(1, device);
    auto config = device->configurationDescriptor();
    PURB select = USBD_CreateConfigurationRequest(reinterpret_cast<PUSB_CONFIGURATION_DESCRIPTOR>(config.data()), nullptr);
    Call(pdo, select);
    USBD_PIPE_HANDLE pipe = select->UrbSelectConfiguration.Interface.Pipes[0].PipeHandle;
    ExFreePool(select);
    Transfer transfers[2];
    for (auto& t : transfers) {
      t.urb.resize(GET_ISO_URB_SIZE(7));
      t.buffer.resize(7 * 1023);
      t.irp = IoAllocateIrp(static_cast<CCHAR>(pdo->StackSize + 1), FALSE);
      t.pdo = pdo;
      t.pipe = pipe;
      t.completed = &completed;
      Submit(t);
    }
    for (auto _ : state) kernel.advance(1s);
    hc.unplug(1);
    kernel.runUntilIdle();
    for (auto& t : transfers) IoFreeIrp(t.irp);
  }
  state.counters["transfers_per_second"] = benchmark::Counter(static_cast<double>(completed), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_IsochronousStreamingSecond)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
