#include "toy_minidriver.h"

#include "usb/usb.h"

namespace toy {

Config gConfig;
Log gLog;

namespace {

struct Adapter {  // device extension
  KSPIN_LOCK queueLock;
  LIST_ENTRY queue;
  ULONG busy;
  KEVENT requestQueued;
  ULONG heldOnce;
  LONG brightness;
};

struct RequestExtension {
  LIST_ENTRY link;
  PHW_STREAM_REQUEST_BLOCK srb;
};

struct StreamExtension {
  KSPIN_LOCK lock;  // guards state, reads, picture
  KSSTATE state;
  LIST_ENTRY reads;  // through each read's Irp->Tail.Overlay.ListEntry
  LONGLONG picture;
  HANDLE clock;
};

const KSPROPERTY_ITEM kProcAmpItems[] = {
    {KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS, {TRUE}, sizeof(KSPROPERTY_VIDEOPROCAMP_S), sizeof(KSPROPERTY_VIDEOPROCAMP_S),
     {TRUE}, nullptr, 0, nullptr, nullptr, 4},
    {KSPROPERTY_VIDEOPROCAMP_GAMMA, {TRUE}, sizeof(KSPROPERTY_VIDEOPROCAMP_S), sizeof(KSPROPERTY_VIDEOPROCAMP_S),
     {FALSE}, nullptr, 0, nullptr, nullptr, 4},
};
KSPROPERTY_SET kDeviceProperties[] = {
    {&PROPSETID_VIDCAP_VIDEOPROCAMP, 2, kProcAmpItems, 0, nullptr},
};
const KSPROPERTY_ITEM kDroppedFramesItems[] = {
    {KSPROPERTY_DROPPEDFRAMES_CURRENT, {TRUE}, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
     sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), {FALSE}, nullptr, 0, nullptr, nullptr, 0},
};
KSPROPERTY_SET kStreamProperties[] = {
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, 1, kDroppedFramesItems, 0, nullptr},
};
const GUID kCategories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};
KSTOPOLOGY kTopology = {2, kCategories, 0, nullptr, 0, nullptr, nullptr, 0};

// A synchronous internal request to the device below, as a USB client driver makes it.
NTSTATUS QueryPortStatus(PDEVICE_OBJECT lower, ULONG* status) {
  KEVENT event;
  IO_STATUS_BLOCK ioStatus{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(IOCTL_INTERNAL_USB_GET_PORT_STATUS, lower, nullptr, 0, nullptr, 0, TRUE,
                                           &event, &ioStatus);
  if (irp == nullptr) return STATUS_INSUFFICIENT_RESOURCES;
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = status;
  NTSTATUS result = IoCallDriver(lower, irp);
  if (result == STATUS_PENDING) {
    KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr);
    result = ioStatus.Status;
  }
  return result;
}

void Record(SRB_COMMAND command) {
  std::lock_guard lock(gLog.mutex);
  gLog.processed.emplace_back(command, std::this_thread::get_id());
}

void CompleteDevice(PHW_STREAM_REQUEST_BLOCK srb) {
  StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
}

void CompleteStream(PHW_STREAM_REQUEST_BLOCK srb) {
  StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

PHW_STREAM_REQUEST_BLOCK ReadOf(PLIST_ENTRY entry) {
  PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
  return static_cast<PHW_STREAM_REQUEST_BLOCK>(irp->Tail.Overlay.DriverContext[0]);
}

void CancelRead(PHW_STREAM_REQUEST_BLOCK srb) {
  srb->CommandData.DataBufferArray->DataUsed = 0;
  srb->Status = STATUS_CANCELLED;
  CompleteStream(srb);
}

VOID ReceiveData(PHW_STREAM_REQUEST_BLOCK srb) {
  auto* stream = static_cast<StreamExtension*>(srb->StreamObject->HwStreamExtension);
  srb->Status = STATUS_SUCCESS;
  if (srb->Command != SRB_READ_DATA) {
    srb->Status = STATUS_NOT_IMPLEMENTED;
    CompleteStream(srb);
    return;
  }
  srb->TimeoutCounter = srb->TimeoutOriginal = 3;
  if (gConfig.fault == Fault::DropRead) return;
  KIRQL irql;
  KeAcquireSpinLock(&stream->lock, &irql);
  if (stream->state == KSSTATE_STOP) {
    KeReleaseSpinLock(&stream->lock, irql);
    CompleteStream(srb);
    return;
  }
  srb->Irp->Tail.Overlay.DriverContext[0] = srb;
  InsertTailList(&stream->reads, &srb->Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&stream->lock, irql);
}

VOID ReceiveControl(PHW_STREAM_REQUEST_BLOCK srb) {
  auto* stream = static_cast<StreamExtension*>(srb->StreamObject->HwStreamExtension);
  srb->Status = STATUS_SUCCESS;
  KIRQL irql;
  switch (srb->Command) {
    case SRB_SET_STREAM_STATE: {
      LIST_ENTRY cancelled;
      InitializeListHead(&cancelled);
      KeAcquireSpinLock(&stream->lock, &irql);
      stream->state = srb->CommandData.StreamState;
      if (stream->state == KSSTATE_STOP)
        while (!IsListEmpty(&stream->reads)) InsertTailList(&cancelled, RemoveHeadList(&stream->reads));
      KeReleaseSpinLock(&stream->lock, irql);
      while (!IsListEmpty(&cancelled)) CancelRead(ReadOf(RemoveHeadList(&cancelled)));
      break;
    }
    case SRB_GET_STREAM_STATE:
      KeAcquireSpinLock(&stream->lock, &irql);
      srb->CommandData.StreamState = stream->state;
      KeReleaseSpinLock(&stream->lock, irql);
      srb->ActualBytesTransferred = sizeof(KSSTATE);
      if (gConfig.fault == Fault::WrongNotification) CompleteDevice(srb);
      break;
    case SRB_INDICATE_MASTER_CLOCK:
      KeAcquireSpinLock(&stream->lock, &irql);
      stream->clock = srb->CommandData.MasterClockHandle;
      KeReleaseSpinLock(&stream->lock, irql);
      break;
    case SRB_GET_STREAM_PROPERTY: {
      auto* value = static_cast<PKSPROPERTY_DROPPEDFRAMES_CURRENT_S>(srb->CommandData.PropertyInfo->PropertyInfo);
      KeAcquireSpinLock(&stream->lock, &irql);
      value->PictureNumber = stream->picture;
      KeReleaseSpinLock(&stream->lock, irql);
      value->DropCount = 0;
      srb->ActualBytesTransferred = sizeof(*value);
      break;
    }
    default:
      srb->Status = STATUS_NOT_IMPLEMENTED;
      break;
  }
  CompleteStream(srb);
}

void ProcessDevice(Adapter* adapter, PHW_STREAM_REQUEST_BLOCK srb) {
  Record(srb->Command);
  srb->Status = STATUS_SUCCESS;
  switch (srb->Command) {
    case SRB_INITIALIZE_DEVICE: {
      PPORT_CONFIGURATION_INFORMATION config = srb->CommandData.ConfigInfo;
      if (config->NumberOfAccessRanges != 0) {
        srb->Status = STATUS_NO_SUCH_DEVICE;
        break;
      }
      ULONG portStatus = 0;
      NTSTATUS portResult = gConfig.queryPortStatus ? QueryPortStatus(config->PhysicalDeviceObject, &portStatus)
                                                    : STATUS_PENDING;
      std::lock_guard lock(gLog.mutex);
      gLog.physicalDevice = config->PhysicalDeviceObject;
      gLog.portStatusResult = portResult;
      gLog.portStatus = portStatus;
      config->StreamDescriptorSize = sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION);
      break;
    }
    case SRB_GET_STREAM_INFO: {
      PHW_STREAM_DESCRIPTOR descriptor = srb->CommandData.StreamBuffer;
      HW_STREAM_HEADER& header = descriptor->StreamHeader;
      header.NumberOfStreams = 1;
      header.SizeOfHwStreamInformation = sizeof(HW_STREAM_INFORMATION);
      header.NumDevPropArrayEntries = 1;
      header.DevicePropertiesArray = kDeviceProperties;
      header.Topology = &kTopology;
      HW_STREAM_INFORMATION& info = descriptor->StreamInfo;
      info.NumberOfPossibleInstances = 1;
      info.DataFlow = KSPIN_DATAFLOW_OUT;
      info.DataAccessible = TRUE;
      info.NumStreamPropArrayEntries = 1;
      info.StreamPropertiesArray = kStreamProperties;
      info.Category = &PINNAME_VIDEO_CAPTURE;
      info.Name = &PINNAME_VIDEO_CAPTURE;
      break;
    }
    case SRB_OPEN_STREAM: {
      PHW_STREAM_OBJECT object = srb->StreamObject;
      if (object->StreamNumber != 0) {
        srb->Status = STATUS_INVALID_PARAMETER;
        break;
      }
      auto* stream = static_cast<StreamExtension*>(object->HwStreamExtension);
      KeInitializeSpinLock(&stream->lock);
      InitializeListHead(&stream->reads);
      stream->state = KSSTATE_STOP;
      object->ReceiveDataPacket = ReceiveData;
      object->ReceiveControlPacket = ReceiveControl;
      object->Pio = TRUE;
      object->StreamHeaderMediaSpecific = sizeof(KS_FRAME_INFO);
      break;
    }
    case SRB_GET_DEVICE_PROPERTY: {
      if (gConfig.holdFirstPropertyGet && !adapter->heldOnce) {
        adapter->heldOnce = 1;
        KeWaitForSingleObject(&adapter->requestQueued, Executive, KernelMode, FALSE, nullptr);
      }
      PSTREAM_PROPERTY_DESCRIPTOR info = srb->CommandData.PropertyInfo;
      auto* value = static_cast<PKSPROPERTY_VIDEOPROCAMP_S>(info->PropertyInfo);
      value->Value = adapter->brightness;
      value->Flags = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
      value->Capabilities = KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL;
      srb->ActualBytesTransferred = sizeof(*value) + (gConfig.fault == Fault::OverreportBytes ? 8 : 0);
      break;
    }
    case SRB_SET_DEVICE_PROPERTY:
      adapter->brightness = static_cast<PKSPROPERTY_VIDEOPROCAMP_S>(srb->CommandData.PropertyInfo->PropertyInfo)->Value;
      break;
    case SRB_CHANGE_POWER_STATE: {
      std::lock_guard lock(gLog.mutex);
      gLog.powerState = srb->CommandData.DeviceState;
      break;
    }
    case SRB_GET_DATA_INTERSECTION: {
      PSTREAM_DATA_INTERSECT_INFO info = srb->CommandData.IntersectInfo;
      if (info->SizeOfDataFormatBuffer < sizeof(KSDATAFORMAT)) {
        srb->Status = STATUS_BUFFER_TOO_SMALL;
        break;
      }
      std::memcpy(info->DataFormatBuffer, info->DataRange, sizeof(KSDATAFORMAT));
      srb->ActualBytesTransferred = sizeof(KSDATAFORMAT);
      break;
    }
    case SRB_PAGING_OUT_DRIVER:
      if (gConfig.fault == Fault::CompleteTwice) CompleteDevice(srb);
      if (gConfig.fault == Fault::LeaveStatusPending) srb->Status = STATUS_PENDING;
      if (gConfig.fault == Fault::CompleteUnknown) {
        HW_STREAM_REQUEST_BLOCK stranger{};
        stranger.Status = STATUS_SUCCESS;
        StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, &stranger);
      }
      break;
    case SRB_CLOSE_STREAM:
    case SRB_INITIALIZATION_COMPLETE:
    case SRB_UNINITIALIZE_DEVICE:
      break;
    default:
      srb->Status = STATUS_NOT_IMPLEMENTED;
      break;
  }
}

// Device requests run one at a time, on the thread of whichever caller found
// the adapter idle.
VOID ReceivePacket(PHW_STREAM_REQUEST_BLOCK srb) {
  auto* adapter = static_cast<Adapter*>(srb->HwDeviceExtension);
  {
    std::lock_guard lock(gLog.mutex);
    gLog.deviceRequestsSeen++;
  }
  if (srb->Command == SRB_INITIALIZE_DEVICE) {  // first and alone
    KeInitializeSpinLock(&adapter->queueLock);
    InitializeListHead(&adapter->queue);
    KeInitializeEvent(&adapter->requestQueued, NotificationEvent, FALSE);
    adapter->brightness = 7;
  }
  KIRQL irql;
  KeAcquireSpinLock(&adapter->queueLock, &irql);
  if (adapter->busy) {
    auto* request = static_cast<RequestExtension*>(srb->SRBExtension);
    request->srb = srb;
    InsertTailList(&adapter->queue, &request->link);
    KeReleaseSpinLock(&adapter->queueLock, irql);
    KeSetEvent(&adapter->requestQueued, IO_NO_INCREMENT, FALSE);
    return;
  }
  adapter->busy = 1;
  KeReleaseSpinLock(&adapter->queueLock, irql);
  for (;;) {
    ProcessDevice(adapter, srb);
    CompleteDevice(srb);
    KeAcquireSpinLock(&adapter->queueLock, &irql);
    if (IsListEmpty(&adapter->queue)) {
      adapter->busy = 0;
      KeReleaseSpinLock(&adapter->queueLock, irql);
      return;
    }
    srb = CONTAINING_RECORD(RemoveHeadList(&adapter->queue), RequestExtension, link)->srb;
    KeReleaseSpinLock(&adapter->queueLock, irql);
  }
}

VOID CancelPacket(PHW_STREAM_REQUEST_BLOCK srb) {
  if (srb->StreamObject == nullptr) return;
  auto* stream = static_cast<StreamExtension*>(srb->StreamObject->HwStreamExtension);
  PHW_STREAM_REQUEST_BLOCK found = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&stream->lock, &irql);
  for (PLIST_ENTRY e = stream->reads.Flink; e != &stream->reads; e = e->Flink)
    if (ReadOf(e) == srb) {
      RemoveEntryList(e);
      found = srb;
      break;
    }
  KeReleaseSpinLock(&stream->lock, irql);
  if (found == nullptr) return;
  {
    std::lock_guard lock(gLog.mutex);
    gLog.cancels++;
  }
  CancelRead(found);
}

VOID TimeoutPacket(PHW_STREAM_REQUEST_BLOCK srb) {
  {
    std::lock_guard lock(gLog.mutex);
    gLog.timeouts++;
  }
  srb->TimeoutCounter = srb->TimeoutOriginal;  // keep waiting
}

}  // namespace

void Reset() {
  gConfig = Config{};
  std::lock_guard lock(gLog.mutex);
  gLog.processed.clear();
  gLog.physicalDevice = nullptr;
  gLog.powerState = PowerDeviceUnspecified;
  gLog.timeouts = 0;
  gLog.cancels = 0;
  gLog.deviceRequestsSeen = 0;
  gLog.portStatusResult = STATUS_PENDING;
  gLog.portStatus = 0;
}

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  if (!gConfig.callRegister) return STATUS_SUCCESS;
  HW_INITIALIZATION_DATA init{};
  init.HwInitializationDataSize = gConfig.initSize;
  init.HwReceivePacket = gConfig.withReceivePacket ? ReceivePacket : nullptr;
  init.HwCancelPacket = CancelPacket;
  init.HwRequestTimeoutHandler = TimeoutPacket;
  init.DeviceExtensionSize = sizeof(Adapter);
  init.PerRequestExtensionSize = sizeof(RequestExtension);
  init.PerStreamExtensionSize = sizeof(StreamExtension);
  init.BufferAlignment = 3;
  init.TurnOffSynchronization = gConfig.turnOffSynchronization;
  return StreamClassRegisterAdapter(driverObject, registryPath, &init);
}

bool DeliverFrame(PHW_STREAM_OBJECT object, ULONG bytes, UCHAR fill) {
  auto* stream = static_cast<StreamExtension*>(object->HwStreamExtension);
  KIRQL irql;
  KeAcquireSpinLock(&stream->lock, &irql);
  if (IsListEmpty(&stream->reads)) {
    KeReleaseSpinLock(&stream->lock, irql);
    return false;
  }
  PHW_STREAM_REQUEST_BLOCK srb = ReadOf(RemoveHeadList(&stream->reads));
  LONGLONG picture = ++stream->picture;
  HANDLE clock = stream->clock;
  KeReleaseSpinLock(&stream->lock, irql);

  PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
  ULONG used = bytes < header->FrameExtent ? bytes : header->FrameExtent;
  std::memset(header->Data, fill, used);
  header->DataUsed = used;
  auto* frame = reinterpret_cast<PKS_FRAME_INFO>(header + 1);
  frame->PictureNumber = picture;
  header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT;
  if (clock != nullptr) {
    HW_TIME_CONTEXT time{};
    time.HwDeviceExtension = object->HwDeviceExtension;
    time.HwStreamObject = object;
    time.Function = TIME_GET_STREAM_TIME;
    StreamClassQueryMasterClockSync(clock, &time);
    header->PresentationTime.Time = static_cast<LONGLONG>(time.Time);
    header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID;
  }
  srb->Status = STATUS_SUCCESS;
  CompleteStream(srb);
  return true;
}

PHW_STREAM_REQUEST_BLOCK TakeOldestRead(PHW_STREAM_OBJECT object) {
  auto* stream = static_cast<StreamExtension*>(object->HwStreamExtension);
  KIRQL irql;
  KeAcquireSpinLock(&stream->lock, &irql);
  PHW_STREAM_REQUEST_BLOCK srb = IsListEmpty(&stream->reads) ? nullptr : ReadOf(RemoveHeadList(&stream->reads));
  KeReleaseSpinLock(&stream->lock, irql);
  return srb;
}

void Finish(PHW_STREAM_REQUEST_BLOCK read) {
  read->Status = STATUS_SUCCESS;
  CompleteStream(read);
}

}  // namespace toy
