// Camera control requests: vendor requests on the default pipe, the busy
// repeat of device settings, and the synchronous submission of any URB with
// its 3-second time-out.
#include "torvexv.h"

namespace {

// One synchronous submission. Each call has its own timer and DPC, so that two
// requests running at once (a property request and the button poll) never
// share them.
struct SyncRequest {
  KEVENT Done;
  KTIMER Timer;
  KDPC TimeoutDpc;
};

NTSTATUS SyncRequestComplete(PDEVICE_OBJECT /*device*/, PIRP /*irp*/, PVOID context) {
  KeSetEvent(&static_cast<SyncRequest*>(context)->Done, IO_NO_INCREMENT, FALSE);
  // The IRP is the driver's: it is freed by the waiting caller.
  return STATUS_MORE_PROCESSING_REQUIRED;
}

}  // namespace

VOID USBCAMD_SyncUrbTimeoutDPC(PKDPC /*dpc*/, PVOID context, PVOID /*arg1*/, PVOID /*arg2*/) {
  IoCancelIrp(static_cast<PIRP>(context));
}

NTSTATUS IsoUsb_CallUSBD(AdapterExtension* adapter, PURB urb) {
  if (ReadShared(&adapter->DeviceState) == DEVICE_STOPPED) return STATUS_DEVICE_DATA_ERROR;
  PDEVICE_OBJECT lower = adapter->LowerDevice;
  // The driver allocates the IRP itself rather than letting the I/O manager
  // free it at completion: the time-out DPC may still hold it then.
  PIRP irp = IoAllocateIrp(lower->StackSize, FALSE);
  if (!irp) return STATUS_INSUFFICIENT_RESOURCES;

  SyncRequest request;
  KeInitializeEvent(&request.Done, NotificationEvent, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IOCTL_INTERNAL_USB_SUBMIT_URB;
  next->Parameters.Others.Argument1 = urb;
  IoSetCompletionRoutine(irp, SyncRequestComplete, &request, TRUE, TRUE, TRUE);

  NTSTATUS status = IofCallDriver(lower, irp);
  if (status == STATUS_PENDING) {
    KeInitializeTimer(&request.Timer);
    KeInitializeDpc(&request.TimeoutDpc, USBCAMD_SyncUrbTimeoutDPC, irp);
    LARGE_INTEGER due;
    due.QuadPart = SYNC_URB_TIMEOUT;
    KeSetTimer(&request.Timer, due, &request.TimeoutDpc);
    KeWaitForSingleObject(&request.Done, Executive, KernelMode, FALSE, nullptr);
    // A timer that already expired has queued its DPC: let it finish with the
    // IRP before the IRP is freed.
    if (!KeCancelTimer(&request.Timer)) KeFlushQueuedDpcs();
    status = irp->IoStatus.Status;
  } else {
    KeWaitForSingleObject(&request.Done, Executive, KernelMode, FALSE, nullptr);
  }
  IoFreeIrp(irp);
  return status;
}

ULONG ISOUSB_ControlVendorCommandWorker(AdapterExtension* adapter, UCHAR bRequest, USHORT wValue, USHORT wIndex,
                                        PVOID buffer, ULONG length, BOOLEAN directionIn) {
  const USHORT urbSize = sizeof(struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST);
  PURB urb = static_cast<PURB>(ISOUSB_ExAllocatePool(NonPagedPool, urbSize));
  if (!urb) return 0;
  RtlZeroMemory(urb, urbSize);
  ULONG transferred = 0;
  if (buffer) {
    UsbBuildVendorRequest(urb, URB_FUNCTION_VENDOR_DEVICE, urbSize,
                          directionIn ? USBD_TRANSFER_DIRECTION_IN : USBD_TRANSFER_DIRECTION_OUT, 0, bRequest,
                          wValue, wIndex, buffer, nullptr, length, nullptr);
    NTSTATUS status = IsoUsb_CallUSBD(adapter, urb);
    if (NT_SUCCESS(status)) {
      transferred = urb->UrbControlVendorClassRequest.TransferBufferLength;
      if (transferred > length) transferred = length;
    }
  }
  ISOUSB_ExFreePool(urb);
  return transferred;
}

BOOLEAN IsoUsb_Vendor_DeviceSetting(AdapterExtension* adapter, UCHAR bRequest, USHORT wValue, USHORT wIndex,
                                    PUCHAR reply) {
  ULONG n = 0;
  for (int attempt = 0; attempt < ISOUSB_BUSY_REPEAT_LIMIT; ++attempt) {
    n = ISOUSB_ControlVendorCommandWorker(adapter, bRequest, wValue, wIndex, reply, DEVICE_SETTING_REPLY_LENGTH,
                                          TRUE);
    if (n != DEVICE_SETTING_REPLY_LENGTH || reply[0] != REPLY_STATUS_BUSY) break;
  }
  if (n != DEVICE_SETTING_REPLY_LENGTH) return FALSE;
  // Still busy after the last repeat counts as a failure, like a refusal.
  return reply[0] != REPLY_STATUS_REFUSED && reply[0] != REPLY_STATUS_BUSY;
}

ULONG IsoUsb_Vendor_SetImageSize(AdapterExtension* adapter, const DcmpContext* decoder, PUCHAR reply) {
  return ISOUSB_ControlVendorCommandWorker(adapter, VENDOR_SET_IMAGE_SIZE, static_cast<USHORT>(decoder->decWidth),
                                           static_cast<USHORT>(decoder->decHeight), reply,
                                           DEVICE_SETTING_REPLY_LENGTH, TRUE);
}

ULONG IsoUsb_Vendor_SetCmprssAttr(AdapterExtension* adapter, const DcmpContext* /*decoder*/, PUCHAR reply) {
  return ISOUSB_ControlVendorCommandWorker(adapter, VENDOR_SET_COMPRESSION,
                                           static_cast<USHORT>(adapter->Quality / 1000), 0, reply,
                                           DEVICE_SETTING_REPLY_LENGTH, TRUE);
}

ULONG IsoUsb_Vendor_GetCmprssAttr(AdapterExtension* adapter, const DcmpContext* /*decoder*/, PUCHAR byte) {
  return ISOUSB_ControlVendorCommandWorker(adapter, VENDOR_GET_COMPRESSION, 0, 0, byte, 1, TRUE);
}

ULONG IsoUsb_Vendor_GetKey(AdapterExtension* adapter, PUCHAR byte) {
  return ISOUSB_ControlVendorCommandWorker(adapter, VENDOR_GET_KEY, 0, 0, byte, 1, TRUE);
}
