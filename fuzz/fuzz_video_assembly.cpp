// Arbitrary isochronous packets (lengths, statuses, bytes) fed to the driver's
// frame assembly: it must stay within its buffers and keep its lengths sound.
//
// Input: two bytes of maximum packet size, then packets, each a two-byte
// length, a status byte (odd: an error status) and the packet's bytes.
#include <cstdlib>
#include <memory>
#include <vector>

#include "isostream.h"
#include "kernel/kernel.h"

namespace {

struct Rig {
  torvex::platform::Kernel kernel{torvex::platform::KernelOptions{1, 3579545, false}};
  AdapterExtension adapter{};
  StreamExtension stream{};
  HW_STREAM_OBJECT object{};
  USBD_PIPE_INFORMATION pipe{};
  std::vector<UCHAR> assembly = std::vector<UCHAR>(FRAME_BUFFER_SIZE), spare = std::vector<UCHAR>(FRAME_BUFFER_SIZE);

  void Reset(USHORT packetSize) {
    adapter = AdapterExtension{};
    stream = StreamExtension{};
    InitializeListHead(&adapter.DataQueue[0]);
    KeInitializeSpinLock(&adapter.DataQueueLock[0]);
    stream.Adapter = &adapter;
    stream.StreamObject = &object;
    stream.State = KSSTATE_RUN;
    stream.AssemblyBuffer = assembly.data();
    stream.SpareBuffer = spare.data();
    pipe.MaximumPacketSize = packetSize;
    stream.Pipe = &pipe;
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static Rig* rig = new Rig;  // one kernel for the whole run
  if (size < 2) return 0;
  const USHORT packetSize = static_cast<USHORT>(1 + (data[0] | data[1] << 8) % ISO_SCRATCH_BYTES);
  rig->Reset(packetSize);
  size_t at = 2;
  constexpr ULONG kPackets = 8;
  std::vector<UCHAR> urbBytes(sizeof(_URB_ISOCH_TRANSFER) + kPackets * sizeof(USBD_ISO_PACKET_DESCRIPTOR));
  std::vector<UCHAR> buffer(kPackets * packetSize);
  while (at < size) {
    IsoTransfer transfer{};
    transfer.Stream = &rig->stream;
    transfer.Adapter = &rig->adapter;
    transfer.Urb = reinterpret_cast<PURB>(urbBytes.data());
    transfer.Buffer = buffer.data();
    transfer.Packets = kPackets;
    auto& iso = transfer.Urb->UrbIsochronousTransfer;
    iso.NumberOfPackets = 0;
    for (ULONG i = 0; i < kPackets && at + 3 <= size; ++i) {
      const ULONG length = (data[at] | data[at + 1] << 8) % (packetSize + 1u);
      const bool error = data[at + 2] & 1;
      at += 3;
      const size_t copied = std::min<size_t>(length, size - at);
      std::copy(data + at, data + at + copied, buffer.begin() + i * packetSize);
      at += copied;
      iso.IsoPacket[i].Offset = i * packetSize;
      iso.IsoPacket[i].Length = length;
      iso.IsoPacket[i].Status = error ? USBD_STATUS_CRC : USBD_STATUS_SUCCESS;
      iso.NumberOfPackets = i + 1;
    }
    if (iso.NumberOfPackets == 0) break;
    IsoUsb_ProcessTransfer(&transfer);
    if (rig->stream.AssemblyLength >= ISO_FRAME_LIMIT_BYTES || rig->stream.AssemblyLength % 8 != 0 ||
        rig->stream.PendingLength >= ISO_FRAME_LIMIT_BYTES || rig->stream.PendingLength % 8 != 0)
      std::abort();
  }
  return 0;
}
