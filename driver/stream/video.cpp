// The video stream: reads and their queue, control requests, states and the
// stream's own properties.
#include "torvexv.h"

namespace {

const KSPROPERTY_ITEM VideoStreamConnectionProperties[] = {
    {KSPROPERTY_CONNECTION_ALLOCATORFRAMING, {TRUE}, sizeof(KSPROPERTY), sizeof(KSALLOCATOR_FRAMING), {FALSE},
     nullptr, 0, nullptr, nullptr, 0},
};

const KSPROPERTY_ITEM VideoStreamDroppedFramesProperties[] = {
    {KSPROPERTY_DROPPEDFRAMES_CURRENT, {TRUE}, sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S),
     sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S), {FALSE}, nullptr, 0, nullptr, nullptr, 0},
};

StreamExtension* StreamOf(PHW_STREAM_REQUEST_BLOCK srb) {
  return static_cast<StreamExtension*>(srb->StreamObject->HwStreamExtension);
}

RequestExtension* RequestOf(PHW_STREAM_REQUEST_BLOCK srb) {
  return static_cast<RequestExtension*>(srb->SRBExtension);
}

PHW_STREAM_REQUEST_BLOCK ReadOfEntry(PLIST_ENTRY entry) {
  PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
  return static_cast<PHW_STREAM_REQUEST_BLOCK>(irp->Tail.Overlay.DriverContext[0]);
}

VOID CompleteReadWithoutData(PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status) {
  srb->CommandData.DataBufferArray->DataUsed = 0;
  srb->Status = status;
  RequestExtension* request = RequestOf(srb);
  ISOUSB_ExFreePool(request->FrameBuffer);
  request->FrameBuffer = nullptr;
  CompleteStreamSRB(srb);
}

}  // namespace

const KSPROPERTY_SET VideoStreamProperties[NUM_VIDEO_STREAM_PROPERTY_SETS] = {
    {&KSPROPSETID_Connection, 1, VideoStreamConnectionProperties, 0, nullptr},
    {&PROPSETID_VIDCAP_DROPPEDFRAMES, 1, VideoStreamDroppedFramesProperties, 0, nullptr},
};

VOID CompleteStreamSRB(PHW_STREAM_REQUEST_BLOCK srb) {
  StreamClassStreamNotification(StreamRequestComplete, srb->StreamObject, srb);
}

VOID STREAMAPI VideoReceiveDataPacket(PHW_STREAM_REQUEST_BLOCK srb) {
  StreamExtension* stream = StreamOf(srb);
  srb->Status = STATUS_SUCCESS;
  if (srb->Command != SRB_READ_DATA) {
    srb->Status = STATUS_NOT_IMPLEMENTED;
    CompleteStreamSRB(srb);
    return;
  }
  srb->TimeoutCounter = srb->TimeoutOriginal = READ_TIMEOUT_SECONDS;
  PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
  // A read carries one stream header followed by its frame information.
  if (srb->NumberOfBuffers < 1 || !header || header->Size < sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO)) {
    srb->Status = STATUS_INVALID_PARAMETER;
    CompleteStreamSRB(srb);
    return;
  }
  if (ReadShared(&stream->State) == KSSTATE_STOP) {
    CompleteStreamSRB(srb);
    return;
  }
  // A frame is decoded straight into the read's buffer: it must hold a whole picture.
  ULONG imageSize = ReadShared(&stream->ImageSize);
  if (imageSize == 0) {
    header->DataUsed = 0;
    srb->Status = STATUS_INVALID_DEVICE_STATE;
    CompleteStreamSRB(srb);
    return;
  }
  if (header->FrameExtent < imageSize || !header->Data) {
    header->DataUsed = 0;
    srb->Status = STATUS_BUFFER_TOO_SMALL;
    CompleteStreamSRB(srb);
    return;
  }
  VideoQueueAddSRB(srb);
}

VOID VideoQueueAddSRB(PHW_STREAM_REQUEST_BLOCK srb) {
  StreamExtension* stream = StreamOf(srb);
  AdapterExtension* adapter = stream->Adapter;
  const ULONG n = srb->StreamObject->StreamNumber;
  RequestExtension* request = RequestOf(srb);
  request->Request = srb;
  // The frame buffer is allocated before the lock is taken.
  auto buffer = static_cast<PUCHAR>(ISOUSB_ExAllocatePool(NonPagedPool, FRAME_BUFFER_SIZE));
  if (!buffer) {
    CompleteReadWithoutData(srb, STATUS_INSUFFICIENT_RESOURCES);
    return;
  }
  KIRQL irql;
  KeAcquireSpinLock(&adapter->DataQueueLock[n], &irql);
  // The state is tested again under the lock: a stop that has already flushed
  // the queue must not leave this read behind.
  if (ReadShared(&stream->State) == KSSTATE_STOP) {
    KeReleaseSpinLock(&adapter->DataQueueLock[n], irql);
    ISOUSB_ExFreePool(buffer);
    CompleteStreamSRB(srb);
    return;
  }
  srb->Irp->Tail.Overlay.DriverContext[0] = srb;
  request->FrameBuffer = buffer;
  InsertTailList(&adapter->DataQueue[n], &srb->Irp->Tail.Overlay.ListEntry);
  adapter->DataQueueCount[n] += 1;
  KeReleaseSpinLock(&adapter->DataQueueLock[n], irql);
}

PHW_STREAM_REQUEST_BLOCK VideoQueueRemoveSRB(AdapterExtension* adapter, ULONG streamNumber) {
  PHW_STREAM_REQUEST_BLOCK srb = nullptr;
  KIRQL irql;
  KeAcquireSpinLock(&adapter->DataQueueLock[streamNumber], &irql);
  if (!IsListEmpty(&adapter->DataQueue[streamNumber])) {
    srb = ReadOfEntry(RemoveHeadList(&adapter->DataQueue[streamNumber]));
    adapter->DataQueueCount[streamNumber] -= 1;
  }
  KeReleaseSpinLock(&adapter->DataQueueLock[streamNumber], irql);
  return srb;
}

VOID VideoQueueCancelAllSRBs(StreamExtension* stream) {
  AdapterExtension* adapter = stream->Adapter;
  const ULONG n = stream->StreamObject->StreamNumber;
  // Take the whole queue under the lock, then complete the reads in order.
  LIST_ENTRY cancelled;
  InitializeListHead(&cancelled);
  KIRQL irql;
  KeAcquireSpinLock(&adapter->DataQueueLock[n], &irql);
  while (!IsListEmpty(&adapter->DataQueue[n])) {
    InsertTailList(&cancelled, RemoveHeadList(&adapter->DataQueue[n]));
    adapter->DataQueueCount[n] -= 1;
  }
  KeReleaseSpinLock(&adapter->DataQueueLock[n], irql);
  while (!IsListEmpty(&cancelled)) CompleteReadWithoutData(ReadOfEntry(RemoveHeadList(&cancelled)), STATUS_CANCELLED);
}

ULONG VideoQueueCancelOneSRB(StreamExtension* stream, PHW_STREAM_REQUEST_BLOCK srb) {
  AdapterExtension* adapter = stream->Adapter;
  const ULONG n = stream->StreamObject->StreamNumber;
  BOOLEAN found = FALSE;
  KIRQL irql;
  KeAcquireSpinLock(&adapter->DataQueueLock[n], &irql);
  for (PLIST_ENTRY entry = adapter->DataQueue[n].Flink; entry != &adapter->DataQueue[n]; entry = entry->Flink) {
    if (ReadOfEntry(entry) == srb) {
      RemoveEntryList(entry);
      adapter->DataQueueCount[n] -= 1;
      found = TRUE;
      break;
    }
  }
  KeReleaseSpinLock(&adapter->DataQueueLock[n], irql);
  if (found) CompleteReadWithoutData(srb, STATUS_CANCELLED);
  return found;
}

VOID STREAMAPI VideoReceiveCtrlPacket(PHW_STREAM_REQUEST_BLOCK srb) {
  StreamExtension* stream = StreamOf(srb);
  AdapterExtension* adapter = stream->Adapter;
  const ULONG n = srb->StreamObject->StreamNumber;
  if (AddToListIfBusy(srb, &adapter->QueueLock, &adapter->ControlBusy[n], &adapter->ControlQueue[n])) return;
  do {
    srb->Status = STATUS_SUCCESS;
    switch (srb->Command) {
      case SRB_GET_STREAM_STATE: VideoGetState(srb); break;
      case SRB_SET_STREAM_STATE: VideoSetState(srb); break;
      case SRB_SET_STREAM_PROPERTY: VideoSetProperty(srb); break;
      case SRB_GET_STREAM_PROPERTY: VideoGetProperty(srb); break;
      case SRB_INDICATE_MASTER_CLOCK: VideoIndicateMasterClock(srb); break;
      case SRB_PROPOSE_DATA_FORMAT:
        if (!AdapterVerifyFormat(srb->CommandData.OpenFormat, n)) srb->Status = STATUS_NO_MATCH;
        break;
      case SRB_SET_DATA_FORMAT:
        if (AdapterVerifyFormat(srb->CommandData.OpenFormat, n))
          VideoSetFormat(srb);
        else
          srb->Status = STATUS_NO_MATCH;
        break;
      default: srb->Status = STATUS_NOT_IMPLEMENTED; break;
    }
    CompleteStreamSRB(srb);
  } while (RemoveFromListIfAvailable(&srb, &adapter->QueueLock, &adapter->ControlBusy[n], &adapter->ControlQueue[n]));
}

VOID VideoGetState(PHW_STREAM_REQUEST_BLOCK srb) {
  StreamExtension* stream = StreamOf(srb);
  srb->CommandData.StreamState = ReadShared(&stream->State);
  srb->ActualBytesTransferred = sizeof(KSSTATE);
  // A capture stream produces no data in pause.
  if (srb->CommandData.StreamState == KSSTATE_PAUSE) srb->Status = STATUS_NO_DATA_DETECTED;
}

VOID VideoSetState(PHW_STREAM_REQUEST_BLOCK srb) {
  StreamExtension* stream = StreamOf(srb);
  AdapterExtension* adapter = stream->Adapter;
  const KSSTATE old = ReadShared(&stream->State);
  const KSSTATE state = srb->CommandData.StreamState;
  WriteShared(&stream->State, state);
  switch (state) {
    case KSSTATE_STOP:
      if (ReadShared(&stream->Streaming)) srb->Status = IsoUsb_StopIsoStream(adapter, stream);
      VideoQueueCancelAllSRBs(stream);
      break;
    case KSSTATE_PAUSE:
      // Picture counting restarts; the first decoded frame fixes the start time.
      if (old == KSSTATE_ACQUIRE || old == KSSTATE_STOP) {
        stream->FrameInfo.PictureNumber = 0;
        stream->FrameInfo.DropCount = 0;
        stream->FrameInfo.dwFrameFlags = 0;
        stream->FramesDelivered = 0;
        stream->NeedStartTime = 1;
      }
      break;
    case KSSTATE_RUN:
      stream->Discontinuity = 0;
      if (!ReadShared(&stream->Streaming)) srb->Status = IsoUsb_StartIsoStream(adapter, stream);
      break;
    default: break;
  }
}

VOID VideoGetProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  const GUID& set = srb->CommandData.PropertyInfo->Property->Set;
  if (IsEqualGUID(set, KSPROPSETID_Connection))
    VideoStreamGetConnectionProperty(srb);
  else if (IsEqualGUID(set, PROPSETID_VIDCAP_DROPPEDFRAMES))
    VideoStreamGetDroppedFramesProperty(srb);
  else
    srb->Status = STATUS_NOT_IMPLEMENTED;
}

VOID VideoSetProperty(PHW_STREAM_REQUEST_BLOCK srb) { srb->Status = STATUS_NOT_IMPLEMENTED; }

VOID VideoStreamGetConnectionProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  PSTREAM_PROPERTY_DESCRIPTOR property = srb->CommandData.PropertyInfo;
  if (property->Property->Id != KSPROPERTY_CONNECTION_ALLOCATORFRAMING) return;
  StreamExtension* stream = StreamOf(srb);
  if (!stream->VideoInfo) {
    srb->Status = STATUS_INVALID_PARAMETER;
    return;
  }
  if (property->PropertyOutputSize < sizeof(KSALLOCATOR_FRAMING)) {
    srb->Status = STATUS_BUFFER_TOO_SMALL;
    return;
  }
  auto framing = static_cast<PKSALLOCATOR_FRAMING>(property->PropertyInfo);
  framing->RequirementsFlags = KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY | KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER |
                               KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY;
  framing->PoolType = PagedPool;
  framing->Frames = 1;
  framing->FrameSize = stream->VideoInfo->bmiHeader.biSizeImage;
  framing->FileAlignment = FILE_BYTE_ALIGNMENT;
  framing->Reserved = 0;
  srb->ActualBytesTransferred = sizeof(KSALLOCATOR_FRAMING);
}

VOID VideoStreamGetDroppedFramesProperty(PHW_STREAM_REQUEST_BLOCK srb) {
  PSTREAM_PROPERTY_DESCRIPTOR property = srb->CommandData.PropertyInfo;
  if (property->Property->Id != KSPROPERTY_DROPPEDFRAMES_CURRENT) return;
  StreamExtension* stream = StreamOf(srb);
  if (!stream->VideoInfo) {
    srb->Status = STATUS_INVALID_PARAMETER;
    return;
  }
  if (property->PropertyOutputSize < sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S)) {
    srb->Status = STATUS_BUFFER_TOO_SMALL;
    return;
  }
  auto dropped = static_cast<PKSPROPERTY_DROPPEDFRAMES_CURRENT_S>(property->PropertyInfo);
  dropped->PictureNumber = stream->FrameInfo.PictureNumber;
  dropped->DropCount = stream->FrameInfo.DropCount;
  dropped->AverageFrameSize = stream->VideoInfo->bmiHeader.biSizeImage;
  srb->ActualBytesTransferred = sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S);
}

VOID VideoIndicateMasterClock(PHW_STREAM_REQUEST_BLOCK srb) {
  StreamOf(srb)->MasterClock = srb->CommandData.MasterClockHandle;
}
