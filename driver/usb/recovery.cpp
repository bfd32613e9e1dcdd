// Recovery of a broken stream: a reset work item asks the hub for the camera's
// port, re-enables a disabled port, aborts and resets the video pipe and
// restarts the transfers, or stops the stream when the camera is gone. Also the
// two pipe requests of the streaming engine.
#include "isostream.h"

namespace {

NTSTATUS IsoUsb_PortRequestComplete(PDEVICE_OBJECT /*device*/, PIRP /*irp*/, PVOID context) {
  KeSetEvent(static_cast<PKEVENT>(context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;  // the IRP is ours to free
}

// Sends an internal control request to the hub port and waits at most 3 s for
// it; a request that does not finish in time is cancelled.
NTSTATUS IsoUsb_SendPortRequest(AdapterExtension* adapter, ULONG controlCode, PVOID argument) {
  if (ReadShared(&adapter->DeviceState) == DEVICE_STOPPED) return STATUS_DEVICE_DATA_ERROR;
  PIRP irp = IoAllocateIrp(adapter->LowerDevice->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = controlCode;
  next->Parameters.Others.Argument1 = argument;
  IoSetCompletionRoutine(irp, IsoUsb_PortRequestComplete, &done, TRUE, TRUE, TRUE);
  IoCallDriver(adapter->LowerDevice, irp);

  LARGE_INTEGER timeout;
  timeout.QuadPart = ISO_PORT_REQUEST_TIMEOUT;
  if (KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, &timeout) == STATUS_TIMEOUT) {
    IoCancelIrp(irp);
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  }
  const NTSTATUS status = irp->IoStatus.Status;
  IoFreeIrp(irp);
  return status;
}

NTSTATUS IsoUsb_PipeRequest(AdapterExtension* adapter, PUSBD_PIPE_INFORMATION pipe, USHORT function) {
  auto* urb = static_cast<PURB>(ISOUSB_ExAllocatePool(NonPagedPool, sizeof(_URB_PIPE_REQUEST)));
  if (!urb) return STATUS_INSUFFICIENT_RESOURCES;
  RtlZeroMemory(urb, sizeof(_URB_PIPE_REQUEST));
  urb->UrbPipeRequest.Hdr.Length = sizeof(_URB_PIPE_REQUEST);
  urb->UrbPipeRequest.Hdr.Function = function;
  urb->UrbPipeRequest.PipeHandle = pipe->PipeHandle;
  const NTSTATUS status = IsoUsb_CallUSBD(adapter, urb);
  ISOUSB_ExFreePool(urb);
  return status;
}

}  // namespace

NTSTATUS USBCAMD_GetPortStatus(AdapterExtension* adapter, PULONG portStatus) {
  *portStatus = 0;
  return IsoUsb_SendPortRequest(adapter, IOCTL_INTERNAL_USB_GET_PORT_STATUS, portStatus);
}

NTSTATUS USBCAMD_EnablePort(AdapterExtension* adapter) {
  return IsoUsb_SendPortRequest(adapter, IOCTL_INTERNAL_USB_ENABLE_PORT, nullptr);
}

NTSTATUS IsoUsb_ResetPipe(AdapterExtension* adapter, PUSBD_PIPE_INFORMATION pipe) {
  return IsoUsb_PipeRequest(adapter, pipe, URB_FUNCTION_RESET_PIPE);
}

NTSTATUS IsoUsb_AbortPipe(AdapterExtension* adapter, PUSBD_PIPE_INFORMATION pipe) {
  return IsoUsb_PipeRequest(adapter, pipe, URB_FUNCTION_ABORT_PIPE);
}

VOID IsoUsb_ProcessResetRequest(AdapterExtension* adapter, StreamExtension* stream) {
  if (InterlockedIncrement(&adapter->ResetCount) > 0) {  // one reset per device at a time
    InterlockedDecrement(&adapter->ResetCount);
    return;
  }
  auto* item = static_cast<ResetWorkItem*>(ISOUSB_ExAllocatePool(NonPagedPool, sizeof(ResetWorkItem)));
  if (!item) {
    InterlockedDecrement(&adapter->ResetCount);
    return;
  }
  item->Stream = stream;
  // The drain event exists only while streaming; a reset of a stream that is
  // not streaming does not wait for it.
  if (ReadShared(&stream->Streaming)) KeClearEvent(&stream->ResetDrained);
  IsoUsb_SetFlags(&stream->Flags, STREAM_FLAG_RESET_IN_PROGRESS);
  InterlockedIncrement(&stream->ResetsQueued);
  ExInitializeWorkItem(&item->WorkItem, IsoUsb_ResetWorkItem, item);
  ExQueueWorkItem(&item->WorkItem, CriticalWorkQueue);
}

VOID IsoUsb_ResetWorkItem(PVOID context) {
  auto* item = static_cast<ResetWorkItem*>(context);
  StreamExtension* stream = item->Stream;
  ISOUSB_ExFreePool(item);
  IsoUsb_ResetStream(stream->Adapter, stream);
  InterlockedDecrement(&stream->ResetsQueued);  // the last touch of the stream
}

NTSTATUS IsoUsb_ResetStream(AdapterExtension* adapter, StreamExtension* stream) {
  UsbLockAcquire(adapter);
  ULONG port = 0;
  NTSTATUS status = USBCAMD_GetPortStatus(adapter, &port);
  const bool gone = NT_SUCCESS(status) && !(port & USBD_PORT_CONNECTED);
  const bool streaming = ReadShared(&stream->Streaming) != 0;

  if (gone) {
    WriteShared(&adapter->DeviceGone, static_cast<UCHAR>(1));  // nothing to abort on a vanished device
  } else {
    // A port status that cannot be read counts as connected.
    if (NT_SUCCESS(status) && !(port & USBD_PORT_ENABLED)) USBCAMD_EnablePort(adapter);
    WriteShared(&stream->TransferError, static_cast<UCHAR>(1));
    if (streaming) IsoUsb_AbortPipe(adapter, stream->Pipe);
  }
  if (streaming) {
    // The watchdog signals ResetDrained once no transfer is pending.
    IsoUsb_SetFlags(&stream->Flags, STREAM_FLAG_RESET_IN_PROGRESS);
    KeWaitForSingleObject(&stream->ResetDrained, Executive, KernelMode, FALSE, nullptr);
  }
  IsoUsb_ClearFlags(&stream->Flags, STREAM_FLAG_RESET_IN_PROGRESS);
  WriteShared(&stream->TransferError, static_cast<UCHAR>(0));

  if (gone) {
    // The stream reports stop; a stop waiting for it ends and later reads
    // complete at once. Streaming stays set so that uninitialise stops it.
    WriteShared(&stream->State, KSSTATE_STOP);
    if (streaming) KeSetEvent(&stream->StopDone, IO_NO_INCREMENT, FALSE);
  } else if (streaming) {
    stream->Pipe->PipeFlags = 1;
    status = IsoUsb_ResetPipe(adapter, stream->Pipe);
    IsoUsb_RestartIsoStream(adapter, stream);
  }
  InterlockedDecrement(&adapter->ResetCount);
  UsbLockRelease(adapter);
  return status;
}

NTSTATUS IsoUsb_RestartIsoStream(AdapterExtension* adapter, StreamExtension* stream) {
  // No transfer is pending, so the assembly fields are ours; a frame waiting in
  // the spare buffer stays for the next read.
  IsoUsb_ResetAssembly(stream, FALSE);
  stream->Pipe = &adapter->InterfaceInfo->Pipes[0];
  stream->Pipe->PipeFlags = 1;
  WriteShared(&stream->Streaming, static_cast<UCHAR>(1));
  WriteShared(&stream->DecodingRequest, static_cast<PHW_STREAM_REQUEST_BLOCK>(nullptr));
  IsoUsb_ResetPipe(adapter, stream->Pipe);
  // The decoder stays as the last start built it: the camera keeps the coded
  // size and compression level of that start, and the decoder's block tables
  // follow its mirror setting, so a mode changed since applies at the next start.
  for (ULONG i = 0; i < ISO_TRANSFER_COUNT; ++i) IsoUsb_RestartTransfer(adapter, stream, i);
  IsoUsb_ArmWatchdog(stream);
  return STATUS_SUCCESS;
}

NTSTATUS IsoUsb_RestartTransfer(AdapterExtension* adapter, StreamExtension* stream, ULONG index) {
  IsoTransfer* transfer = stream->Transfers[index];
  transfer->Stream = stream;
  transfer->Adapter = adapter;
  InterlockedIncrement(&stream->PendingTransfers);
  IsoUsb_SendTransfer(transfer);
  return STATUS_SUCCESS;
}
