// IRPs, completion and cancellation, device and driver objects, work items.
#include "kernel_impl.h"

using namespace torvex::platform;

namespace {
constexpr ULONG kIrpTag = MakeTag("Irp ");
constexpr ULONG kDeviceTag = MakeTag("Devo");
constexpr ULONG kWorkItemTag = MakeTag("IoWk");
constexpr ULONG kSystemBufferTag = MakeTag("IoBf");

// AllocationFlags bits.
constexpr UCHAR kIrpBuilt = 0x01;     // made by IoBuildDeviceIoControlRequest: the I/O manager frees it
constexpr UCHAR kIrpInFlight = 0x02;  // handed to a driver and not yet completed
constexpr UCHAR kIrpBuffered = 0x04;  // SystemBuffer is ours, copy out on completion

void Violation(const std::string& message) { CurrentImpl().violation(message); }
}  // namespace

struct _IO_WORKITEM {
  PDEVICE_OBJECT device;
  bool queued;
};

// ---------------------------------------------------------------------------
// IRPs.

VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize) {
  std::memset(Irp, 0, PacketSize);
  Irp->Type = IO_TYPE_IRP;
  Irp->Size = PacketSize;
  Irp->StackCount = StackSize;
  Irp->CurrentLocation = static_cast<CHAR>(StackSize + 1);
  Irp->Tail.Overlay.CurrentStackLocation = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + StackSize;
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN) {
  if (StackSize < 1) {
    Violation("IoAllocateIrp with no stack location");
    return nullptr;
  }
  SIZE_T size = IoSizeOfIrp(StackSize);
  auto irp = static_cast<PIRP>(PoolAllocate(NonPagedPool, size, kIrpTag));
  if (irp) IoInitializeIrp(irp, static_cast<USHORT>(size), StackSize);
  return irp;
}

VOID IoReuseIrp(PIRP Irp, NTSTATUS Status) {
  if (Irp->AllocationFlags & kIrpInFlight) Violation("IoReuseIrp on an IRP that a driver still holds");
  UCHAR flags = Irp->AllocationFlags;
  IoInitializeIrp(Irp, Irp->Size, Irp->StackCount);
  Irp->AllocationFlags = flags & ~kIrpInFlight;
  Irp->IoStatus.Status = Status;
}

VOID IoFreeIrp(PIRP Irp) {
  if (!Irp || Irp->Type != IO_TYPE_IRP) {
    Violation("IoFreeIrp of something that is not an IRP");
    return;
  }
  if (Irp->AllocationFlags & kIrpInFlight) {
    Violation("IoFreeIrp on an IRP that a driver still holds (not completed)");
    return;
  }
  Irp->Type = 0;
  PoolFree(Irp, kIrpTag);
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock) {
  PIRP irp = IoAllocateIrp(DeviceObject->StackSize, FALSE);
  if (!irp) return nullptr;
  irp->AllocationFlags |= kIrpBuilt;
  irp->UserEvent = Event;
  irp->UserIosb = IoStatusBlock;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
  next->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
  next->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;
  if ((IoControlCode & 3) == METHOD_NEITHER) {
    next->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
    irp->UserBuffer = OutputBuffer;
  } else {
    ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
    if (length) {
      void* buffer = PoolAllocate(NonPagedPool, length, kSystemBufferTag);
      if (!buffer) {
        IoFreeIrp(irp);
        return nullptr;
      }
      std::memset(buffer, 0, length);
      if (InputBuffer && InputBufferLength) std::memcpy(buffer, InputBuffer, InputBufferLength);
      irp->AssociatedIrp.SystemBuffer = buffer;
      irp->AllocationFlags |= kIrpBuffered;
    }
    irp->UserBuffer = OutputBuffer;
  }
  return irp;
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) Violation("IofCallDriver above DISPATCH_LEVEL");
  if (!DeviceObject || !Irp || Irp->Type != IO_TYPE_IRP) {
    Violation("IofCallDriver with a bad device object or IRP");
    return STATUS_INVALID_PARAMETER;
  }
  if (Irp->CurrentLocation <= 1) {
    Violation("IofCallDriver: the IRP has no stack location left for the lower driver");
    std::abort();
  }
  Irp->AllocationFlags |= kIrpInFlight;
  IoSetNextIrpStackLocation(Irp);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  stack->DeviceObject = DeviceObject;
  PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject ? DeviceObject->DriverObject->MajorFunction[stack->MajorFunction] : nullptr;
  if (!dispatch) {
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
  return dispatch(DeviceObject, Irp);
}

VOID IofCompleteRequest(PIRP Irp, KPRIORITY) {
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) Violation("IoCompleteRequest above DISPATCH_LEVEL");
  if (Irp->CurrentLocation > Irp->StackCount) {
    Violation("IoCompleteRequest on an IRP that is not held by a driver (completed twice?)");
    return;
  }
  if (Irp->IoStatus.Status == STATUS_PENDING) Violation("IoCompleteRequest with status STATUS_PENDING");
  if (__atomic_load_n(&Irp->CancelRoutine, __ATOMIC_SEQ_CST)) {
    Violation("IoCompleteRequest on an IRP that still has a cancel routine");
    IoSetCancelRoutine(Irp, nullptr);
  }
  Irp->AllocationFlags &= ~kIrpInFlight;
  while (Irp->CurrentLocation <= Irp->StackCount) {
    PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
    IoSkipCurrentIrpStackLocation(Irp);
    Irp->PendingReturned = (stack->Control & SL_PENDING_RETURNED) ? TRUE : FALSE;
    NTSTATUS status = Irp->IoStatus.Status;
    bool cancelled = __atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST);
    bool invoke = stack->CompletionRoutine &&
                  ((NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_SUCCESS)) ||
                   (!NT_SUCCESS(status) && (stack->Control & SL_INVOKE_ON_ERROR)) ||
                   (cancelled && (stack->Control & SL_INVOKE_ON_CANCEL)));
    PIO_COMPLETION_ROUTINE routine = stack->CompletionRoutine;
    PVOID context = stack->Context;
    stack->CompletionRoutine = nullptr;
    stack->Context = nullptr;
    stack->Control = 0;
    PDEVICE_OBJECT device =
        Irp->CurrentLocation <= Irp->StackCount ? IoGetCurrentIrpStackLocation(Irp)->DeviceObject : nullptr;
    if (invoke) {
      // From here the routine owns the IRP; it may free or resend it.
      if (routine(device, Irp, context) == STATUS_MORE_PROCESSING_REQUIRED) return;
    } else if (Irp->PendingReturned && Irp->CurrentLocation <= Irp->StackCount) {
      IoMarkIrpPending(Irp);
    }
  }
  if (!(Irp->AllocationFlags & kIrpBuilt)) {
    Violation("an IRP from IoAllocateIrp was completed to the top: its owner's completion routine must return "
              "STATUS_MORE_PROCESSING_REQUIRED");
    return;
  }
  if ((Irp->AllocationFlags & kIrpBuffered) && Irp->UserBuffer && NT_SUCCESS(Irp->IoStatus.Status)) {
    PIO_STACK_LOCATION first = reinterpret_cast<PIO_STACK_LOCATION>(Irp + 1) + (Irp->StackCount - 1);
    ULONG_PTR n = Irp->IoStatus.Information;
    ULONG capacity = first->Parameters.DeviceIoControl.OutputBufferLength;
    std::memcpy(Irp->UserBuffer, Irp->AssociatedIrp.SystemBuffer, n < capacity ? n : capacity);
  }
  if (Irp->AllocationFlags & kIrpBuffered) PoolFree(Irp->AssociatedIrp.SystemBuffer, kSystemBufferTag);
  if (Irp->UserIosb) *Irp->UserIosb = Irp->IoStatus;
  PKEVENT event = Irp->UserEvent;
  IoFreeIrp(Irp);
  if (event) KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  __atomic_store_n(&Irp->Cancel, TRUE, __ATOMIC_SEQ_CST);
  PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, nullptr);
  if (!routine) {
    IoReleaseCancelSpinLock(irql);
    return FALSE;
  }
  Irp->CancelIrql = irql;
  // The cancel routine releases the cancel spin lock.
  routine(IoGetCurrentIrpStackLocation(Irp)->DeviceObject, Irp);
  return TRUE;
}

// ---------------------------------------------------------------------------
// Device objects.

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN, PDEVICE_OBJECT* DeviceObject) {
  SIZE_T header = (sizeof(DEVICE_OBJECT) + 15) & ~SIZE_T{15};
  auto p = static_cast<uint8_t*>(PoolAllocate(NonPagedPool, header + DeviceExtensionSize, kDeviceTag));
  if (!p) return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(p, 0, header + DeviceExtensionSize);
  auto device = reinterpret_cast<PDEVICE_OBJECT>(p);
  device->Type = IO_TYPE_DEVICE;
  device->Size = static_cast<USHORT>(sizeof(DEVICE_OBJECT) + DeviceExtensionSize);
  device->DriverObject = DriverObject;
  device->DeviceExtension = DeviceExtensionSize ? p + header : nullptr;
  device->DeviceType = DeviceType;
  device->Characteristics = DeviceCharacteristics;
  device->StackSize = 1;
  device->Flags = DO_DEVICE_INITIALIZING;
  if (DriverObject) {
    device->NextDevice = DriverObject->DeviceObject;
    DriverObject->DeviceObject = device;
  }
  *DeviceObject = device;
  return STATUS_SUCCESS;
}

VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  if (DeviceObject->AttachedDevice) Violation("IoDeleteDevice of a device that still has a device attached on top");
  if (PDRIVER_OBJECT driver = DeviceObject->DriverObject) {
    for (PDEVICE_OBJECT* link = &driver->DeviceObject; *link; link = &(*link)->NextDevice) {
      if (*link == DeviceObject) {
        *link = DeviceObject->NextDevice;
        break;
      }
    }
  }
  DeviceObject->Type = 0;
  PoolFree(DeviceObject, kDeviceTag);
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice) {
  PDEVICE_OBJECT top = TargetDevice;
  while (top->AttachedDevice) top = top->AttachedDevice;
  top->AttachedDevice = SourceDevice;
  SourceDevice->AttachedTo = top;
  SourceDevice->StackSize = static_cast<CCHAR>(top->StackSize + 1);
  return top;
}

VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  if (PDEVICE_OBJECT above = TargetDevice->AttachedDevice) above->AttachedTo = nullptr;
  TargetDevice->AttachedDevice = nullptr;
}

// ---------------------------------------------------------------------------
// Work items.

namespace {
void QueueOnWorkers(Kernel::Impl& k, std::function<void()> fn) {
  std::lock_guard lock(k.mu);
  k.enqueueLocked(*k.workers, Item{std::move(fn), nullptr});
}
}  // namespace

VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE) {
  auto& k = CurrentImpl();
  if (KeGetCurrentIrql() > DISPATCH_LEVEL) k.violation("ExQueueWorkItem above DISPATCH_LEVEL");
  PWORKER_THREAD_ROUTINE routine = WorkItem->WorkerRoutine;
  PVOID parameter = WorkItem->Parameter;
  if (!routine) {
    k.violation("ExQueueWorkItem of an item without a routine");
    return;
  }
  // The routine may free the item, so only the copies are used when it runs.
  QueueOnWorkers(k, [routine, parameter] { routine(parameter); });
}

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  auto item = static_cast<PIO_WORKITEM>(PoolAllocate(NonPagedPool, sizeof(_IO_WORKITEM), kWorkItemTag));
  if (item) *item = {DeviceObject, false};
  return item;
}

VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  auto& k = CurrentImpl();
  {
    std::lock_guard lock(k.mu);
    if (IoWorkItem->queued) {
      k.violation("IoFreeWorkItem of a queued work item");
      return;
    }
  }
  PoolFree(IoWorkItem, kWorkItemTag);
}

VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE, PVOID Context) {
  auto& k = CurrentImpl();
  std::lock_guard lock(k.mu);
  if (IoWorkItem->queued) {
    k.violation("IoQueueWorkItem of a work item that is already queued");
    return;
  }
  IoWorkItem->queued = true;
  k.enqueueLocked(*k.workers, Item{[&k, IoWorkItem, WorkerRoutine, Context] {
                                     PDEVICE_OBJECT device;
                                     {
                                       std::lock_guard inner(k.mu);
                                       IoWorkItem->queued = false;
                                       device = IoWorkItem->device;
                                     }
                                     WorkerRoutine(device, Context);
                                   },
                                   nullptr});
}
