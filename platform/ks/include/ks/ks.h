// Kernel-streaming and video-capture definitions: states, property sets and
// their value structures, data ranges and formats, video-info headers, stream
// headers with frame information, allocator framing, topology, mediums and the
// GUIDs that name formats, categories, pins and property sets. Names and values
// are the published ones. Structures without pointers keep their published
// sizes (checked below); structures with pointers take the natural 64-bit layout.
#pragma once

#include "kernel/nt.h"

// ---------------------------------------------------------------------------
// Basic types used by the kernel-streaming structures.

typedef uint32_t DWORD;
typedef uint16_t WORD;
typedef int32_t BOOL;
typedef void* HANDLE;
typedef LONGLONG REFERENCE_TIME;  // 100 ns

typedef struct _GUID {
  ULONG Data1;
  USHORT Data2;
  USHORT Data3;
  UCHAR Data4[8];
} GUID, *PGUID;
typedef const GUID* LPCGUID;

inline constexpr bool IsEqualGUID(const GUID& a, const GUID& b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline constexpr bool operator==(const GUID& a, const GUID& b) { return IsEqualGUID(a, b); }

typedef struct tagRECT {
  LONG left;
  LONG top;
  LONG right;
  LONG bottom;
} RECT;

typedef struct tagSIZE {
  LONG cx;
  LONG cy;
} SIZE;

inline constexpr DWORD MAKEFOURCC(char a, char b, char c, char d) {
  return static_cast<DWORD>(static_cast<UCHAR>(a)) | static_cast<DWORD>(static_cast<UCHAR>(b)) << 8 |
         static_cast<DWORD>(static_cast<UCHAR>(c)) << 16 | static_cast<DWORD>(static_cast<UCHAR>(d)) << 24;
}

// Variant type of property values.
inline constexpr ULONG VT_I4 = 3;

// ---------------------------------------------------------------------------
// States, data flow, identifiers.

typedef enum _KSSTATE { KSSTATE_STOP = 0, KSSTATE_ACQUIRE = 1, KSSTATE_PAUSE = 2, KSSTATE_RUN = 3 } KSSTATE, *PKSSTATE;

typedef enum _KSPIN_DATAFLOW { KSPIN_DATAFLOW_IN = 1, KSPIN_DATAFLOW_OUT = 2 } KSPIN_DATAFLOW, *PKSPIN_DATAFLOW;

// Set, id and flags; 8-byte aligned as published (it overlays a LONGLONG).
typedef struct alignas(8) _KSIDENTIFIER {
  GUID Set;
  ULONG Id;
  ULONG Flags;
} KSIDENTIFIER, *PKSIDENTIFIER;
typedef KSIDENTIFIER KSPROPERTY, *PKSPROPERTY;
typedef KSIDENTIFIER KSMETHOD, *PKSMETHOD;
typedef KSIDENTIFIER KSEVENT, *PKSEVENT;
typedef KSIDENTIFIER KSMEDIUM, *PKSMEDIUM;
typedef KSIDENTIFIER KSPIN_MEDIUM, *PKSPIN_MEDIUM;

typedef struct _KSTIME {
  LONGLONG Time;
  ULONG Numerator;
  ULONG Denominator;
} KSTIME, *PKSTIME;

// ---------------------------------------------------------------------------
// Properties.

inline constexpr ULONG KSPROPERTY_TYPE_GET = 0x00000001;
inline constexpr ULONG KSPROPERTY_TYPE_SET = 0x00000002;
inline constexpr ULONG KSPROPERTY_TYPE_SETSUPPORT = 0x00000100;
inline constexpr ULONG KSPROPERTY_TYPE_BASICSUPPORT = 0x00000200;
inline constexpr ULONG KSPROPERTY_TYPE_RELATIONS = 0x00000400;
inline constexpr ULONG KSPROPERTY_TYPE_SERIALIZESET = 0x00000800;
inline constexpr ULONG KSPROPERTY_TYPE_UNSERIALIZESET = 0x00001000;
inline constexpr ULONG KSPROPERTY_TYPE_SERIALIZERAW = 0x00002000;
inline constexpr ULONG KSPROPERTY_TYPE_UNSERIALIZERAW = 0x00004000;
inline constexpr ULONG KSPROPERTY_TYPE_SERIALIZESIZE = 0x00008000;
inline constexpr ULONG KSPROPERTY_TYPE_DEFAULTVALUES = 0x00010000;
inline constexpr ULONG KSPROPERTY_TYPE_TOPOLOGY = 0x10000000;

inline constexpr ULONG KSPROPERTY_MEMBER_RANGES = 0x00000001;
inline constexpr ULONG KSPROPERTY_MEMBER_STEPPEDRANGES = 0x00000002;
inline constexpr ULONG KSPROPERTY_MEMBER_VALUES = 0x00000003;
inline constexpr ULONG KSPROPERTY_MEMBER_FLAG_DEFAULT = 0x00000001;

typedef struct {
  ULONG MembersFlags;
  ULONG MembersSize;
  ULONG MembersCount;
  ULONG Flags;
} KSPROPERTY_MEMBERSHEADER, *PKSPROPERTY_MEMBERSHEADER;

typedef struct {
  KSPROPERTY_MEMBERSHEADER MembersHeader;
  const VOID* Members;
} KSPROPERTY_MEMBERSLIST, *PKSPROPERTY_MEMBERSLIST;

typedef struct {
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  const KSPROPERTY_MEMBERSLIST* MembersList;
} KSPROPERTY_VALUES, *PKSPROPERTY_VALUES;

typedef union {
  struct {
    LONG SignedMinimum;
    LONG SignedMaximum;
  };
  struct {
    ULONG UnsignedMinimum;
    ULONG UnsignedMaximum;
  };
} KSPROPERTY_BOUNDS_LONG, *PKSPROPERTY_BOUNDS_LONG;

typedef struct {
  ULONG SteppingDelta;
  ULONG Reserved;
  KSPROPERTY_BOUNDS_LONG Bounds;
} KSPROPERTY_STEPPING_LONG, *PKSPROPERTY_STEPPING_LONG;

typedef struct {
  ULONG AccessFlags;
  ULONG DescriptionSize;
  KSIDENTIFIER PropTypeSet;
  ULONG MembersListCount;
  ULONG Reserved;
} KSPROPERTY_DESCRIPTION, *PKSPROPERTY_DESCRIPTION;

typedef NTSTATUS (*PFNKSHANDLER)(PIRP Irp, PKSIDENTIFIER Request, PVOID Data);

// A property of a set. Stream-class minidrivers mark get and set as supported
// with TRUE; the class itself calls no handler. The flag comes first in its
// union so that tables can be written with plain aggregate initialisers.
typedef struct {
  ULONG PropertyId;
  union {
    BOOLEAN GetSupported;
    PFNKSHANDLER GetPropertyHandler;
  };
  ULONG MinProperty;
  ULONG MinData;
  union {
    BOOLEAN SetSupported;
    PFNKSHANDLER SetPropertyHandler;
  };
  const KSPROPERTY_VALUES* Values;
  ULONG RelationsCount;
  const KSPROPERTY* Relations;
  PFNKSHANDLER SupportHandler;
  ULONG SerializedSize;
} KSPROPERTY_ITEM, *PKSPROPERTY_ITEM;

struct KSFASTPROPERTY_ITEM;

typedef struct {
  const GUID* Set;
  ULONG PropertiesCount;
  const KSPROPERTY_ITEM* PropertyItem;
  ULONG FastIoCount;
  const KSFASTPROPERTY_ITEM* FastIoTable;
} KSPROPERTY_SET, *PKSPROPERTY_SET;

struct KSEVENT_SET;
typedef KSEVENT_SET* PKSEVENT_SET;
struct KSMETHOD_SET;
typedef KSMETHOD_SET* PKSMETHOD_SET;

// ---------------------------------------------------------------------------
// Topology.

typedef struct {
  ULONG FromNode;
  ULONG FromNodePin;
  ULONG ToNode;
  ULONG ToNodePin;
} KSTOPOLOGY_CONNECTION, *PKSTOPOLOGY_CONNECTION;

typedef struct {
  ULONG CategoriesCount;
  const GUID* Categories;
  ULONG TopologyNodesCount;
  const GUID* TopologyNodes;
  ULONG TopologyConnectionsCount;
  const KSTOPOLOGY_CONNECTION* TopologyConnections;
  const GUID* TopologyNodesNames;
  ULONG Reserved;
} KSTOPOLOGY, *PKSTOPOLOGY;

// ---------------------------------------------------------------------------
// Data formats and ranges (the same 64-byte header; 8-byte aligned).

typedef struct alignas(8) {
  ULONG FormatSize;
  ULONG Flags;
  ULONG SampleSize;
  ULONG Reserved;
  GUID MajorFormat;
  GUID SubFormat;
  GUID Specifier;
} KSDATAFORMAT, *PKSDATAFORMAT, KSDATARANGE, *PKSDATARANGE;

inline constexpr ULONG KSDATAFORMAT_ATTRIBUTES = 0x00000002;
inline constexpr ULONG KSDATARANGE_ATTRIBUTES = 0x00000002;

// ---------------------------------------------------------------------------
// Stream headers.

typedef struct {
  ULONG Size;  // this header plus its extended header (KS_FRAME_INFO for video)
  ULONG TypeSpecificFlags;
  KSTIME PresentationTime;
  LONGLONG Duration;
  ULONG FrameExtent;  // bytes available at Data
  ULONG DataUsed;     // bytes written at Data
  PVOID Data;
  ULONG OptionsFlags;
  ULONG Reserved;
} KSSTREAM_HEADER, *PKSSTREAM_HEADER;

inline constexpr ULONG KSSTREAM_HEADER_OPTIONSF_SPLICEPOINT = 0x00000001;
inline constexpr ULONG KSSTREAM_HEADER_OPTIONSF_PREROLL = 0x00000002;
inline constexpr ULONG KSSTREAM_HEADER_OPTIONSF_DATADISCONTINUITY = 0x00000004;
inline constexpr ULONG KSSTREAM_HEADER_OPTIONSF_TYPECHANGED = 0x00000008;
inline constexpr ULONG KSSTREAM_HEADER_OPTIONSF_TIMEVALID = 0x00000010;
inline constexpr ULONG KSSTREAM_HEADER_OPTIONSF_TIMEDISCONTINUITY = 0x00000040;
inline constexpr ULONG KSSTREAM_HEADER_OPTIONSF_FLUSHONPAUSE = 0x00000080;
inline constexpr ULONG KSSTREAM_HEADER_OPTIONSF_DURATIONVALID = 0x00000100;
inline constexpr ULONG KSSTREAM_HEADER_OPTIONSF_ENDOFSTREAM = 0x00000200;
inline constexpr ULONG KSSTREAM_HEADER_OPTIONSF_LOOPEDDATA = 0x80000000;

// ---------------------------------------------------------------------------
// Allocator framing.

inline constexpr ULONG KSALLOCATOR_REQUIREMENTF_INPLACE_MODIFIER = 0x00000001;
inline constexpr ULONG KSALLOCATOR_REQUIREMENTF_SYSTEM_MEMORY = 0x00000002;
inline constexpr ULONG KSALLOCATOR_REQUIREMENTF_FRAME_INTEGRITY = 0x00000004;
inline constexpr ULONG KSALLOCATOR_REQUIREMENTF_MUST_ALLOCATE = 0x00000008;
inline constexpr ULONG KSALLOCATOR_REQUIREMENTF_PREFERENCES_ONLY = 0x80000000;
inline constexpr ULONG KSALLOCATOR_OPTIONF_COMPATIBLE = 0x00000001;
inline constexpr ULONG KSALLOCATOR_OPTIONF_SYSTEM_MEMORY = 0x00000002;

inline constexpr ULONG FILE_BYTE_ALIGNMENT = 0x00000000;
inline constexpr ULONG FILE_WORD_ALIGNMENT = 0x00000001;
inline constexpr ULONG FILE_LONG_ALIGNMENT = 0x00000003;
inline constexpr ULONG FILE_QUAD_ALIGNMENT = 0x00000007;

typedef struct {
  union {
    ULONG OptionsFlags;
    ULONG RequirementsFlags;
  };
  POOL_TYPE PoolType;
  ULONG Frames;
  ULONG FrameSize;
  ULONG FileAlignment;
  ULONG Reserved;
} KSALLOCATOR_FRAMING, *PKSALLOCATOR_FRAMING;

// Connection property set.
inline constexpr ULONG KSPROPERTY_CONNECTION_STATE = 0;
inline constexpr ULONG KSPROPERTY_CONNECTION_PRIORITY = 1;
inline constexpr ULONG KSPROPERTY_CONNECTION_DATAFORMAT = 2;
inline constexpr ULONG KSPROPERTY_CONNECTION_ALLOCATORFRAMING = 3;
inline constexpr ULONG KSPROPERTY_CONNECTION_PROPOSEDATAFORMAT = 4;
inline constexpr ULONG KSPROPERTY_CONNECTION_ACQUIREORDERING = 5;
inline constexpr ULONG KSPROPERTY_CONNECTION_ALLOCATORFRAMING_EX = 6;
inline constexpr ULONG KSPROPERTY_CONNECTION_STARTAT = 7;

// ---------------------------------------------------------------------------
// Video: bitmap and video-info headers, configuration capabilities, data range,
// format, frame information.

inline constexpr DWORD KS_BI_RGB = 0;
inline constexpr DWORD KS_BI_RLE8 = 1;
inline constexpr DWORD KS_BI_RLE4 = 2;
inline constexpr DWORD KS_BI_BITFIELDS = 3;

typedef struct tagKS_BITMAPINFOHEADER {
  DWORD biSize;
  LONG biWidth;
  LONG biHeight;
  WORD biPlanes;
  WORD biBitCount;
  DWORD biCompression;
  DWORD biSizeImage;
  LONG biXPelsPerMeter;
  LONG biYPelsPerMeter;
  DWORD biClrUsed;
  DWORD biClrImportant;
} KS_BITMAPINFOHEADER, *PKS_BITMAPINFOHEADER;

typedef struct tagKS_VIDEOINFOHEADER {
  RECT rcSource;
  RECT rcTarget;
  DWORD dwBitRate;
  DWORD dwBitErrorRate;
  REFERENCE_TIME AvgTimePerFrame;
  KS_BITMAPINFOHEADER bmiHeader;
} KS_VIDEOINFOHEADER, *PKS_VIDEOINFOHEADER;

typedef struct _KS_VIDEO_STREAM_CONFIG_CAPS {
  GUID guid;
  ULONG VideoStandard;
  SIZE InputSize;
  SIZE MinCroppingSize;
  SIZE MaxCroppingSize;
  int CropGranularityX;
  int CropGranularityY;
  int CropAlignX;
  int CropAlignY;
  SIZE MinOutputSize;
  SIZE MaxOutputSize;
  int OutputGranularityX;
  int OutputGranularityY;
  int StretchTapsX;
  int StretchTapsY;
  int ShrinkTapsX;
  int ShrinkTapsY;
  LONGLONG MinFrameInterval;
  LONGLONG MaxFrameInterval;
  LONG MinBitsPerSecond;
  LONG MaxBitsPerSecond;
} KS_VIDEO_STREAM_CONFIG_CAPS, *PKS_VIDEO_STREAM_CONFIG_CAPS;

typedef struct tagKS_DATARANGE_VIDEO {
  KSDATARANGE DataRange;
  BOOL bFixedSizeSamples;
  BOOL bTemporalCompression;
  DWORD StreamDescriptionFlags;
  DWORD MemoryAllocationFlags;
  KS_VIDEO_STREAM_CONFIG_CAPS ConfigCaps;
  KS_VIDEOINFOHEADER VideoInfoHeader;  // its bmiHeader may be followed by more bytes
} KS_DATARANGE_VIDEO, *PKS_DATARANGE_VIDEO;

typedef struct tagKS_DATAFORMAT_VIDEOINFOHEADER {
  KSDATAFORMAT DataFormat;
  KS_VIDEOINFOHEADER VideoInfoHeader;
} KS_DATAFORMAT_VIDEOINFOHEADER, *PKS_DATAFORMAT_VIDEOINFOHEADER;

inline constexpr DWORD KS_VIDEO_FLAG_FRAME = 0x0000;
inline constexpr DWORD KS_VIDEO_FLAG_FIELD1 = 0x0001;
inline constexpr DWORD KS_VIDEO_FLAG_FIELD2 = 0x0002;
inline constexpr DWORD KS_VIDEO_FLAG_FIELD1FIRST = 0x0004;
inline constexpr DWORD KS_VIDEO_FLAG_WEAVE = 0x0008;
inline constexpr DWORD KS_VIDEO_FLAG_IPB_MASK = 0x0030;
inline constexpr DWORD KS_VIDEO_FLAG_I_FRAME = 0x0000;
inline constexpr DWORD KS_VIDEO_FLAG_P_FRAME = 0x0010;
inline constexpr DWORD KS_VIDEO_FLAG_B_FRAME = 0x0020;
inline constexpr DWORD KS_VIDEO_FLAG_REPEAT_FIELD = 0x0040;

// Extended header of a video stream header.
typedef struct _KS_FRAME_INFO {
  ULONG ExtendedHeaderSize;
  DWORD dwFrameFlags;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  HANDLE hDirectDraw;
  HANDLE hSurfaceHandle;
  RECT DirectDrawRect;
  DWORD Reserved1;
  DWORD Reserved2;
  DWORD Reserved3;
  DWORD Reserved4;
} KS_FRAME_INFO, *PKS_FRAME_INFO;

// ---------------------------------------------------------------------------
// Video capture property sets: ids, flags and value structures.

// PROPSETID_VIDCAP_VIDEOPROCAMP
inline constexpr ULONG KSPROPERTY_VIDEOPROCAMP_BRIGHTNESS = 0;
inline constexpr ULONG KSPROPERTY_VIDEOPROCAMP_CONTRAST = 1;
inline constexpr ULONG KSPROPERTY_VIDEOPROCAMP_HUE = 2;
inline constexpr ULONG KSPROPERTY_VIDEOPROCAMP_SATURATION = 3;
inline constexpr ULONG KSPROPERTY_VIDEOPROCAMP_SHARPNESS = 4;
inline constexpr ULONG KSPROPERTY_VIDEOPROCAMP_GAMMA = 5;
inline constexpr ULONG KSPROPERTY_VIDEOPROCAMP_COLORENABLE = 6;
inline constexpr ULONG KSPROPERTY_VIDEOPROCAMP_WHITEBALANCE = 7;
inline constexpr ULONG KSPROPERTY_VIDEOPROCAMP_BACKLIGHT_COMPENSATION = 8;
inline constexpr ULONG KSPROPERTY_VIDEOPROCAMP_GAIN = 9;
inline constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_AUTO = 0x0001;
inline constexpr ULONG KSPROPERTY_VIDEOPROCAMP_FLAGS_MANUAL = 0x0002;

typedef struct {
  KSPROPERTY Property;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
} KSPROPERTY_VIDEOPROCAMP_S, *PKSPROPERTY_VIDEOPROCAMP_S;

// PROPSETID_VIDCAP_CAMERACONTROL
inline constexpr ULONG KSPROPERTY_CAMERACONTROL_PAN = 0;
inline constexpr ULONG KSPROPERTY_CAMERACONTROL_TILT = 1;
inline constexpr ULONG KSPROPERTY_CAMERACONTROL_ROLL = 2;
inline constexpr ULONG KSPROPERTY_CAMERACONTROL_ZOOM = 3;
inline constexpr ULONG KSPROPERTY_CAMERACONTROL_EXPOSURE = 4;
inline constexpr ULONG KSPROPERTY_CAMERACONTROL_IRIS = 5;
inline constexpr ULONG KSPROPERTY_CAMERACONTROL_FOCUS = 6;
inline constexpr ULONG KSPROPERTY_CAMERACONTROL_FLAGS_AUTO = 0x0001;
inline constexpr ULONG KSPROPERTY_CAMERACONTROL_FLAGS_MANUAL = 0x0002;
inline constexpr ULONG KSPROPERTY_CAMERACONTROL_FLAGS_ABSOLUTE = 0x0000;
inline constexpr ULONG KSPROPERTY_CAMERACONTROL_FLAGS_RELATIVE = 0x0010;

typedef struct {
  KSPROPERTY Property;
  LONG Value;
  ULONG Flags;
  ULONG Capabilities;
} KSPROPERTY_CAMERACONTROL_S, *PKSPROPERTY_CAMERACONTROL_S;

// PROPSETID_VIDCAP_VIDEOCONTROL
inline constexpr ULONG KSPROPERTY_VIDEOCONTROL_CAPS = 0;
inline constexpr ULONG KSPROPERTY_VIDEOCONTROL_ACTUAL_FRAME_RATE = 1;
inline constexpr ULONG KSPROPERTY_VIDEOCONTROL_FRAME_RATES = 2;
inline constexpr ULONG KSPROPERTY_VIDEOCONTROL_MODE = 3;
inline constexpr LONG KS_VideoControlFlag_FlipHorizontal = 0x0001;
inline constexpr LONG KS_VideoControlFlag_FlipVertical = 0x0002;
inline constexpr LONG KS_VideoControlFlag_ExternalTriggerEnable = 0x0004;
inline constexpr LONG KS_VideoControlFlag_Trigger = 0x0008;

typedef struct {
  KSPROPERTY Property;
  ULONG StreamIndex;
  ULONG VideoControlCaps;
} KSPROPERTY_VIDEOCONTROL_CAPS_S, *PKSPROPERTY_VIDEOCONTROL_CAPS_S;

typedef struct {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG Mode;
} KSPROPERTY_VIDEOCONTROL_MODE_S, *PKSPROPERTY_VIDEOCONTROL_MODE_S;

// PROPSETID_VIDCAP_VIDEODECODER
inline constexpr ULONG KSPROPERTY_VIDEODECODER_CAPS = 0;
inline constexpr ULONG KSPROPERTY_VIDEODECODER_STANDARD = 1;
inline constexpr ULONG KSPROPERTY_VIDEODECODER_STATUS = 2;
inline constexpr ULONG KSPROPERTY_VIDEODECODER_OUTPUT_ENABLE = 3;
inline constexpr ULONG KSPROPERTY_VIDEODECODER_VCR_TIMING = 4;
inline constexpr ULONG KS_VIDEODECODER_FLAGS_CAN_DISABLE_OUTPUT = 0x0001;
inline constexpr ULONG KS_VIDEODECODER_FLAGS_CAN_USE_VCR_LOCKING = 0x0002;
inline constexpr ULONG KS_VIDEODECODER_FLAGS_CAN_INDICATE_LOCKED = 0x0004;

inline constexpr ULONG KS_AnalogVideo_None = 0x00000000;
inline constexpr ULONG KS_AnalogVideo_NTSC_M = 0x00000001;
inline constexpr ULONG KS_AnalogVideo_NTSC_M_J = 0x00000002;
inline constexpr ULONG KS_AnalogVideo_NTSC_433 = 0x00000004;
inline constexpr ULONG KS_AnalogVideo_PAL_B = 0x00000010;
inline constexpr ULONG KS_AnalogVideo_NTSC_Mask = 0x00000007;

typedef struct {
  KSPROPERTY Property;
  ULONG StandardsSupported;
  ULONG Capabilities;
  ULONG SettlingTime;
  ULONG HSyncPerVSync;
} KSPROPERTY_VIDEODECODER_CAPS_S, *PKSPROPERTY_VIDEODECODER_CAPS_S;

typedef struct {
  KSPROPERTY Property;
  ULONG NumberOfLines;
  ULONG SignalLocked;
} KSPROPERTY_VIDEODECODER_STATUS_S, *PKSPROPERTY_VIDEODECODER_STATUS_S;

typedef struct {
  KSPROPERTY Property;
  ULONG Value;
} KSPROPERTY_VIDEODECODER_S, *PKSPROPERTY_VIDEODECODER_S;

// PROPSETID_VIDCAP_VIDEOCOMPRESSION
inline constexpr ULONG KSPROPERTY_VIDEOCOMPRESSION_GETINFO = 0;
inline constexpr ULONG KSPROPERTY_VIDEOCOMPRESSION_KEYFRAME_RATE = 1;
inline constexpr ULONG KSPROPERTY_VIDEOCOMPRESSION_PFRAMES_PER_KEYFRAME = 2;
inline constexpr ULONG KSPROPERTY_VIDEOCOMPRESSION_QUALITY = 3;
inline constexpr ULONG KSPROPERTY_VIDEOCOMPRESSION_OVERRIDE_KEYFRAME = 4;
inline constexpr ULONG KSPROPERTY_VIDEOCOMPRESSION_OVERRIDE_FRAME_SIZE = 5;
inline constexpr ULONG KSPROPERTY_VIDEOCOMPRESSION_WINDOWSIZE = 6;
inline constexpr LONG KS_CompressionCaps_CanQuality = 0x0001;
inline constexpr LONG KS_CompressionCaps_CanCrunch = 0x0002;
inline constexpr LONG KS_CompressionCaps_CanKeyFrame = 0x0004;
inline constexpr LONG KS_CompressionCaps_CanBFrame = 0x0008;
inline constexpr LONG KS_CompressionCaps_CanWindow = 0x0010;

typedef struct {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG Value;
} KSPROPERTY_VIDEOCOMPRESSION_S, *PKSPROPERTY_VIDEOCOMPRESSION_S;

typedef struct {
  KSPROPERTY Property;
  ULONG StreamIndex;
  LONG DefaultKeyFrameRate;
  LONG DefaultPFrameRate;
  LONG DefaultQuality;
  LONG NumberOfQualitySettings;
  LONG Capabilities;
} KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S, *PKSPROPERTY_VIDEOCOMPRESSION_GETINFO_S;

// PROPSETID_VIDCAP_DROPPEDFRAMES
inline constexpr ULONG KSPROPERTY_DROPPEDFRAMES_CURRENT = 0;

typedef struct {
  KSPROPERTY Property;
  LONGLONG PictureNumber;
  LONGLONG DropCount;
  ULONG AverageFrameSize;
} KSPROPERTY_DROPPEDFRAMES_CURRENT_S, *PKSPROPERTY_DROPPEDFRAMES_CURRENT_S;

// ---------------------------------------------------------------------------
// GUIDs.

inline constexpr GUID KSDATAFORMAT_TYPE_VIDEO = {0x73646976, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID MEDIASUBTYPE_RGB24 = {0xE436EB7D, 0x524F, 0x11CE, {0x9F, 0x53, 0x00, 0x20, 0xAF, 0x0B, 0xA7, 0x70}};
inline constexpr GUID MEDIASUBTYPE_IYUV = {0x56555949, 0x0000, 0x0010, {0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71}};
inline constexpr GUID KSDATAFORMAT_SPECIFIER_VIDEOINFO = {0x05589F80, 0xC356, 0x11CE, {0xBF, 0x01, 0x00, 0xAA, 0x00, 0x55, 0x59, 0x5A}};
inline constexpr GUID KSCATEGORY_VIDEO = {0x6994AD05, 0x93EF, 0x11D0, {0xA3, 0xCC, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID KSCATEGORY_CAPTURE = {0x65E8773D, 0x8F56, 0x11D0, {0xA3, 0xB9, 0x00, 0xA0, 0xC9, 0x22, 0x31, 0x96}};
inline constexpr GUID PINNAME_VIDEO_CAPTURE = {0xFB6C4281, 0x0353, 0x11D1, {0x90, 0x5F, 0x00, 0x00, 0xC0, 0xCC, 0x16, 0xBA}};
inline constexpr GUID KSMEDIUMSETID_Standard = {0x4747B320, 0x62CE, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID KSPROPSETID_Connection = {0x1D58C920, 0xAC9B, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID KSPROPTYPESETID_General = {0x97E99BA0, 0xBDEA, 0x11CF, {0xA5, 0xD6, 0x28, 0xDB, 0x04, 0xC1, 0x00, 0x00}};
inline constexpr GUID PROPSETID_VIDCAP_VIDEOPROCAMP = {0xC6E13360, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_VIDCAP_CAMERACONTROL = {0xC6E13370, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_VIDCAP_VIDEOCONTROL = {0x6A2E0670, 0x28E4, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_VIDCAP_VIDEODECODER = {0xC6E13350, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_VIDCAP_VIDEOCOMPRESSION = {0xC6E13343, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};
inline constexpr GUID PROPSETID_VIDCAP_DROPPEDFRAMES = {0xC6E13344, 0x30AC, 0x11D0, {0xA1, 0x8C, 0x00, 0xA0, 0xC9, 0x11, 0x89, 0x56}};

inline constexpr DWORD FOURCC_IYUV = MAKEFOURCC('I', 'Y', 'U', 'V');
static_assert(FOURCC_IYUV == 0x56555949 && FOURCC_IYUV == MEDIASUBTYPE_IYUV.Data1);

// ---------------------------------------------------------------------------
// Published sizes of the pointer-free structures.

static_assert(sizeof(GUID) == 16);
static_assert(sizeof(KSIDENTIFIER) == 24 && alignof(KSIDENTIFIER) == 8);
static_assert(sizeof(KSTIME) == 16);
static_assert(sizeof(KSDATAFORMAT) == 64);
static_assert(sizeof(KSPROPERTY_MEMBERSHEADER) == 16);
static_assert(sizeof(KSPROPERTY_BOUNDS_LONG) == 8);
static_assert(sizeof(KSPROPERTY_STEPPING_LONG) == 16);
static_assert(sizeof(KSALLOCATOR_FRAMING) == 24);
static_assert(sizeof(KSTOPOLOGY_CONNECTION) == 16);
static_assert(sizeof(KS_BITMAPINFOHEADER) == 40);
static_assert(sizeof(KS_VIDEOINFOHEADER) == 88);
static_assert(offsetof(KS_VIDEOINFOHEADER, bmiHeader) == 48);
static_assert(sizeof(KS_VIDEO_STREAM_CONFIG_CAPS) == 128);
static_assert(sizeof(KS_DATARANGE_VIDEO) == 296);
static_assert(offsetof(KS_DATARANGE_VIDEO, ConfigCaps) == 80);
static_assert(offsetof(KS_DATARANGE_VIDEO, VideoInfoHeader) == 208);
static_assert(sizeof(KS_DATAFORMAT_VIDEOINFOHEADER) == 152);
static_assert(sizeof(KSPROPERTY_VIDEOPROCAMP_S) == 40);
static_assert(sizeof(KSPROPERTY_CAMERACONTROL_S) == 40);
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_CAPS_S) == 32);
static_assert(sizeof(KSPROPERTY_VIDEOCONTROL_MODE_S) == 32);
static_assert(sizeof(KSPROPERTY_VIDEODECODER_CAPS_S) == 40);
static_assert(sizeof(KSPROPERTY_VIDEODECODER_STATUS_S) == 32);
static_assert(sizeof(KSPROPERTY_VIDEODECODER_S) == 32);
static_assert(sizeof(KSPROPERTY_VIDEOCOMPRESSION_S) == 32);
static_assert(sizeof(KSPROPERTY_VIDEOCOMPRESSION_GETINFO_S) == 48);
static_assert(sizeof(KSPROPERTY_DROPPEDFRAMES_CURRENT_S) == 48);
// With pointers: natural 64-bit layouts.
static_assert(sizeof(KSSTREAM_HEADER) == 56);
static_assert(sizeof(KS_FRAME_INFO) == 72);
