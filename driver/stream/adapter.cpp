// The adapter: registration with the streaming class, the device requests
// and their serialisation, initialise and uninitialise, power, opening and
// closing the stream, and the class's cancel and time-out callbacks.
#include "torvexv.h"

ULONG gCameraState = 0;
volatile ULONG gTriggerEvent = 0;
volatile LONG gSemaphoreCount = 0;

namespace {

AdapterExtension* AdapterOf(PHW_STREAM_REQUEST_BLOCK srb) {
  return static_cast<AdapterExtension*>(srb->HwDeviceExtension);
}

VOID PublishCameraState(ULONG state) {
  gCameraState = state;
  IsoUsb_SetRegistryDword(TORVEX_PRODUCT_KEY, TORVEX_CAMERA_STATE_VALUE, &gCameraState);
}

// Sets up the request queues once, on the first request of the device.
VOID AdapterSetupQueues(AdapterExtension* adapter) {
  if (ReadShared(&adapter->AdapterQueueReady) == 2) return;
  if (InterlockedCompareExchange(&adapter->AdapterQueueReady, 1, 0) == 0) {
    KeInitializeSpinLock(&adapter->QueueLock);
    InitializeListHead(&adapter->AdapterQueue);
    adapter->AdapterBusy = 0;
    for (ULONG n = 0; n < MAX_STREAMS; ++n) {
      InitializeListHead(&adapter->DataQueue[n]);
      InitializeListHead(&adapter->ControlQueue[n]);
      KeInitializeSpinLock(&adapter->DataQueueLock[n]);
      adapter->DataQueueCount[n] = 0;
      adapter->ControlBusy[n] = 0;
    }
    WriteShared(&adapter->AdapterQueueReady, 2L);
    return;
  }
  // Another thread is setting them up; it takes only a few instructions.
  while (ReadShared(&adapter->AdapterQueueReady) != 2) {
  }
}

}  // namespace

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath) {
  HW_INITIALIZATION_DATA data;
  RtlZeroMemory(&data, sizeof(data));
  data.HwInitializationDataSize = sizeof(HW_INITIALIZATION_DATA);
  data.HwInterrupt = nullptr;
  data.HwReceivePacket = AdapterReceivePacket;
  data.HwCancelPacket = AdapterCancelPacket;
  data.HwRequestTimeoutHandler = AdapterTimeoutPacket;
  data.DeviceExtensionSize = sizeof(AdapterExtension);
  data.PerRequestExtensionSize = sizeof(RequestExtension);
  data.PerStreamExtensionSize = sizeof(StreamExtension);
  data.FilterInstanceExtensionSize = 0;
  data.BusMasterDMA = FALSE;
  data.Dma24BitAddresses = FALSE;
  data.BufferAlignment = 3;
  data.TurnOffSynchronization = TRUE;  // the driver serialises its own requests
  data.DmaBufferSize = 0;
  return StreamClassRegisterAdapter(driverObject, registryPath, &data);
}

ULONG AddToListIfBusy(PHW_STREAM_REQUEST_BLOCK srb, PKSPIN_LOCK lock, PULONG busyFlag, PLIST_ENTRY list) {
  KIRQL irql;
  KeAcquireSpinLock(lock, &irql);
  if (*busyFlag != 1) {
    *busyFlag = 1;
    KeReleaseSpinLock(lock, irql);
    return 0;
  }
  auto request = static_cast<RequestExtension*>(srb->SRBExtension);
  request->Request = srb;
  InsertTailList(list, &request->ListEntry);
  KeReleaseSpinLock(lock, irql);
  return 1;
}

ULONG RemoveFromListIfAvailable(PHW_STREAM_REQUEST_BLOCK* srb, PKSPIN_LOCK lock, PULONG busyFlag,
                                PLIST_ENTRY list) {
  KIRQL irql;
  KeAcquireSpinLock(lock, &irql);
  if (IsListEmpty(list)) {
    *busyFlag = 0;
    KeReleaseSpinLock(lock, irql);
    return 0;
  }
  PLIST_ENTRY head = RemoveHeadList(list);
  KeReleaseSpinLock(lock, irql);
  *srb = CONTAINING_RECORD(head, RequestExtension, ListEntry)->Request;
  return 1;
}

VOID CompleteDeviceSRB(PHW_STREAM_REQUEST_BLOCK srb) {
  StreamClassDeviceNotification(DeviceRequestComplete, srb->HwDeviceExtension, srb);
}

VOID STREAMAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  AdapterSetupQueues(adapter);
  if (AddToListIfBusy(srb, &adapter->QueueLock, &adapter->AdapterBusy, &adapter->AdapterQueue)) return;
  // Requests queued meanwhile are processed here, in order, one at a time.
  do {
    srb->Status = STATUS_SUCCESS;
    switch (srb->Command) {
      case SRB_GET_STREAM_INFO: AdapterStreamInfo(srb); break;
      case SRB_OPEN_STREAM: AdapterOpenStream(srb); break;
      case SRB_CLOSE_STREAM: AdapterCloseStream(srb); break;
      case SRB_GET_DEVICE_PROPERTY: AdapterGetProperty(srb); break;
      case SRB_SET_DEVICE_PROPERTY: AdapterSetProperty(srb); break;
      case SRB_INITIALIZE_DEVICE: HwInitialize(srb); break;
      case SRB_CHANGE_POWER_STATE: AdapterPowerState(srb); break;
      case SRB_UNINITIALIZE_DEVICE: HwUnInitialize(srb); break;
      case SRB_PAGING_OUT_DRIVER: break;
      case SRB_GET_DATA_INTERSECTION: AdapterFormatFromRange(srb); break;
      case SRB_INITIALIZATION_COMPLETE: AdapterCompleteInitialization(srb); break;
      default: srb->Status = STATUS_NOT_IMPLEMENTED; break;
    }
    CompleteDeviceSRB(srb);
  } while (RemoveFromListIfAvailable(&srb, &adapter->QueueLock, &adapter->AdapterBusy, &adapter->AdapterQueue));
}

VOID AdapterCompleteInitialization(PHW_STREAM_REQUEST_BLOCK /*srb*/) {}

BOOLEAN HwInitialize(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  PPORT_CONFIGURATION_INFORMATION config = srb->CommandData.ConfigInfo;
  if (config->NumberOfAccessRanges != 0) {
    srb->Status = STATUS_NO_SUCH_DEVICE;
    return FALSE;
  }
  config->StreamDescriptorSize = sizeof(HW_STREAM_HEADER) + sizeof(HW_STREAM_INFORMATION);
  AdapterSetPictureControlDefaults(adapter);
  adapter->LowerDevice = config->PhysicalDeviceObject;
  adapter->MaxTransferSize = ISOUSB_MAX_TRANSFER_SIZE;
  WriteShared(&adapter->DeviceState, DEVICE_STARTING);
  NTSTATUS status = IsoUsb_StartDevice(adapter);
  // A failed start keeps nothing: uninitialise may never come for it.
  if (!NT_SUCCESS(status)) IsoUsb_ReleaseDeviceResources(adapter);
  srb->Status = status;
  WriteShared(&adapter->DeviceState, DEVICE_STARTED);
  PublishCameraState(2);
  return TRUE;
}

BOOLEAN HwUnInitialize(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  if (adapter->DeviceGone) {
    // The camera was unplugged while streaming.
    adapter->DeviceGone = 0;
    StreamExtension* stream = ReadShared(&adapter->OpenStreams[0]);
    if (stream && ReadShared(&stream->Streaming)) IsoUsb_StopIsoStream(adapter, stream);
  }
  IsoUsb_ReleaseDeviceResources(adapter);
  WriteShared(&adapter->DeviceState, DEVICE_STOPPED);
  srb->Status = STATUS_SUCCESS;
  PublishCameraState(0);
  return TRUE;
}

BOOLEAN AdapterPowerState(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterOf(srb)->DevicePowerState = srb->CommandData.DeviceState;
  return TRUE;
}

VOID AdapterOpenStream(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  PHW_STREAM_OBJECT object = srb->StreamObject;
  auto stream = static_cast<StreamExtension*>(object->HwStreamExtension);
  RtlZeroMemory(stream, sizeof(StreamExtension));
  const ULONG n = object->StreamNumber;
  if (n != 0 || adapter->OpenInstances[n] >= Streams[n].hwStreamInfo.NumberOfPossibleInstances ||
      !AdapterVerifyFormat(srb->CommandData.OpenFormat, n)) {
    srb->Status = STATUS_INVALID_PARAMETER;
    return;
  }
  stream->Adapter = adapter;
  stream->StreamObject = object;
  if (!VideoSetFormat(srb)) return;

  WriteShared(&adapter->OpenStreams[n], stream);
  const HW_STREAM_OBJECT& values = Streams[n].hwStreamObject;
  object->ReceiveDataPacket = values.ReceiveDataPacket;
  object->ReceiveControlPacket = values.ReceiveControlPacket;
  object->Dma = values.Dma;
  object->Pio = values.Pio;
  object->StreamHeaderMediaSpecific = values.StreamHeaderMediaSpecific;
  object->StreamHeaderWorkspace = values.StreamHeaderWorkspace;
  object->HwClockObject = values.HwClockObject;
  adapter->OpenInstances[n] += 1;
  stream->KeyFrameRate = adapter->KeyFrameRate;
  stream->PFramesPerKeyFrame = adapter->PFramesPerKeyFrame;
  stream->Quality = adapter->Quality;
  stream->VideoControlMode = adapter->VideoControlMode;

  NTSTATUS status = IsoUsb_PrepareStream(adapter, stream, srb->CommandData.OpenFormat);
  if (!NT_SUCCESS(status)) {
    // Undo the open completely, so that the stream can be opened again.
    srb->Status = status;
    adapter->OpenInstances[n] -= 1;
    WriteShared(&adapter->OpenStreams[n], static_cast<StreamExtension*>(nullptr));
    WriteShared(&stream->ImageSize, 0u);
    ISOUSB_ExFreePool(stream->VideoInfo);
    stream->VideoInfo = nullptr;
    return;
  }
  WriteShared(&stream->Streaming, static_cast<UCHAR>(0));
  // A rotation stored by another opener applies from this open on.
  WriteShared(&adapter->Roll, AdapterReadRollFromRegistry());
}

VOID AdapterCloseStream(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  auto stream = static_cast<StreamExtension*>(srb->StreamObject->HwStreamExtension);
  const ULONG n = srb->StreamObject->StreamNumber;
  // The class sets the stop state before closing; should it not have, the
  // stream stops here, before its record goes away.
  WriteShared(&stream->State, KSSTATE_STOP);
  if (ReadShared(&stream->Streaming)) IsoUsb_StopIsoStream(adapter, stream);
  IsoUsb_WaitForResets(stream);  // a reset still queued uses the stream's record
  VideoQueueCancelAllSRBs(stream);
  adapter->OpenInstances[n] -= 1;
  WriteShared(&adapter->OpenStreams[n], static_cast<StreamExtension*>(nullptr));
  WriteShared(&stream->ImageSize, 0u);
  ISOUSB_ExFreePool(stream->VideoInfo);
  stream->VideoInfo = nullptr;
  stream->MasterClock = nullptr;
}

VOID AdapterStreamInfo(PHW_STREAM_REQUEST_BLOCK srb) {
  PHW_STREAM_DESCRIPTOR descriptor = srb->CommandData.StreamBuffer;
  HW_STREAM_HEADER header = StreamHeader;
  header.NumDevPropArrayEntries = NUM_ADAPTER_PROPERTY_SETS;
  header.DevicePropertiesArray = const_cast<PKSPROPERTY_SET>(AdapterPropertyTable);
  RtlCopyMemory(&descriptor->StreamHeader, &header, sizeof(HW_STREAM_HEADER));
  RtlCopyMemory(&descriptor->StreamInfo, &Streams[0].hwStreamInfo, sizeof(HW_STREAM_INFORMATION));
}

VOID STREAMAPI AdapterCancelPacket(PHW_STREAM_REQUEST_BLOCK srb) {
  // Only reads wait in the driver; device and control requests complete
  // before their handler returns.
  if (!srb->StreamObject || srb->StreamObject->StreamNumber != 0) return;
  AdapterExtension* adapter = AdapterOf(srb);
  StreamExtension* stream = ReadShared(&adapter->OpenStreams[0]);
  if (stream) VideoQueueCancelOneSRB(stream, srb);
}

VOID STREAMAPI AdapterTimeoutPacket(PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = AdapterOf(srb);
  if (ReadShared(&adapter->DeviceState) == DEVICE_STARTED && srb->StreamObject) {
    auto stream = static_cast<StreamExtension*>(srb->StreamObject->HwStreamExtension);
    WriteShared(&stream->State, KSSTATE_STOP);
    IsoUsb_ProcessResetRequest(adapter, stream);
  }
  // The request stays pending with a fresh time-out.
  srb->TimeoutCounter = srb->TimeoutOriginal;
}
