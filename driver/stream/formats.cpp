// The stream's constant tables and the comparison, verification,
// intersection and storing of its formats.
#include "torvexv.h"

namespace {

constexpr GUID TopologyCategories[] = {KSCATEGORY_VIDEO, KSCATEGORY_CAPTURE};

// Bytes of a format before its bitmap header's own size counts: the 64-byte
// KSDATAFORMAT and the 48 bytes of KS_VIDEOINFOHEADER before bmiHeader.
constexpr ULONG kFormatBytesBeforeBitmap = sizeof(KSDATAFORMAT) + offsetof(KS_VIDEOINFOHEADER, bmiHeader);

// The 24-bit RGB and planar data ranges share everything but these.
struct RangeDifferences {
  GUID subFormat;
  ULONG sampleSize;
  SIZE minSize;
  int granularityX, granularityY;
  int taps;
  LONG minBitsPerSecond, maxBitsPerSecond;
  DWORD bitRate;
  WORD bitCount;
  DWORD compression;
};

constexpr KS_DATARANGE_VIDEO MakeVideoRange(const RangeDifferences& d) {
  KS_DATARANGE_VIDEO r{};
  r.DataRange.FormatSize = sizeof(KS_DATARANGE_VIDEO);
  r.DataRange.SampleSize = d.sampleSize;
  r.DataRange.MajorFormat = KSDATAFORMAT_TYPE_VIDEO;
  r.DataRange.SubFormat = d.subFormat;
  r.DataRange.Specifier = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  r.bFixedSizeSamples = TRUE;
  r.bTemporalCompression = TRUE;
  KS_VIDEO_STREAM_CONFIG_CAPS& c = r.ConfigCaps;
  c.guid = KSDATAFORMAT_SPECIFIER_VIDEOINFO;
  c.InputSize = {640, 480};
  c.MinCroppingSize = d.minSize;
  c.MaxCroppingSize = {640, 480};
  c.CropGranularityX = 8;
  c.CropGranularityY = 1;
  c.CropAlignX = 8;
  c.CropAlignY = 1;
  c.MinOutputSize = d.minSize;
  c.MaxOutputSize = {640, 480};
  c.OutputGranularityX = d.granularityX;
  c.OutputGranularityY = d.granularityY;
  c.StretchTapsX = c.StretchTapsY = c.ShrinkTapsX = c.ShrinkTapsY = d.taps;
  c.MinFrameInterval = 333333;
  c.MaxFrameInterval = 1666667;
  c.MinBitsPerSecond = d.minBitsPerSecond;
  c.MaxBitsPerSecond = d.maxBitsPerSecond;
  KS_VIDEOINFOHEADER& v = r.VideoInfoHeader;
  v.dwBitRate = d.bitRate;
  v.AvgTimePerFrame = 333333;
  v.bmiHeader.biSize = sizeof(KS_BITMAPINFOHEADER);
  v.bmiHeader.biWidth = 320;
  v.bmiHeader.biHeight = 240;
  v.bmiHeader.biPlanes = 1;
  v.bmiHeader.biBitCount = d.bitCount;
  v.bmiHeader.biCompression = d.compression;
  v.bmiHeader.biSizeImage = d.sampleSize;
  return r;
}

ULONG ImageSizeOf(const KS_BITMAPINFOHEADER* bmi) {
  ULONGLONG row = (static_cast<ULONGLONG>(bmi->biBitCount) * static_cast<ULONG>(bmi->biWidth) + 31) / 32 * 4;
  ULONGLONG height = bmi->biHeight < 0 ? -static_cast<LONGLONG>(bmi->biHeight) : bmi->biHeight;
  return static_cast<ULONG>(row * height);
}

// The video-info header of a format, or nullptr when the format's bytes do not
// hold a whole one.
const KS_VIDEOINFOHEADER* FormatVideoInfo(const KSDATAFORMAT* format) {
  if (format->FormatSize < sizeof(KS_DATAFORMAT_VIDEOINFOHEADER)) return nullptr;
  const KS_VIDEOINFOHEADER* info = &reinterpret_cast<const KS_DATAFORMAT_VIDEOINFOHEADER*>(format)->VideoInfoHeader;
  ULONG biSize = info->bmiHeader.biSize;
  if (biSize < sizeof(KS_BITMAPINFOHEADER) || biSize > format->FormatSize - kFormatBytesBeforeBitmap) return nullptr;
  return info;
}

// Whether the stream delivers pictures of this kind and size in the given
// range: the range's bit count and compression, its size limits and steps,
// bottom-up rows only, and what the decoder produces. Pictures up to 320
// pixels wide are cut from the 320 x 240 coded picture, wider ones from
// 640 x 480; planar output is always a whole coded picture.
BOOLEAN PictureFitsRange(const KS_BITMAPINFOHEADER* bmi, const KS_DATARANGE_VIDEO* range) {
  const KS_BITMAPINFOHEADER& own = range->VideoInfoHeader.bmiHeader;
  const KS_VIDEO_STREAM_CONFIG_CAPS& caps = range->ConfigCaps;
  LONG w = bmi->biWidth;
  LONG h = bmi->biHeight;
  if (bmi->biBitCount != own.biBitCount || bmi->biCompression != own.biCompression) return FALSE;
  if (w < caps.MinOutputSize.cx || w > caps.MaxOutputSize.cx || h < caps.MinOutputSize.cy ||
      h > caps.MaxOutputSize.cy)
    return FALSE;
  if ((w - caps.MinOutputSize.cx) % caps.OutputGranularityX != 0 ||
      (h - caps.MinOutputSize.cy) % caps.OutputGranularityY != 0)
    return FALSE;
  if (w <= 320 && h > 240) return FALSE;
  if (own.biCompression == FOURCC_IYUV && h * 4 != w * 3) return FALSE;
  return TRUE;
}

const KS_DATARANGE_VIDEO* StreamRange(ULONG index) {
  return reinterpret_cast<const KS_DATARANGE_VIDEO*>(Stream0Formats[index]);
}

}  // namespace

const KS_DATARANGE_VIDEO StreamFormatRGB24Bpp_Capture = MakeVideoRange(
    {MEDIASUBTYPE_RGB24, 230400, {160, 120}, 16, 8, 0, 13824000, 221184000, 55296000, 24, KS_BI_RGB});

const KS_DATARANGE_VIDEO StreamFormatUYU2_Capture = MakeVideoRange(
    {MEDIASUBTYPE_IYUV, 115200, {320, 240}, 320, 240, 2, 36864000, 147456000, 27648000, 12, FOURCC_IYUV});

const PKSDATAFORMAT Stream0Formats[NUM_STREAM0_FORMATS] = {
    const_cast<PKSDATAFORMAT>(&StreamFormatRGB24Bpp_Capture.DataRange),
    const_cast<PKSDATAFORMAT>(&StreamFormatUYU2_Capture.DataRange),
};

const KSPIN_MEDIUM StandardMedium = {KSMEDIUMSETID_Standard, 0, 0};

const KSTOPOLOGY Topology = {2, TopologyCategories, 0, nullptr, 0, nullptr, nullptr, 0};

const ALL_STREAM_INFO Streams[] = {{
    {
        1,                                              // NumberOfPossibleInstances
        KSPIN_DATAFLOW_OUT,                             // DataFlow
        TRUE,                                           // DataAccessible
        NUM_STREAM0_FORMATS,                            // NumberOfFormatArrayEntries
        const_cast<PKSDATAFORMAT*>(Stream0Formats),     // StreamFormatsArray
        {},                                             // ClassReserved
        NUM_VIDEO_STREAM_PROPERTY_SETS,                 // NumStreamPropArrayEntries
        const_cast<PKSPROPERTY_SET>(VideoStreamProperties),
        0,                                              // NumStreamEventArrayEntries
        nullptr,                                        // StreamEventsArray
        &PINNAME_VIDEO_CAPTURE,                         // Category
        &PINNAME_VIDEO_CAPTURE,                         // Name
        1,                                              // MediumsCount
        &StandardMedium,                                // Mediums
        FALSE,                                          // BridgeStream
        {},
    },
    {
        sizeof(HW_STREAM_OBJECT),
        0,                       // StreamNumber
        nullptr,                 // HwStreamExtension
        VideoReceiveDataPacket,
        VideoReceiveCtrlPacket,
        {nullptr, 0, {}},        // HwClockObject: the driver is not a clock
        FALSE,                   // Dma
        TRUE,                    // Pio
        nullptr,                 // HwDeviceExtension
        sizeof(KS_FRAME_INFO),   // StreamHeaderMediaSpecific
        0,                       // StreamHeaderWorkspace
        FALSE,                   // Allocator
        nullptr,                 // HwEventRoutine
        {},
    },
}};

const HW_STREAM_HEADER StreamHeader = {
    1,                                  // NumberOfStreams
    sizeof(HW_STREAM_INFORMATION),      // SizeOfHwStreamInformation
    0,                                  // NumDevPropArrayEntries: set at SRB_GET_STREAM_INFO
    nullptr,                            // DevicePropertiesArray: likewise
    0,
    nullptr,
    const_cast<PKSTOPOLOGY>(&Topology),
    nullptr,
    0,
    nullptr,
};

ULONG AdapterCompareGUIDsAndFormatSize(const KSDATARANGE* a, const KSDATARANGE* b, BOOLEAN compareSize) {
  return IsEqualGUID(a->MajorFormat, b->MajorFormat) && IsEqualGUID(a->SubFormat, b->SubFormat) &&
         IsEqualGUID(a->Specifier, b->Specifier) && (!compareSize || a->FormatSize == b->FormatSize);
}

ULONG AdapterVerifyFormat(const KSDATAFORMAT* format, ULONG streamNumber) {
  if (streamNumber != 0 || !format || format->FormatSize < sizeof(KSDATAFORMAT)) return 0;
  for (ULONG i = 0; i < NUM_STREAM0_FORMATS; ++i) {
    if (!AdapterCompareGUIDsAndFormatSize(format, Stream0Formats[i], FALSE)) continue;
    const KS_VIDEOINFOHEADER* info = FormatVideoInfo(format);
    return info && PictureFitsRange(&info->bmiHeader, StreamRange(i));
  }
  return 0;
}

ULONG AdapterFormatFromRange(PHW_STREAM_REQUEST_BLOCK srb) {
  PSTREAM_DATA_INTERSECT_INFO info = srb->CommandData.IntersectInfo;
  if (info->StreamNumber != 0) {
    srb->Status = STATUS_NOT_IMPLEMENTED;
    return 0;
  }
  const KSDATARANGE* range = info->DataRange;
  if (range->FormatSize < sizeof(KSDATARANGE)) {
    srb->Status = STATUS_NO_MATCH;
    return 0;
  }
  const BOOLEAN sizeOnly = info->SizeOfDataFormatBuffer == sizeof(ULONG);
  for (ULONG i = 0; i < NUM_STREAM0_FORMATS; ++i) {
    // Equal sizes first: only then is the caller's range a whole KS_DATARANGE_VIDEO.
    if (!AdapterCompareGUIDsAndFormatSize(range, Stream0Formats[i], TRUE)) continue;
    const KS_DATARANGE_VIDEO* caller = reinterpret_cast<const KS_DATARANGE_VIDEO*>(range);
    const KS_DATARANGE_VIDEO* ours = StreamRange(i);
    if (caller->bFixedSizeSamples != ours->bFixedSizeSamples ||
        caller->bTemporalCompression != ours->bTemporalCompression ||
        caller->StreamDescriptionFlags != ours->StreamDescriptionFlags ||
        caller->MemoryAllocationFlags != ours->MemoryAllocationFlags ||
        !RtlEqualMemory(&caller->ConfigCaps, &ours->ConfigCaps, sizeof(KS_VIDEO_STREAM_CONFIG_CAPS)))
      continue;
    const KS_BITMAPINFOHEADER* bmi = &caller->VideoInfoHeader.bmiHeader;
    // The range holds exactly one bitmap header; the picture must be one the stream delivers.
    if (bmi->biSize != sizeof(KS_BITMAPINFOHEADER) || !PictureFitsRange(bmi, ours)) continue;

    const ULONG resultSize = bmi->biSize + kFormatBytesBeforeBitmap;
    if (sizeOnly) {
      RtlCopyMemory(info->DataFormatBuffer, &resultSize, sizeof(ULONG));
      srb->ActualBytesTransferred = sizeof(ULONG);
      return 1;
    }
    if (info->SizeOfDataFormatBuffer < resultSize) {
      srb->Status = STATUS_BUFFER_TOO_SMALL;
      return 0;
    }
    KS_DATAFORMAT_VIDEOINFOHEADER result;
    RtlCopyMemory(&result.DataFormat, &caller->DataRange, sizeof(KSDATAFORMAT));
    RtlCopyMemory(&result.VideoInfoHeader, &caller->VideoInfoHeader, sizeof(KS_VIDEOINFOHEADER));
    result.DataFormat.FormatSize = resultSize;
    const ULONG imageSize = ImageSizeOf(&result.VideoInfoHeader.bmiHeader);
    result.VideoInfoHeader.bmiHeader.biSizeImage = imageSize;
    result.DataFormat.SampleSize = imageSize;
    RtlCopyMemory(info->DataFormatBuffer, &result, resultSize);
    srb->ActualBytesTransferred = resultSize;
    return 1;
  }
  srb->Status = STATUS_NO_MATCH;
  return 0;
}

ULONG VideoSetFormat(PHW_STREAM_REQUEST_BLOCK srb) {
  auto* stream = static_cast<StreamExtension*>(srb->StreamObject->HwStreamExtension);
  const KSDATAFORMAT* format = srb->CommandData.OpenFormat;
  const KS_VIDEOINFOHEADER* info = FormatVideoInfo(format);
  if (!info || !IsEqualGUID(format->Specifier, KSDATAFORMAT_SPECIFIER_VIDEOINFO)) {
    srb->Status = STATUS_INVALID_PARAMETER;
    return 0;
  }
  WriteShared(&stream->ImageSize, 0u);
  ISOUSB_ExFreePool(stream->VideoInfo);
  stream->VideoInfo = nullptr;
  const ULONG size = info->bmiHeader.biSize + offsetof(KS_VIDEOINFOHEADER, bmiHeader);
  auto copy = static_cast<PKS_VIDEOINFOHEADER>(ISOUSB_ExAllocatePool(NonPagedPool, size));
  if (!copy) {
    srb->Status = STATUS_INSUFFICIENT_RESOURCES;
    return 0;
  }
  RtlCopyMemory(copy, info, size);
  // The size reported per frame is the size the decoder writes, whatever the
  // caller put into biSizeImage.
  copy->bmiHeader.biSizeImage = ImageSizeOf(&copy->bmiHeader);
  stream->VideoInfo = copy;
  WriteShared(&stream->ImageSize, copy->bmiHeader.biSizeImage);
  return 1;
}
