// The isochronous streaming engine: start and stop of the camera's video, two
// transfers kept in flight on the video pipe, the 2 ms resubmit and the 250 ms
// watchdog.
#include "isostream.h"

namespace {

// Frees whatever a start created: transfers, frame buffers and the decoder.
// Only called when no transfer is pending, so nothing else touches them.
VOID IsoUsb_FreeStreamResources(StreamExtension* stream) {
  for (ULONG i = 0; i < ISO_TRANSFER_COUNT; ++i) {
    IsoTransfer* transfer = stream->Transfers[i];
    if (!transfer) continue;
    if (transfer->Irp) IoFreeIrp(transfer->Irp);
    ISOUSB_ExFreePool(transfer->Urb);
    ISOUSB_ExFreePool(transfer->Buffer);
    ISOUSB_ExFreePool(transfer);
    stream->Transfers[i] = nullptr;
  }
  ISOUSB_ExFreePool(stream->AssemblyBuffer);
  ISOUSB_ExFreePool(stream->SpareBuffer);
  stream->AssemblyBuffer = nullptr;
  stream->SpareBuffer = nullptr;
  stream->AssemblyLength = 0;
  stream->PendingLength = 0;
  if (stream->Decoder) {
    Dcmp_Release(stream->Decoder);
    ISOUSB_ExFreePool(stream->Decoder);
    stream->Decoder = nullptr;
  }
}

// Sends a vendor request of the stream start until the camera is not busy (at
// most ISOUSB_BUSY_REPEAT_LIMIT times); returns the last byte count.
template <class Request>
ULONG IsoUsb_RepeatWhileBusy(Request send, PUCHAR reply) {
  ULONG count = 0;
  for (int attempt = 0; attempt < ISOUSB_BUSY_REPEAT_LIMIT; ++attempt) {
    reply[0] = 0;
    count = send(reply);
    if (count != DEVICE_SETTING_REPLY_LENGTH || reply[0] != REPLY_STATUS_BUSY) break;
  }
  return count;
}

VOID IsoUsb_SendVideoSetting(AdapterExtension* adapter, USHORT on) {
  UCHAR reply[DEVICE_SETTING_REPLY_LENGTH] = {};
  IsoUsb_Vendor_DeviceSetting(adapter, VENDOR_VIDEO_STREAMING, on, 0, reply);  // result ignored
}

// Creates the decoder for the stream's format and tells the camera the
// compression level and coded size to send.
NTSTATUS IsoUsb_PrepareDecoder(AdapterExtension* adapter, StreamExtension* stream) {
  auto* decoder = static_cast<DcmpContext*>(ISOUSB_ExAllocatePool(NonPagedPool, sizeof(DcmpContext)));
  if (!decoder) return STATUS_INSUFFICIENT_RESOURCES;
  // Zero-filled: qualityLevel keeps 0 when the camera refuses the level, and
  // releasing a context that never initialised is safe.
  RtlZeroMemory(decoder, sizeof(DcmpContext));
  decoder->allocate = IsoUsb_DecoderAllocate;
  decoder->release = IsoUsb_DecoderRelease;
  decoder->outWidth = stream->VideoInfo->bmiHeader.biWidth;
  decoder->outHeight = stream->VideoInfo->bmiHeader.biHeight;
  stream->Decoder = decoder;  // freed with the other resources on failure

  const LONG level = adapter->Quality / 1000;
  UCHAR reply[DEVICE_SETTING_REPLY_LENGTH] = {};
  const ULONG count = IsoUsb_RepeatWhileBusy(
      [&](PUCHAR r) { return IsoUsb_Vendor_SetCmprssAttr(adapter, decoder, r); }, reply);
  if (!(count == DEVICE_SETTING_REPLY_LENGTH && reply[0] == REPLY_STATUS_REFUSED)) decoder->qualityLevel = level;
  if (decoder->qualityLevel > 7) decoder->qualityLevel = 7;
  if (decoder->qualityLevel < 0) decoder->qualityLevel = 0;

  UCHAR setting = 0;
  IsoUsb_Vendor_GetCmprssAttr(adapter, decoder, &setting);  // answer not used
  decoder->flip = stream->VideoControlMode & 1;

  if (!Dcmp_Initialize(decoder)) return STATUS_INSUFFICIENT_RESOURCES;
  IsoUsb_RepeatWhileBusy([&](PUCHAR r) { return IsoUsb_Vendor_SetImageSize(adapter, decoder, r); }, reply);
  return STATUS_SUCCESS;
}

// Ends streaming: stop requested, pipe closed and aborted, wait until the
// watchdog sees no transfer pending, then free everything. Called under UsbLock.
VOID IsoUsb_StopLocked(AdapterExtension* adapter, StreamExtension* stream) {
  KeClearEvent(&stream->StopDone);
  IsoUsb_SetFlags(&stream->Flags, STREAM_FLAG_STOP_REQUESTED);
  if (stream->Pipe) {
    stream->Pipe->PipeFlags = 0;
    IsoUsb_AbortPipe(adapter, stream->Pipe);
  }
  // The watchdog signals StopDone; it runs in every state of a started stream.
  if (!(ReadShared(&stream->Flags) & STREAM_FLAG_WATCHDOG_ARMED)) IsoUsb_ArmWatchdog(stream);
  KeWaitForSingleObject(&stream->StopDone, Executive, KernelMode, FALSE, nullptr);

  WriteShared(&stream->Streaming, static_cast<UCHAR>(0));
  IsoUsb_ClearFlags(&stream->Flags, STREAM_FLAG_WATCHDOG_ARMED | STREAM_FLAG_STOP_REQUESTED);
  // A watchdog DPC that is running now may set its timer once more: cancel,
  // let it finish, cancel again.
  KeCancelTimer(&stream->WatchdogTimer);
  KeFlushQueuedDpcs();
  KeCancelTimer(&stream->WatchdogTimer);
  KeFlushQueuedDpcs();

  // Decodes still queued use the decoder and complete their reads themselves.
  IsoUsb_WaitUntilZero(&stream->DecodesPending);
  IsoUsb_FreeStreamResources(stream);
  stream->Pipe = nullptr;
}

}  // namespace

ULONG IsoUsb_PacketsPerTransfer(const USBD_PIPE_INFORMATION* pipe, ULONG maxTransferSize) {
  if (!pipe || pipe->MaximumPacketSize == 0 || pipe->MaximumPacketSize > ISO_SCRATCH_BYTES) return 0;
  ULONG packets = maxTransferSize / pipe->MaximumPacketSize;
  return packets > USBD_ISO_MAXIMUM_PACKETS ? 0 : packets;
}

VOID IsoUsb_ArmWatchdog(StreamExtension* stream) {
  IsoUsb_SetFlags(&stream->Flags, STREAM_FLAG_WATCHDOG_ARMED);
  LARGE_INTEGER due;
  due.QuadPart = ISO_WATCHDOG_PERIOD;
  KeSetTimer(&stream->WatchdogTimer, due, &stream->WatchdogDpc);
}

VOID IsoUsb_WaitUntilZero(const volatile LONG* counter) {
  while (ReadShared(counter) != 0) {
    LARGE_INTEGER interval;
    interval.QuadPart = ISO_IDLE_POLL;
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
}

VOID IsoUsb_WaitForResets(StreamExtension* stream) { IsoUsb_WaitUntilZero(&stream->ResetsQueued); }

NTSTATUS IsoUsb_StartIsoStream(AdapterExtension* adapter, StreamExtension* stream) {
  IsoUsb_SendVideoSetting(adapter, 1);
  UsbLockAcquire(adapter);

  NTSTATUS status = STATUS_SUCCESS;
  PUSBD_PIPE_INFORMATION pipe =
      adapter->InterfaceInfo && adapter->InterfaceInfo->NumberOfPipes > 0 ? &adapter->InterfaceInfo->Pipes[0] : nullptr;
  if (!stream->VideoInfo || IsoUsb_PacketsPerTransfer(pipe, adapter->MaxTransferSize) == 0) {
    // No format, or an alternate setting whose pipe cannot carry a transfer.
    status = STATUS_INVALID_DEVICE_STATE;
  } else {
    KeInitializeSemaphore(&stream->DecodeLock, 1, 1);
    InitializeListHead(&stream->DecodeQueue);
    KeInitializeSpinLock(&stream->DecodeQueueLock);
    ExInitializeWorkItem(&stream->DecodeWorkItem, IsoUsb_DecodeWorker, stream);
    KeInitializeEvent(&stream->StopDone, NotificationEvent, FALSE);
    KeInitializeEvent(&stream->ResetDrained, NotificationEvent, FALSE);
    KeInitializeDpc(&stream->WatchdogDpc, IsoUsb_StreamTimeoutDPC, stream);
    KeInitializeTimer(&stream->WatchdogTimer);
    IsoUsb_ClearFlags(&stream->Flags, STREAM_FLAG_STOP_REQUESTED | STREAM_FLAG_WATCHDOG_ARMED);
    WriteShared(&stream->TransferError, static_cast<UCHAR>(0));
    WriteShared(&stream->PendingTransfers, static_cast<LONG>(0));

    stream->AssemblyBuffer = static_cast<PUCHAR>(ISOUSB_ExAllocatePool(NonPagedPool, FRAME_BUFFER_SIZE));
    stream->SpareBuffer = static_cast<PUCHAR>(ISOUSB_ExAllocatePool(NonPagedPool, FRAME_BUFFER_SIZE));
    if (!stream->AssemblyBuffer || !stream->SpareBuffer) status = STATUS_INSUFFICIENT_RESOURCES;
  }

  if (NT_SUCCESS(status)) {
    IsoUsb_ResetAssembly(stream, TRUE);
    stream->Pipe = pipe;
    pipe->PipeFlags = 1;
    WriteShared(&stream->Streaming, static_cast<UCHAR>(1));
    WriteShared(&stream->DecodingRequest, static_cast<PHW_STREAM_REQUEST_BLOCK>(nullptr));
    IsoUsb_ResetPipe(adapter, pipe);
    status = IsoUsb_PrepareDecoder(adapter, stream);
  }

  for (ULONG i = 0; NT_SUCCESS(status) && i < ISO_TRANSFER_COUNT; ++i) status = IsoUsb_StartTransfer(adapter, stream, i);

  if (NT_SUCCESS(status)) {
    IsoUsb_ArmWatchdog(stream);
  } else if (ReadShared(&stream->Streaming)) {
    // Undo the start completely: transfers that did start are stopped and
    // drained, and everything created is freed.
    IsoUsb_StopLocked(adapter, stream);
  } else {
    IsoUsb_FreeStreamResources(stream);
  }
  UsbLockRelease(adapter);
  if (!NT_SUCCESS(status)) IsoUsb_SendVideoSetting(adapter, 0);
  return status;
}

NTSTATUS IsoUsb_StartTransfer(AdapterExtension* adapter, StreamExtension* stream, ULONG index) {
  const ULONG packets = IsoUsb_PacketsPerTransfer(stream->Pipe, adapter->MaxTransferSize);
  if (packets == 0) return STATUS_INVALID_DEVICE_STATE;
  auto* transfer = static_cast<IsoTransfer*>(ISOUSB_ExAllocatePool(NonPagedPool, sizeof(IsoTransfer)));
  if (!transfer) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(transfer, sizeof(IsoTransfer));
  stream->Transfers[index] = transfer;
  transfer->Stream = stream;
  transfer->Adapter = adapter;
  transfer->Packets = packets;
  transfer->UrbSize = GET_ISO_URB_SIZE(packets);
  transfer->Irp = IoAllocateIrp(static_cast<CCHAR>(adapter->LowerDevice->StackSize + 1), FALSE);
  transfer->Buffer = static_cast<PUCHAR>(ISOUSB_ExAllocatePool(NonPagedPool, packets * stream->Pipe->MaximumPacketSize));
  transfer->Urb = static_cast<PURB>(ISOUSB_ExAllocatePool(NonPagedPool, transfer->UrbSize));
  // What was allocated is freed by the caller's undo of the start.
  if (!transfer->Irp || !transfer->Buffer || !transfer->Urb) return STATUS_INSUFFICIENT_RESOURCES;

  KeInitializeTimer(&transfer->ResubmitTimer);
  KeInitializeDpc(&transfer->ResubmitDpc, IsoUsb_IsoIrpRequestDPC, transfer);
  InterlockedIncrement(&stream->PendingTransfers);
  IsoUsb_SendTransfer(transfer);
  return STATUS_SUCCESS;
}

VOID IsoUsb_InitializeStreamUrb(AdapterExtension* /*adapter*/, IsoTransfer* transfer) {
  PURB urb = transfer->Urb;
  const ULONG packetSize = transfer->Stream->Pipe->MaximumPacketSize;
  RtlZeroMemory(urb, transfer->UrbSize);
  urb->UrbIsochronousTransfer.Hdr.Length = static_cast<USHORT>(transfer->UrbSize);
  urb->UrbIsochronousTransfer.Hdr.Function = URB_FUNCTION_ISOCH_TRANSFER;
  urb->UrbIsochronousTransfer.PipeHandle = transfer->Stream->Pipe->PipeHandle;
  urb->UrbIsochronousTransfer.TransferFlags = USBD_TRANSFER_DIRECTION_IN | USBD_START_ISO_TRANSFER_ASAP;
  urb->UrbIsochronousTransfer.TransferBuffer = transfer->Buffer;
  urb->UrbIsochronousTransfer.TransferBufferMDL = nullptr;
  urb->UrbIsochronousTransfer.UrbLink = nullptr;
  urb->UrbIsochronousTransfer.TransferBufferLength = transfer->Packets * packetSize;
  urb->UrbIsochronousTransfer.NumberOfPackets = transfer->Packets;
  for (ULONG i = 0; i < transfer->Packets; ++i) urb->UrbIsochronousTransfer.IsoPacket[i].Offset = i * packetSize;
}

VOID IsoUsb_SendTransfer(IsoTransfer* transfer) {
  PIRP irp = transfer->Irp;
  IoReuseIrp(irp, STATUS_SUCCESS);
  IsoUsb_InitializeStreamUrb(transfer->Adapter, transfer);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = transfer->Urb;
  IoSetCompletionRoutine(irp, IsoUsb_IsoIrp_Complete, transfer, TRUE, TRUE, TRUE);
  IoCallDriver(transfer->Adapter->LowerDevice, irp);
}

NTSTATUS IsoUsb_IsoIrp_Complete(PDEVICE_OBJECT /*device*/, PIRP irp, PVOID context) {
  auto* transfer = static_cast<IsoTransfer*>(context);
  StreamExtension* stream = transfer->Stream;
  if (!ReadShared(&stream->Streaming)) WriteShared(&stream->TransferError, static_cast<UCHAR>(1));
  const bool failed = USBD_ERROR(transfer->Urb->UrbHeader.Status) || !NT_SUCCESS(irp->IoStatus.Status);
  if (failed && !(ReadShared(&stream->Flags) & STREAM_FLAG_STOP_REQUESTED))
    WriteShared(&stream->TransferError, static_cast<UCHAR>(1));

  if ((ReadShared(&stream->Flags) & STREAM_FLAG_STOP_REQUESTED) || ReadShared(&stream->TransferError) || failed) {
    InterlockedDecrement(&stream->PendingTransfers);  // parked: the last touch of the stream
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  ISOUSB_TransferComplete(transfer, irp);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

VOID ISOUSB_TransferComplete(IsoTransfer* transfer, PIRP /*irp*/) {
  StreamExtension* stream = transfer->Stream;
  IsoUsb_ProcessTransfer(transfer);
  if (ReadShared(&stream->Streaming) && !ReadShared(&transfer->Adapter->DeviceGone)) {
    // Resubmitted from a timer 2 ms later; it stays counted as pending.
    LARGE_INTEGER due;
    due.QuadPart = ISO_RESUBMIT_DELAY;
    KeSetTimer(&transfer->ResubmitTimer, due, &transfer->ResubmitDpc);
  } else {
    InterlockedDecrement(&stream->PendingTransfers);
  }
}

VOID IsoUsb_IsoIrpRequestDPC(PKDPC /*dpc*/, PVOID context, PVOID /*argument1*/, PVOID /*argument2*/) {
  auto* transfer = static_cast<IsoTransfer*>(context);
  StreamExtension* stream = transfer->Stream;
  // A stop, an error or an unplug since the completion parks the transfer here.
  if ((ReadShared(&stream->Flags) & STREAM_FLAG_STOP_REQUESTED) || ReadShared(&stream->TransferError) ||
      !ReadShared(&stream->Streaming) || ReadShared(&transfer->Adapter->DeviceGone)) {
    InterlockedDecrement(&stream->PendingTransfers);
    return;
  }
  IsoUsb_SendTransfer(transfer);
}

VOID IsoUsb_StreamTimeoutDPC(PKDPC /*dpc*/, PVOID context, PVOID /*argument1*/, PVOID /*argument2*/) {
  auto* stream = static_cast<StreamExtension*>(context);
  AdapterExtension* adapter = stream->Adapter;
  const LONG flags = ReadShared(&stream->Flags);
  const bool error = ReadShared(&stream->TransferError) != 0;
  if ((error || (flags & (STREAM_FLAG_STOP_REQUESTED | STREAM_FLAG_RESET_IN_PROGRESS))) &&
      ReadShared(&stream->PendingTransfers) == 0 && ReadShared(&stream->Streaming)) {
    if (error && !ReadShared(&adapter->DeviceGone) && !(flags & STREAM_FLAG_STOP_REQUESTED))
      IsoUsb_ProcessResetRequest(adapter, stream);
    // A read handed to decoding belongs to its work item, which completes it.
    IsoUsb_CancelWaitingReads(stream);
    if (IsoUsb_ClearFlags(&stream->Flags, STREAM_FLAG_RESET_IN_PROGRESS) & STREAM_FLAG_RESET_IN_PROGRESS)
      KeSetEvent(&stream->ResetDrained, IO_NO_INCREMENT, FALSE);
    if (IsoUsb_ClearFlags(&stream->Flags, STREAM_FLAG_STOP_REQUESTED) & STREAM_FLAG_STOP_REQUESTED)
      KeSetEvent(&stream->StopDone, IO_NO_INCREMENT, FALSE);
  }
  if (ReadShared(&stream->Flags) & STREAM_FLAG_WATCHDOG_ARMED) {
    LARGE_INTEGER due;
    due.QuadPart = ISO_WATCHDOG_PERIOD;
    KeSetTimer(&stream->WatchdogTimer, due, &stream->WatchdogDpc);
  }
}

NTSTATUS IsoUsb_StopIsoStream(AdapterExtension* adapter, StreamExtension* stream) {
  UsbLockAcquire(adapter);
  // A second stop, or a stop of a stream that never started, has nothing to end.
  if (ReadShared(&stream->Streaming)) IsoUsb_StopLocked(adapter, stream);
  UsbLockRelease(adapter);
  // A reset queued meanwhile finds the stream stopped; let it end before the
  // caller may close the stream.
  IsoUsb_WaitForResets(stream);
  IsoUsb_SendVideoSetting(adapter, 0);
  return STATUS_SUCCESS;
}
