// torvexv: the video capture minidriver of the camera. Per-device, per-stream
// and per-request records, constants, globals and every entry point of the
// driver's modules (driver/usb: camera requests, configuration, registry and
// pool; driver/stream: adapter, formats, video stream, properties).
#pragma once

#include <type_traits>

#include "dcmp.h"
#include "kernel/nt.h"
#include "ks/ks.h"
#include "ks/stream_class.h"
#include "usb/usb.h"

// ---------------------------------------------------------------------------
// Constants.

// Pool tag of every allocation of the driver: "Wdm " in memory order.
inline constexpr ULONG ISOUSB_POOL_TAG = 0x206D6457;

// Streams: one capture stream (0); the per-stream arrays have room for two.
inline constexpr ULONG MAX_STREAMS = 2;

// A read request's frame buffer: one compressed frame and its terminator.
inline constexpr ULONG FRAME_BUFFER_SIZE = 152400;

// Maximum transfer size given to every pipe.
inline constexpr ULONG ISOUSB_MAX_TRANSFER_SIZE = 8064;

// Time-out of a synchronous USB request: 3 s, relative, in 100 ns units.
inline constexpr LONGLONG SYNC_URB_TIMEOUT = -30000000LL;

// A camera that keeps answering "busy" gets the request this many times in
// all; the setting then reports failure and the caller keeps its stored value.
inline constexpr int ISOUSB_BUSY_REPEAT_LIMIT = 32;

// Read requests wait at most this many seconds for a frame.
inline constexpr ULONG READ_TIMEOUT_SECONDS = 3;

// First length used to read the configuration descriptor.
inline constexpr USHORT CONFIG_DESCRIPTOR_FIRST_READ = 521;

// DeviceState values.
inline constexpr LONG DEVICE_STOPPED = 0;
inline constexpr LONG DEVICE_STARTING = 1;
inline constexpr LONG DEVICE_STARTED = 2;

// Camera vendor requests (bRequest) and their sub-commands (wValue).
inline constexpr UCHAR VENDOR_SET_IMAGE_SIZE = 0x0F;
inline constexpr UCHAR VENDOR_SET_COMPRESSION = 0x10;
inline constexpr UCHAR VENDOR_GET_COMPRESSION = 0x12;
inline constexpr UCHAR VENDOR_VIDEO_STREAMING = 0x13;
inline constexpr UCHAR VENDOR_GET_KEY = 0x15;
inline constexpr UCHAR VENDOR_BRIGHTNESS = 0x16;
inline constexpr UCHAR VENDOR_CONTRAST = 0x17;
inline constexpr UCHAR VENDOR_SATURATION = 0x18;
inline constexpr UCHAR VENDOR_SHARPNESS = 0x19;
inline constexpr UCHAR VENDOR_WHITE_BALANCE = 0x1A;
inline constexpr UCHAR VENDOR_GAMMA = 0x1B;
inline constexpr UCHAR VENDOR_BACKLIGHT_COMP = 0x1C;
inline constexpr UCHAR VENDOR_EXPOSURE = 0x1D;

inline constexpr USHORT SETTING_READ_VALUE = 0;
inline constexpr USHORT SETTING_WRITE_VALUE = 1;
inline constexpr USHORT SETTING_READ_MODE = 2;
inline constexpr USHORT SETTING_WRITE_MODE = 3;

// The camera's 6-byte answer to a device setting.
inline constexpr ULONG DEVICE_SETTING_REPLY_LENGTH = 6;
inline constexpr UCHAR REPLY_STATUS_BUSY = 1;
inline constexpr UCHAR REPLY_STATUS_REFUSED = 2;
inline constexpr UCHAR KEY_PRESSED = 4;

// StreamExtension.Flags bits.
inline constexpr LONG STREAM_FLAG_STOP_REQUESTED = 0x1;
inline constexpr LONG STREAM_FLAG_RESET_IN_PROGRESS = 0x4;
inline constexpr LONG STREAM_FLAG_WATCHDOG_ARMED = 0x8;

// Registry keys and values.
#define TORVEX_PRODUCT_KEY L"\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\TORVEX\\Quillfern"
#define TORVEX_TRIGGER_KEY L"\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\ORBVID2\\Parameters"
#define TORVEX_CAMERA_STATE_VALUE L"CameraState"
#define TORVEX_ROTATE_STATE_VALUE L"rotateState"
#define TORVEX_TRIGGER_EVENT_VALUE L"TriggerEvent"

// ---------------------------------------------------------------------------
// Records.

struct StreamExtension;
struct IsoTransfer;

// The driver's per-device record, allocated zero-filled by the class.
struct AdapterExtension {
  StreamExtension* OpenStreams[MAX_STREAMS];
  ULONG OpenInstances[MAX_STREAMS];
  ULONG DevicePowerState;
  volatile LONG AdapterQueueReady;  // 0 not set up, 1 being set up, 2 ready
  KSPIN_LOCK QueueLock;
  LIST_ENTRY AdapterQueue;
  ULONG AdapterBusy;
  LIST_ENTRY DataQueue[MAX_STREAMS];
  KSPIN_LOCK DataQueueLock[MAX_STREAMS];
  ULONG DataQueueCount[MAX_STREAMS];
  LIST_ENTRY ControlQueue[MAX_STREAMS];
  ULONG ControlBusy[MAX_STREAMS];

  // Picture controls: values and their flags (1 automatic, 2 manual).
  LONG Brightness, BrightnessFlags;
  LONG Contrast, ContrastFlags;
  LONG Saturation, SaturationFlags;
  LONG Sharpness, SharpnessFlags;
  LONG WhiteBalance, WhiteBalanceFlags;
  LONG Gamma, GammaFlags;
  LONG BacklightComp, BacklightCompFlags;
  volatile LONG Roll;  // read by frame decoding without a lock
  LONG RollFlags;
  LONG Exposure, ExposureFlags;
  LONG VideoStandard, OutputEnable, VcrTiming;
  LONG VideoControlMode;
  LONG KeyFrameRate, PFramesPerKeyFrame, Quality;

  PDEVICE_OBJECT LowerDevice;

  // USB configuration.
  PUSB_DEVICE_DESCRIPTOR DeviceDescriptor;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;
  ULONG MaxTransferSize;
  PUSBD_INTERFACE_INFORMATION InterfaceInfo;

  volatile LONG DeviceState;
  volatile LONG ResetCount;  // -1 when no stream reset is pending
  KSEMAPHORE UsbLock;
  UCHAR DeviceGone;
  UCHAR AlternateSettingCount;
};

// The per-stream record, allocated by the class and zeroed at open.
struct StreamExtension {
  AdapterExtension* Adapter;
  PHW_STREAM_OBJECT StreamObject;
  PKS_VIDEOINFOHEADER VideoInfo;  // owned copy of the current format
  volatile ULONG ImageSize;       // biSizeImage of VideoInfo, 0 without a format; read by any thread
  KS_FRAME_INFO FrameInfo;
  ULONG Discontinuity;
  volatile KSSTATE State;
  HANDLE MasterClock;
  LONG KeyFrameRate, PFramesPerKeyFrame, Quality, VideoControlMode;

  // Transfer engine.
  PUSBD_PIPE_INFORMATION Pipe;
  volatile UCHAR Streaming;
  KDPC WatchdogDpc;
  KTIMER WatchdogTimer;
  IsoTransfer* Transfers[2];
  volatile LONG PendingTransfers;
  KSEMAPHORE DecodeLock;
  DcmpContext* Decoder;
  volatile LONG Flags;
  KEVENT StopDone;
  volatile UCHAR TransferError;

  // Frame assembly and delivery.
  LONGLONG FrameTime;
  LONGLONG LastFrameSystemTime;
  ULONGLONG FramesDelivered;
  LONGLONG StartTime;
  UCHAR NeedStartTime;
  ULONG Synced;
  PUCHAR AssemblyBuffer;
  ULONG AssemblyLength;
  PUCHAR SpareBuffer;
  ULONG PendingLength;
  LONGLONG NextButtonPoll;
  PHW_STREAM_REQUEST_BLOCK DecodingRequest;

  // Recovery.
  KEVENT ResetDrained;

  // Work items in flight for this stream (driver/usb/isostream.h): frames
  // queued for decoding and not yet finished, and resets queued and not yet finished. Stop
  // and close wait for both to reach 0 before the stream's memory goes.
  volatile LONG DecodesPending;
  volatile LONG ResetsQueued;
  // Frames waiting for decoding, decoded in order by one work item at a time,
  // so that a decode waiting for the camera never ties up more than one
  // system worker thread.
  LIST_ENTRY DecodeQueue;
  KSPIN_LOCK DecodeQueueLock;
  WORK_QUEUE_ITEM DecodeWorkItem;
};

// The class's per-request scratch area.
struct RequestExtension {
  LIST_ENTRY ListEntry;                // link of the adapter and control queues
  PHW_STREAM_REQUEST_BLOCK Request;    // the SRB that owns this extension
  PUCHAR FrameBuffer;                  // a read's frame buffer while it is pending
  ULONG FrameLength;                   // bytes of the compressed frame in FrameBuffer
};

// ---------------------------------------------------------------------------
// Globals.

extern ULONG gCameraState;            // mirrors the registry value CameraState
extern volatile ULONG gTriggerEvent;  // mirrors the registry value TriggerEvent
extern volatile LONG gSemaphoreCount; // diagnostic mirror of UsbLock

// Atomic access to the fields that several threads touch.
template <class T>
inline T ReadShared(const volatile T* p) {
  return __atomic_load_n(p, __ATOMIC_SEQ_CST);
}
template <class T>
inline void WriteShared(volatile T* p, std::type_identity_t<T> v) {
  __atomic_store_n(p, v, __ATOMIC_SEQ_CST);
}

// ---------------------------------------------------------------------------
// driver/usb: pool and registry.

PVOID ISOUSB_ExAllocatePool(POOL_TYPE poolType, SIZE_T size);
VOID ISOUSB_ExFreePool(PVOID p);
// The decoder's allocation hook (cookie unused).
void* IsoUsb_DecoderAllocate(std::size_t size, void* cookie);
void IsoUsb_DecoderRelease(void* p, void* cookie);
BOOLEAN IsoUsb_GetRegistryDword(PCWSTR path, PCWSTR valueName, PULONG value);
BOOLEAN IsoUsb_SetRegistryDword(PCWSTR path, PCWSTR valueName, PULONG value);

// driver/usb: camera requests.
ULONG ISOUSB_ControlVendorCommandWorker(AdapterExtension* adapter, UCHAR bRequest, USHORT wValue, USHORT wIndex,
                                        PVOID buffer, ULONG length, BOOLEAN directionIn);
BOOLEAN IsoUsb_Vendor_DeviceSetting(AdapterExtension* adapter, UCHAR bRequest, USHORT wValue, USHORT wIndex,
                                    PUCHAR reply);
ULONG IsoUsb_Vendor_SetImageSize(AdapterExtension* adapter, const DcmpContext* decoder, PUCHAR reply);
ULONG IsoUsb_Vendor_SetCmprssAttr(AdapterExtension* adapter, const DcmpContext* decoder, PUCHAR reply);
ULONG IsoUsb_Vendor_GetCmprssAttr(AdapterExtension* adapter, const DcmpContext* decoder, PUCHAR byte);
ULONG IsoUsb_Vendor_GetKey(AdapterExtension* adapter, PUCHAR byte);
NTSTATUS IsoUsb_CallUSBD(AdapterExtension* adapter, PURB urb);
KDEFERRED_ROUTINE USBCAMD_SyncUrbTimeoutDPC;

// driver/usb: configuration.
NTSTATUS IsoUsb_StartDevice(AdapterExtension* adapter);
NTSTATUS IsoUsb_ConfigureDevice(AdapterExtension* adapter);
NTSTATUS IsoUsb_SelectInterface(AdapterExtension* adapter, PUSB_CONFIGURATION_DESCRIPTOR config);
NTSTATUS IsoUsb_PrepareStream(AdapterExtension* adapter, StreamExtension* stream, PKSDATAFORMAT format);
NTSTATUS IsoUsb_AllocateBandwidth(AdapterExtension* adapter, PKSDATAFORMAT format);
NTSTATUS IsoUsb_SelectAlternateInterface(AdapterExtension* adapter, PUSBD_INTERFACE_INFORMATION interfaceInfo);
VOID IsoUsb_ReleaseDeviceResources(AdapterExtension* adapter);
VOID UsbLockAcquire(AdapterExtension* adapter);
VOID UsbLockRelease(AdapterExtension* adapter);

// driver/usb: streaming and recovery.
NTSTATUS IsoUsb_StartIsoStream(AdapterExtension* adapter, StreamExtension* stream);
NTSTATUS IsoUsb_StopIsoStream(AdapterExtension* adapter, StreamExtension* stream);
VOID IsoUsb_ProcessResetRequest(AdapterExtension* adapter, StreamExtension* stream);
// Waits until no reset work item of the stream is queued or running (close).
VOID IsoUsb_WaitForResets(StreamExtension* stream);

// ---------------------------------------------------------------------------
// driver/stream: adapter.

NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
VOID STREAMAPI AdapterReceivePacket(PHW_STREAM_REQUEST_BLOCK srb);
VOID STREAMAPI AdapterCancelPacket(PHW_STREAM_REQUEST_BLOCK srb);
VOID STREAMAPI AdapterTimeoutPacket(PHW_STREAM_REQUEST_BLOCK srb);
ULONG AddToListIfBusy(PHW_STREAM_REQUEST_BLOCK srb, PKSPIN_LOCK lock, PULONG busyFlag, PLIST_ENTRY list);
ULONG RemoveFromListIfAvailable(PHW_STREAM_REQUEST_BLOCK* srb, PKSPIN_LOCK lock, PULONG busyFlag,
                                PLIST_ENTRY list);
BOOLEAN HwInitialize(PHW_STREAM_REQUEST_BLOCK srb);
BOOLEAN HwUnInitialize(PHW_STREAM_REQUEST_BLOCK srb);
BOOLEAN AdapterPowerState(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterOpenStream(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterCloseStream(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterStreamInfo(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterCompleteInitialization(PHW_STREAM_REQUEST_BLOCK srb);
VOID CompleteDeviceSRB(PHW_STREAM_REQUEST_BLOCK srb);

// driver/stream: formats.

// One stream's description for the class and the stream-object values that
// AdapterOpenStream copies into the class's stream object.
struct ALL_STREAM_INFO {
  HW_STREAM_INFORMATION hwStreamInfo;
  HW_STREAM_OBJECT hwStreamObject;
};
extern const ALL_STREAM_INFO Streams[];
extern const HW_STREAM_HEADER StreamHeader;
extern const KSTOPOLOGY Topology;
extern const KSPIN_MEDIUM StandardMedium;
extern const KS_DATARANGE_VIDEO StreamFormatRGB24Bpp_Capture;
extern const KS_DATARANGE_VIDEO StreamFormatUYU2_Capture;
extern const PKSDATAFORMAT Stream0Formats[];
inline constexpr ULONG NUM_STREAM0_FORMATS = 2;

ULONG AdapterCompareGUIDsAndFormatSize(const KSDATARANGE* a, const KSDATARANGE* b, BOOLEAN compareSize);
ULONG AdapterVerifyFormat(const KSDATAFORMAT* format, ULONG streamNumber);
ULONG AdapterFormatFromRange(PHW_STREAM_REQUEST_BLOCK srb);
ULONG VideoSetFormat(PHW_STREAM_REQUEST_BLOCK srb);

// driver/stream: video stream.

extern const KSPROPERTY_SET VideoStreamProperties[];
inline constexpr ULONG NUM_VIDEO_STREAM_PROPERTY_SETS = 2;

VOID STREAMAPI VideoReceiveDataPacket(PHW_STREAM_REQUEST_BLOCK srb);
VOID STREAMAPI VideoReceiveCtrlPacket(PHW_STREAM_REQUEST_BLOCK srb);
VOID VideoQueueAddSRB(PHW_STREAM_REQUEST_BLOCK srb);
PHW_STREAM_REQUEST_BLOCK VideoQueueRemoveSRB(AdapterExtension* adapter, ULONG streamNumber);
VOID VideoQueueCancelAllSRBs(StreamExtension* stream);
ULONG VideoQueueCancelOneSRB(StreamExtension* stream, PHW_STREAM_REQUEST_BLOCK srb);
VOID CompleteStreamSRB(PHW_STREAM_REQUEST_BLOCK srb);
VOID VideoGetState(PHW_STREAM_REQUEST_BLOCK srb);
VOID VideoSetState(PHW_STREAM_REQUEST_BLOCK srb);
VOID VideoGetProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID VideoSetProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID VideoStreamGetConnectionProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID VideoStreamGetDroppedFramesProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID VideoIndicateMasterClock(PHW_STREAM_REQUEST_BLOCK srb);

// driver/stream: camera properties.

extern const KSPROPERTY_SET AdapterPropertyTable[];
inline constexpr ULONG NUM_ADAPTER_PROPERTY_SETS = 5;

VOID AdapterSetPictureControlDefaults(AdapterExtension* adapter);
VOID AdapterGetProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterSetProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterGetVideoProcAmpProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterSetVideoProcAmpProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterGetCameraControlProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterSetCameraControlProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterGetAnalogVideoDecoderProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterSetAnalogVideoDecoderProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterGetVideoControlProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterSetVideoControlProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterGetVideoCompressionProperty(PHW_STREAM_REQUEST_BLOCK srb);
VOID AdapterSetVideoCompressionProperty(PHW_STREAM_REQUEST_BLOCK srb);
// Roll from the registry value rotateState (quarter turns 0..3; anything else 0).
LONG AdapterReadRollFromRegistry();
