// Frame assembly and delivery: packets of completed transfers become whole
// compressed frames, frames change hands with the oldest waiting read by buffer
// exchange, and a work item decodes each one into its read's data buffer,
// stamps it, polls the camera's button and completes the read.
#include "isostream.h"

namespace {

bool IsFrameStart(const UCHAR* packet, ULONG length) {
  return length >= 2 && packet[0] == 0x00 && packet[1] >= 0x01 && packet[1] <= 0x3F;
}

RequestExtension* RequestOf(PHW_STREAM_REQUEST_BLOCK srb) { return static_cast<RequestExtension*>(srb->SRBExtension); }

// Gives the frame in *source (length bytes) to srb: the read takes the buffer
// holding the frame, the stream keeps the read's empty one.
VOID IsoUsb_DeliverFrame(StreamExtension* stream, PHW_STREAM_REQUEST_BLOCK srb, PUCHAR* source, ULONG length) {
  __atomic_add_fetch(&stream->FramesDelivered, 1, __ATOMIC_SEQ_CST);
  WriteShared(&stream->DecodingRequest, srb);
  RequestExtension* request = RequestOf(srb);
  PUCHAR frame = *source;
  *source = request->FrameBuffer;
  request->FrameBuffer = frame;
  request->FrameLength = length;
  frame[length] = 0x00;  // the decoder reads one byte past a frame's end
  IsoUsb_CompleteProcessVideoFrame(stream, srb);
}

ULONG IsoUsb_StreamNumber(const StreamExtension* stream) { return stream->StreamObject->StreamNumber; }

// Polls the camera's button at most every 0.5 s and publishes a press in the
// registry value TriggerEvent, which the driver only ever sets to 1.
VOID IsoUsb_PollButton(StreamExtension* stream) {
  const LONGLONG now = GetSystemTime();
  stream->LastFrameSystemTime = now;
  if (stream->NextButtonPoll == 0) {
    stream->NextButtonPoll = now + ISO_BUTTON_POLL_INTERVAL;
    return;
  }
  if (now < stream->NextButtonPoll) return;
  ULONG trigger = ReadShared(&gTriggerEvent);
  IsoUsb_GetRegistryDword(TORVEX_TRIGGER_KEY, TORVEX_TRIGGER_EVENT_VALUE, &trigger);
  WriteShared(&gTriggerEvent, trigger);
  if (trigger == 0) {
    UCHAR key = 0;
    if (IsoUsb_Vendor_GetKey(stream->Adapter, &key) == 1 && key == KEY_PRESSED) {
      ULONG pressed = 1;
      WriteShared(&gTriggerEvent, pressed);
      IsoUsb_SetRegistryDword(TORVEX_TRIGGER_KEY, TORVEX_TRIGGER_EVENT_VALUE, &pressed);
    }
  }
  stream->NextButtonPoll = now + ISO_BUTTON_POLL_INTERVAL;
}

// Decodes the read's frame into its data buffer; returns the bytes written, 0
// when the frame cannot be decoded into this buffer (a dropped frame).
ULONG IsoUsb_DecodeInto(StreamExtension* stream, PHW_STREAM_REQUEST_BLOCK srb) {
  DcmpContext* decoder = stream->Decoder;
  PKS_VIDEOINFOHEADER info = stream->VideoInfo;
  PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
  if (!decoder || !info || !header || !header->Data) return 0;
  const KS_BITMAPINFOHEADER& bitmap = info->bmiHeader;
  // The decoder was built for one output size; a format changed since the
  // start cannot be decoded until streaming starts again.
  if (bitmap.biWidth != decoder->initOutWidth || bitmap.biHeight != decoder->initOutHeight) return 0;
  const ULONG decoded = IsoUsb_DecodedBytes(decoder, bitmap.biCompression);
  if (decoded == 0 || decoded > bitmap.biSizeImage || header->FrameExtent < bitmap.biSizeImage) return 0;

  decoder->srcFrame = RequestOf(srb)->FrameBuffer;
  decoder->srcFrameSize = FRAME_BUFFER_SIZE;
  switch (ReadShared(&stream->Adapter->Roll)) {
    case 0: decoder->rotation = 0; break;
    case 90: decoder->rotation = 1; break;
    case 180: decoder->rotation = 2; break;
    case 270: decoder->rotation = 3; break;
    default: break;  // any other value keeps the previous rotation
  }
  auto* data = static_cast<PUCHAR>(header->Data);
  if (bitmap.biCompression == FOURCC_IYUV) {
    decoder->dstPicture = data;
    Dcmp_Decmpfrm420_IYUV(decoder);
    return bitmap.biSizeImage;
  }
  if (decoder->outWidth == 176 || decoder->outWidth == 160 || decoder->scaleMode == 4) {
    // Sampled and cut sizes are converted in workBuf and resized into Data.
    decoder->dstPicture = decoder->workBuf + static_cast<size_t>(decoder->decHeight - 1) * decoder->decWidth * 3;
    decoder->dstFinal = data;
  } else {
    decoder->dstPicture = data + static_cast<size_t>(decoder->outHeight - 1) * decoder->outWidth * 3;
  }
  return Dcmp_Decmpfrm420(decoder) ? bitmap.biSizeImage : 0;
}

}  // namespace

ULONG IsoUsb_DecodedBytes(const DcmpContext* decoder, ULONG compression) {
  if (compression == FOURCC_IYUV) return static_cast<ULONG>(decoder->decWidth) * decoder->decHeight * 3 / 2;
  return static_cast<ULONG>(decoder->initOutWidth) * decoder->initOutHeight * 3;
}

VOID IsoUsb_ResetAssembly(StreamExtension* stream, BOOLEAN dropPending) {
  stream->Synced = 0;
  stream->AssemblyLength = 0;
  stream->NextButtonPoll = 0;
  if (dropPending) stream->PendingLength = 0;
  ULONG cleared = 0;
  WriteShared(&gTriggerEvent, cleared);
  IsoUsb_SetRegistryDword(TORVEX_TRIGGER_KEY, TORVEX_TRIGGER_EVENT_VALUE, &cleared);
}

VOID IsoUsb_ProcessUSBPacketOptimize(StreamExtension* stream, const UCHAR* packet, PUCHAR startSeen, PUCHAR scratch,
                                     PULONG scratchLength, ULONG length) {
  *startSeen = 0;
  PUCHAR destination = stream->AssemblyBuffer;
  ULONG offset = stream->AssemblyLength;
  ULONG limit = ISO_FRAME_LIMIT_BYTES;
  if (IsFrameStart(packet, length)) {
    *startSeen = 1;
    destination = scratch;
    offset = 0;
    limit = ISO_SCRATCH_BYTES;
  }
  // Groups of 8 bytes; a group whose first four bytes are zero is filler, and
  // bytes after the last whole group are not read.
  for (ULONG k = 0; k + 8 <= length && offset < limit; k += 8) {
    if (packet[k] | packet[k + 1] | packet[k + 2] | packet[k + 3]) {
      RtlCopyMemory(destination + offset, packet + k, 8);
      offset += 8;
    }
  }
  if (*startSeen) {
    *scratchLength = offset;
  } else if (offset >= ISO_FRAME_LIMIT_BYTES) {
    stream->AssemblyLength = 0;  // overflow: the frame is dropped
    stream->Synced = 0;
  } else {
    stream->AssemblyLength = offset;
  }
}

ULONG IsoUsb_ProcessTransfer(IsoTransfer* transfer) {
  StreamExtension* stream = transfer->Stream;
  AdapterExtension* adapter = transfer->Adapter;
  if (ReadShared(&stream->State) != KSSTATE_RUN) return 0;
  const ULONG streamNumber = IsoUsb_StreamNumber(stream);

  if (stream->PendingLength > 0) {
    PHW_STREAM_REQUEST_BLOCK srb = VideoQueueRemoveSRB(adapter, streamNumber);
    if (srb) {
      IsoUsb_DeliverFrame(stream, srb, &stream->SpareBuffer, stream->PendingLength);
      stream->PendingLength = 0;
    } else {
      WriteShared(&stream->Discontinuity, static_cast<ULONG>(1));
    }
  }

  const _URB_ISOCH_TRANSFER& urb = transfer->Urb->UrbIsochronousTransfer;
  const ULONG packetSize = stream->Pipe->MaximumPacketSize;
  UCHAR scratch[ISO_SCRATCH_BYTES];
  for (ULONG i = 0; i < urb.NumberOfPackets && i < transfer->Packets; ++i) {
    const USBD_ISO_PACKET_DESCRIPTOR& packet = urb.IsoPacket[i];
    if (USBD_ERROR(packet.Status)) continue;
    if (packet.Length == packetSize) {
      UCHAR startSeen = 0;
      ULONG scratchLength = 0;
      IsoUsb_ProcessUSBPacketOptimize(stream, transfer->Buffer + i * packetSize, &startSeen, scratch, &scratchLength,
                                      packetSize);
      if (!startSeen) continue;
      if (stream->Synced) {
        PHW_STREAM_REQUEST_BLOCK srb = VideoQueueRemoveSRB(adapter, streamNumber);
        if (srb) {
          IsoUsb_DeliverFrame(stream, srb, &stream->AssemblyBuffer, stream->AssemblyLength);
          stream->PendingLength = 0;
        } else {
          // Only the newest complete frame waits for a read.
          PUCHAR spare = stream->SpareBuffer;
          stream->SpareBuffer = stream->AssemblyBuffer;
          stream->AssemblyBuffer = spare;
          stream->PendingLength = stream->AssemblyLength;
        }
      } else {
        stream->Synced = 1;  // whatever was assembled before is discarded
      }
      RtlCopyMemory(stream->AssemblyBuffer, scratch, scratchLength);
      stream->AssemblyLength = scratchLength;
    } else if (packet.Length != 0) {
      stream->Synced = 0;  // a short packet breaks the frame in progress
    }
  }
  return 0;
}

VOID IsoUsb_CompleteProcessVideoFrame(StreamExtension* stream, PHW_STREAM_REQUEST_BLOCK srb) {
  auto* item = static_cast<FrameWorkItem*>(ISOUSB_ExAllocatePool(NonPagedPool, sizeof(FrameWorkItem)));
  if (!item) {
    WriteShared(&stream->DecodingRequest, static_cast<PHW_STREAM_REQUEST_BLOCK>(nullptr));
    ISOUSB_CompleteRead(stream, srb, STATUS_INSUFFICIENT_RESOURCES, 0);
    return;
  }
  item->Stream = stream;
  item->Request = srb;
  KIRQL irql;
  KeAcquireSpinLock(&stream->DecodeQueueLock, &irql);
  InsertTailList(&stream->DecodeQueue, &item->WorkItem.List);
  KeReleaseSpinLock(&stream->DecodeQueueLock, irql);
  // The first frame of an idle queue starts the decode worker; it takes the
  // frames queued meanwhile in order.
  if (InterlockedIncrement(&stream->DecodesPending) == 1) ExQueueWorkItem(&stream->DecodeWorkItem, CriticalWorkQueue);
}

VOID IsoUsb_DecodeWorker(PVOID context) {
  auto* stream = static_cast<StreamExtension*>(context);
  do {
    KIRQL irql;
    KeAcquireSpinLock(&stream->DecodeQueueLock, &irql);
    PLIST_ENTRY entry = RemoveHeadList(&stream->DecodeQueue);
    KeReleaseSpinLock(&stream->DecodeQueueLock, irql);
    IsoUsb_ProcessVideoFrameWorkItem(CONTAINING_RECORD(entry, FrameWorkItem, WorkItem.List));
  } while (InterlockedDecrement(&stream->DecodesPending) != 0);  // 0: the last touch of the stream
}

VOID IsoUsb_ProcessVideoFrameWorkItem(PVOID context) {
  auto* item = static_cast<FrameWorkItem*>(context);
  StreamExtension* stream = item->Stream;
  PHW_STREAM_REQUEST_BLOCK srb = item->Request;
  ISOUSB_ExFreePool(item);

  KeWaitForSingleObject(&stream->DecodeLock, Executive, KernelMode, FALSE, nullptr);
  if (stream->NeedStartTime) {
    stream->StartTime = GetStreamTime(srb, stream);
    stream->NeedStartTime = 0;
  }
  const ULONG dataUsed = IsoUsb_DecodeInto(stream, srb);
  if (stream->MasterClock) stream->FrameTime = GetStreamTime(srb, stream);
  IsoUsb_PollButton(stream);
  ISOUSB_CompleteRead(stream, srb, STATUS_SUCCESS, dataUsed);
  PHW_STREAM_REQUEST_BLOCK expected = srb;
  __atomic_compare_exchange_n(&stream->DecodingRequest, &expected, nullptr, false, __ATOMIC_SEQ_CST,
                              __ATOMIC_SEQ_CST);
  KeReleaseSemaphore(&stream->DecodeLock, IO_NO_INCREMENT, 1, FALSE);
}

VOID ISOUSB_CompleteRead(StreamExtension* stream, PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status, ULONG dataUsed) {
  PKSSTREAM_HEADER header = srb->CommandData.DataBufferArray;
  RequestExtension* request = RequestOf(srb);
  srb->Status = status;
  if (header) {
    const bool hasFrameInfo = header->Size >= sizeof(KSSTREAM_HEADER) + sizeof(KS_FRAME_INFO);
    auto* frameInfo = hasFrameInfo ? reinterpret_cast<PKS_FRAME_INFO>(header + 1) : nullptr;
    header->DataUsed = dataUsed <= header->FrameExtent ? dataUsed : 0;
    if (frameInfo) stream->FrameInfo.ExtendedHeaderSize = frameInfo->ExtendedHeaderSize;

    header->OptionsFlags = KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT;
    if (__atomic_exchange_n(&stream->Discontinuity, static_cast<ULONG>(0), __ATOMIC_SEQ_CST))
      header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY;

    const LONGLONG perFrame = stream->VideoInfo ? stream->VideoInfo->AvgTimePerFrame : 0;
    header->PresentationTime.Numerator = 1;
    header->PresentationTime.Denominator = 1;
    header->Duration = perFrame;
    if (stream->MasterClock && IsoUsb_StreamNumber(stream) == 0) {
      header->PresentationTime.Time = stream->FrameTime;
      header->OptionsFlags |= KSSTREAM_HEADER_OPTIONSF_TIMEVALID | KSSTREAM_HEADER_OPTIONSF_DURATIONVALID;
    } else {
      header->PresentationTime.Time = 0;
    }

    // Picture number from the stream time since the start; a frame rate of 0
    // or a time before the start counts as the first picture.
    const LONGLONG elapsed = header->PresentationTime.Time - stream->StartTime;
    const ULONGLONG picture = perFrame > 0 && elapsed > 0
                                  ? static_cast<ULONGLONG>(elapsed) / static_cast<ULONGLONG>(perFrame) + 1
                                  : 1;
    const ULONGLONG delivered = __atomic_load_n(&stream->FramesDelivered, __ATOMIC_SEQ_CST);
    stream->FrameInfo.PictureNumber = static_cast<LONGLONG>(picture);
    stream->FrameInfo.DropCount = picture > delivered ? static_cast<LONGLONG>(picture - delivered) : 0;
    if (frameInfo) RtlCopyMemory(frameInfo, &stream->FrameInfo, sizeof(KS_FRAME_INFO));
  }
  ISOUSB_ExFreePool(request->FrameBuffer);
  request->FrameBuffer = nullptr;
  CompleteStreamSRB(srb);
}

LONGLONG GetStreamTime(PHW_STREAM_REQUEST_BLOCK /*srb*/, StreamExtension* stream) {
  if (!stream->MasterClock) return 0;
  HW_TIME_CONTEXT context = {};
  context.HwDeviceExtension = stream->Adapter;
  context.HwStreamObject = stream->StreamObject;
  context.Function = TIME_GET_STREAM_TIME;
  StreamClassQueryMasterClockSync(stream->MasterClock, &context);
  return static_cast<LONGLONG>(context.Time);
}

LONGLONG GetSystemTime() {
  LARGE_INTEGER frequency;
  const LARGE_INTEGER counter = KeQueryPerformanceCounter(&frequency);
  const ULONGLONG ticks = static_cast<ULONGLONG>(counter.QuadPart);
  const ULONGLONG hz = static_cast<ULONGLONG>(frequency.QuadPart);
  const ULONGLONG high = ticks >> 32;
  const ULONGLONG low = ticks & 0xFFFFFFFFull;
  return static_cast<LONGLONG>((high << 32) / hz * 10000000ull + low * 10000000ull / hz);
}

VOID IsoUsb_CancelWaitingReads(StreamExtension* stream) {
  const ULONG streamNumber = IsoUsb_StreamNumber(stream);
  while (PHW_STREAM_REQUEST_BLOCK srb = VideoQueueRemoveSRB(stream->Adapter, streamNumber))
    ISOUSB_CompleteRead(stream, srb, STATUS_CANCELLED, 0);
}
