// The streaming-class minidriver interface: registration data, request blocks
// (SRBs) and their command codes, stream objects and descriptors, the port
// configuration handed over at initialisation, time contexts, and the class
// services a minidriver calls. Names and values are the published ones; the
// structures take their natural 64-bit layout (sizes differ from the 32-bit ones
// a minidriver may know: use sizeof, never the 32-bit literals).
//
// The class behind these functions is torvex::platform::ks::StreamClass
// (ks/class_model.h): it loads a minidriver, sends it requests on behalf of a
// capture application and checks that the minidriver keeps the request protocol.
#pragma once

#include "kernel/nt.h"
#include "ks/ks.h"

#define STREAMAPI

// ---------------------------------------------------------------------------
// Power and bus types used by the port configuration.

typedef enum _DEVICE_POWER_STATE {
  PowerDeviceUnspecified = 0,
  PowerDeviceD0 = 1,
  PowerDeviceD1 = 2,
  PowerDeviceD2 = 3,
  PowerDeviceD3 = 4,
  PowerDeviceMaximum = 5
} DEVICE_POWER_STATE, *PDEVICE_POWER_STATE;

typedef enum _INTERFACE_TYPE {
  InterfaceTypeUndefined = -1,
  Internal = 0,
  Isa = 1,
  Eisa = 2,
  MicroChannel = 3,
  TurboChannel = 4,
  PCIBus = 5,
  PNPBus = 15
} INTERFACE_TYPE, *PINTERFACE_TYPE;

typedef enum _KINTERRUPT_MODE { LevelSensitive = 0, Latched = 1 } KINTERRUPT_MODE;

typedef LARGE_INTEGER PHYSICAL_ADDRESS, *PPHYSICAL_ADDRESS;

typedef struct _ACCESS_RANGE {
  PHYSICAL_ADDRESS RangeStart;
  ULONG RangeLength;
  BOOLEAN RangeInMemory;
} ACCESS_RANGE, *PACCESS_RANGE;

typedef struct _KINTERRUPT* PKINTERRUPT;          // opaque; no interrupts here
typedef struct _ADAPTER_OBJECT* PADAPTER_OBJECT;  // opaque; no DMA here

typedef struct _SCATTER_GATHER_ELEMENT {
  PHYSICAL_ADDRESS Address;
  ULONG Length;
  ULONG_PTR Reserved;
} SCATTER_GATHER_ELEMENT, *PSCATTER_GATHER_ELEMENT;

// ---------------------------------------------------------------------------
// Request commands.

typedef enum _SRB_COMMAND {
  // stream requests
  SRB_READ_DATA = 0x00,
  SRB_WRITE_DATA = 0x01,
  SRB_GET_STREAM_STATE = 0x02,
  SRB_SET_STREAM_STATE = 0x03,
  SRB_SET_STREAM_PROPERTY = 0x04,
  SRB_GET_STREAM_PROPERTY = 0x05,
  SRB_OPEN_MASTER_CLOCK = 0x06,
  SRB_INDICATE_MASTER_CLOCK = 0x07,
  SRB_UNKNOWN_STREAM_COMMAND = 0x08,
  SRB_SET_STREAM_RATE = 0x09,
  SRB_PROPOSE_DATA_FORMAT = 0x0A,
  SRB_CLOSE_MASTER_CLOCK = 0x0B,
  SRB_PROPOSE_STREAM_RATE = 0x0C,
  SRB_SET_DATA_FORMAT = 0x0D,
  SRB_GET_DATA_FORMAT = 0x0E,
  SRB_BEGIN_FLUSH = 0x0F,
  SRB_END_FLUSH = 0x10,
  // device requests
  SRB_GET_STREAM_INFO = 0x100,
  SRB_OPEN_STREAM = 0x101,
  SRB_CLOSE_STREAM = 0x102,
  SRB_OPEN_DEVICE_INSTANCE = 0x103,
  SRB_CLOSE_DEVICE_INSTANCE = 0x104,
  SRB_GET_DEVICE_PROPERTY = 0x105,
  SRB_SET_DEVICE_PROPERTY = 0x106,
  SRB_INITIALIZE_DEVICE = 0x107,
  SRB_CHANGE_POWER_STATE = 0x108,
  SRB_UNINITIALIZE_DEVICE = 0x109,
  SRB_UNKNOWN_DEVICE_COMMAND = 0x10A,
  SRB_PAGING_OUT_DRIVER = 0x10B,
  SRB_GET_DATA_INTERSECTION = 0x10C,
  SRB_INITIALIZATION_COMPLETE = 0x10D,
  SRB_SURPRISE_REMOVAL = 0x10E,
  SRB_DEVICE_METHOD = 0x10F,
  SRB_STREAM_METHOD = 0x110,
  SRB_NOTIFY_IDLE_STATE = 0x111
} SRB_COMMAND;

// Flags of an SRB.
inline constexpr ULONG SRB_HW_FLAGS_DATA_TRANSFER = 0x00000001;
inline constexpr ULONG SRB_HW_FLAGS_STREAM_REQUEST = 0x00000002;

// ---------------------------------------------------------------------------
// Forward declarations and callback types.

typedef struct _HW_STREAM_REQUEST_BLOCK HW_STREAM_REQUEST_BLOCK, *PHW_STREAM_REQUEST_BLOCK;
typedef struct _HW_STREAM_OBJECT HW_STREAM_OBJECT, *PHW_STREAM_OBJECT;
typedef struct _HW_TIME_CONTEXT HW_TIME_CONTEXT, *PHW_TIME_CONTEXT;
typedef struct _HW_EVENT_DESCRIPTOR HW_EVENT_DESCRIPTOR, *PHW_EVENT_DESCRIPTOR;  // events are not used here

typedef BOOLEAN(STREAMAPI* PHW_INTERRUPT)(PVOID DeviceExtension);
typedef VOID(STREAMAPI* PHW_RECEIVE_DEVICE_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID(STREAMAPI* PHW_CANCEL_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID(STREAMAPI* PHW_REQUEST_TIMEOUT_HANDLER)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID(STREAMAPI* PHW_RECEIVE_STREAM_DATA_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID(STREAMAPI* PHW_RECEIVE_STREAM_CONTROL_SRB)(PHW_STREAM_REQUEST_BLOCK SRB);
typedef VOID(STREAMAPI* PHW_CLOCK_FUNCTION)(PHW_TIME_CONTEXT HwTimeContext);
typedef NTSTATUS(STREAMAPI* PHW_EVENT_ROUTINE)(PHW_EVENT_DESCRIPTOR EventDescriptor);

// ---------------------------------------------------------------------------
// Registration.

// HwInitializationDataSize is the size of this structure as the minidriver was
// built: sizeof(HW_INITIALIZATION_DATA) here, or 60, its size in the 32-bit
// layout; the class accepts either.
inline constexpr ULONG HW_INITIALIZATION_DATA_SIZE_32BIT = 60;

typedef struct _HW_INITIALIZATION_DATA {
  ULONG HwInitializationDataSize;
  PHW_INTERRUPT HwInterrupt;
  PHW_RECEIVE_DEVICE_SRB HwReceivePacket;
  PHW_CANCEL_SRB HwCancelPacket;
  PHW_REQUEST_TIMEOUT_HANDLER HwRequestTimeoutHandler;
  ULONG DeviceExtensionSize;
  ULONG PerRequestExtensionSize;
  ULONG PerStreamExtensionSize;
  ULONG FilterInstanceExtensionSize;
  BOOLEAN BusMasterDMA;
  BOOLEAN Dma24BitAddresses;
  ULONG BufferAlignment;
  BOOLEAN TurnOffSynchronization;
  ULONG DmaBufferSize;
  ULONG NumNameExtensions;
  PWCHAR* NameExtensionArray;
  ULONG Reserved[2];
} HW_INITIALIZATION_DATA, *PHW_INITIALIZATION_DATA;

// ---------------------------------------------------------------------------
// Stream objects and the stream descriptor.

inline constexpr ULONG CLOCK_SUPPORT_CAN_SET_ONBOARD_CLOCK = 0x00000001;
inline constexpr ULONG CLOCK_SUPPORT_CAN_READ_ONBOARD_CLOCK = 0x00000002;
inline constexpr ULONG CLOCK_SUPPORT_CAN_RETURN_STREAM_TIME = 0x00000004;

typedef struct _HW_CLOCK_OBJECT {
  PHW_CLOCK_FUNCTION HwClockFunction;
  ULONG ClockSupportFlags;
  ULONG Reserved[2];
} HW_CLOCK_OBJECT, *PHW_CLOCK_OBJECT;

struct _HW_STREAM_OBJECT {
  ULONG SizeOfThisPacket;
  ULONG StreamNumber;
  PVOID HwStreamExtension;
  PHW_RECEIVE_STREAM_DATA_SRB ReceiveDataPacket;
  PHW_RECEIVE_STREAM_CONTROL_SRB ReceiveControlPacket;
  HW_CLOCK_OBJECT HwClockObject;
  BOOLEAN Dma;
  BOOLEAN Pio;
  PVOID HwDeviceExtension;
  ULONG StreamHeaderMediaSpecific;  // bytes of extended header after each KSSTREAM_HEADER
  ULONG StreamHeaderWorkspace;
  BOOLEAN Allocator;
  PHW_EVENT_ROUTINE HwEventRoutine;
  ULONG Reserved[2];
};

typedef struct _HW_STREAM_HEADER {
  ULONG NumberOfStreams;
  ULONG SizeOfHwStreamInformation;
  ULONG NumDevPropArrayEntries;
  PKSPROPERTY_SET DevicePropertiesArray;
  ULONG NumDevEventArrayEntries;
  PKSEVENT_SET DeviceEventsArray;
  PKSTOPOLOGY Topology;
  PHW_EVENT_ROUTINE DeviceEventRoutine;
  LONG NumDevMethodArrayEntries;
  PKSMETHOD_SET DeviceMethodsArray;
} HW_STREAM_HEADER, *PHW_STREAM_HEADER;

typedef struct _HW_STREAM_INFORMATION {
  ULONG NumberOfPossibleInstances;
  KSPIN_DATAFLOW DataFlow;
  BOOLEAN DataAccessible;
  ULONG NumberOfFormatArrayEntries;
  PKSDATAFORMAT* StreamFormatsArray;
  PVOID ClassReserved[4];
  ULONG NumStreamPropArrayEntries;
  PKSPROPERTY_SET StreamPropertiesArray;
  ULONG NumStreamEventArrayEntries;
  PKSEVENT_SET StreamEventsArray;
  const GUID* Category;
  const GUID* Name;
  ULONG MediumsCount;
  const KSPIN_MEDIUM* Mediums;
  BOOLEAN BridgeStream;
  ULONG Reserved[2];
} HW_STREAM_INFORMATION, *PHW_STREAM_INFORMATION;

// The header followed by NumberOfStreams stream informations.
typedef struct _HW_STREAM_DESCRIPTOR {
  HW_STREAM_HEADER StreamHeader;
  HW_STREAM_INFORMATION StreamInfo;
} HW_STREAM_DESCRIPTOR, *PHW_STREAM_DESCRIPTOR;

// ---------------------------------------------------------------------------
// Command data.

typedef struct _STREAM_TIME_REFERENCE {
  KSTIME CurrentOnboardClockValue;
  LARGE_INTEGER OnboardClockFrequency;
  LARGE_INTEGER CurrentSystemTime;
  ULONG Reserved[2];
} STREAM_TIME_REFERENCE, *PSTREAM_TIME_REFERENCE;

typedef struct _STREAM_DATA_INTERSECT_INFO {
  ULONG StreamNumber;
  PKSDATARANGE DataRange;
  PVOID DataFormatBuffer;
  ULONG SizeOfDataFormatBuffer;
} STREAM_DATA_INTERSECT_INFO, *PSTREAM_DATA_INTERSECT_INFO;

typedef struct _STREAM_PROPERTY_DESCRIPTOR {
  PKSPROPERTY Property;      // the request (input buffer)
  ULONG PropertySetID;       // index of the set in the minidriver's property table
  PVOID PropertyInfo;        // the value (output buffer)
  ULONG PropertyInputSize;   // bytes at Property
  ULONG PropertyOutputSize;  // bytes at PropertyInfo
} STREAM_PROPERTY_DESCRIPTOR, *PSTREAM_PROPERTY_DESCRIPTOR;

typedef struct _PORT_CONFIGURATION_INFORMATION {
  ULONG SizeOfThisPacket;
  PVOID HwDeviceExtension;
  PDEVICE_OBJECT ClassDeviceObject;
  PDEVICE_OBJECT PhysicalDeviceObject;  // the device object below the class's; USB requests go here
  ULONG SystemIoBusNumber;
  INTERFACE_TYPE AdapterInterfaceType;
  ULONG BusInterruptLevel;
  ULONG BusInterruptVector;
  KINTERRUPT_MODE InterruptMode;
  ULONG DmaChannel;
  ULONG NumberOfAccessRanges;
  PACCESS_RANGE AccessRanges;
  ULONG StreamDescriptorSize;  // set by the minidriver at SRB_INITIALIZE_DEVICE
  PIRP Irp;
  PKINTERRUPT InterruptObject;
  PADAPTER_OBJECT DmaAdapterObject;
  PDEVICE_OBJECT RealPhysicalDeviceObject;
  ULONG Reserved[1];
} PORT_CONFIGURATION_INFORMATION, *PPORT_CONFIGURATION_INFORMATION;

// ---------------------------------------------------------------------------
// The request block.

struct _HW_STREAM_REQUEST_BLOCK {
  ULONG SizeOfThisPacket;
  SRB_COMMAND Command;
  NTSTATUS Status;
  PHW_STREAM_OBJECT StreamObject;
  PVOID HwDeviceExtension;
  PVOID SRBExtension;  // PerRequestExtensionSize bytes, zeroed
  union _CommandData {
    PKSSTREAM_HEADER DataBufferArray;
    PHW_STREAM_DESCRIPTOR StreamBuffer;
    KSSTATE StreamState;
    PSTREAM_TIME_REFERENCE TimeReference;
    PSTREAM_PROPERTY_DESCRIPTOR PropertyInfo;
    PKSDATAFORMAT OpenFormat;
    struct _PORT_CONFIGURATION_INFORMATION* ConfigInfo;
    HANDLE MasterClockHandle;
    DEVICE_POWER_STATE DeviceState;
    PSTREAM_DATA_INTERSECT_INFO IntersectInfo;
    PVOID MethodInfo;
    LONG FilterTypeIndex;
    BOOLEAN Wakeup;
  } CommandData;
  ULONG NumberOfBuffers;
  ULONG TimeoutCounter;   // seconds left; the class counts it down while the request is pending
  ULONG TimeoutOriginal;  // seconds the minidriver allows
  struct _HW_STREAM_REQUEST_BLOCK* NextSRB;
  PIRP Irp;  // the request's IRP: Tail.Overlay.ListEntry and DriverContext are the minidriver's
  ULONG Flags;
  PVOID HwInstanceExtension;
  union {
    ULONG NumberOfBytesToTransfer;
    ULONG ActualBytesTransferred;
  };
  PSCATTER_GATHER_ELEMENT ScatterGatherBuffer;
  ULONG NumberOfPhysicalPages;
  ULONG NumberOfScatterGatherElements;
  ULONG Reserved[1];
};

// ---------------------------------------------------------------------------
// Time.

typedef enum _TIME_FUNCTION { TIME_GET_STREAM_TIME = 0, TIME_READ_ONBOARD_CLOCK = 1, TIME_SET_ONBOARD_CLOCK = 2 } TIME_FUNCTION;

struct _HW_TIME_CONTEXT {
  PVOID HwDeviceExtension;
  PHW_STREAM_OBJECT HwStreamObject;
  TIME_FUNCTION Function;
  ULONGLONG Time;        // stream time of the master clock (100 ns)
  ULONGLONG SystemTime;  // system time when Time was read (100 ns)
};

// ---------------------------------------------------------------------------
// Notifications and class services.

typedef enum _STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE {
  ReadyForNextDeviceRequest = 0,
  DeviceRequestComplete = 1,
  SignalMultipleDeviceEvents = 2,
  SignalDeviceEvent = 3,
  DeleteDeviceEvent = 4,
  SignalMultipleDeviceInstanceEvents = 5
} STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE;

typedef enum _STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE {
  ReadyForNextStreamDataRequest = 0,
  ReadyForNextStreamControlRequest = 1,
  HardwareStarved = 2,
  StreamRequestComplete = 3,
  SignalMultipleStreamEvents = 4,
  SignalStreamEvent = 5,
  DeleteStreamEvent = 6,
  StreamNotificationMaximum = 7
} STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE;

// Called from DriverEntry: Argument1 is the DRIVER_OBJECT, Argument2 the registry
// path. Returns STATUS_SUCCESS; STATUS_REVISION_MISMATCH (0xC0000059) for a size
// it does not know; STATUS_INVALID_PARAMETER when no request handler is given;
// STATUS_NOT_SUPPORTED without TurnOffSynchronization (this class never
// serialises the minidriver's entry points).
NTSTATUS STREAMAPI StreamClassRegisterAdapter(PVOID Argument1, PVOID Argument2, PHW_INITIALIZATION_DATA HwInitializationData);
#define StreamClassRegisterMinidriver StreamClassRegisterAdapter

// DeviceRequestComplete takes the SRB as third argument; ReadyForNextDeviceRequest none.
VOID STREAMAPI StreamClassDeviceNotification(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE NotificationType,
                                             PVOID HwDeviceExtension, ...);
// StreamRequestComplete takes the SRB as third argument; the ReadyForNext... and
// HardwareStarved notifications none.
VOID STREAMAPI StreamClassStreamNotification(STREAM_MINIDRIVER_STREAM_NOTIFICATION_TYPE NotificationType,
                                             PHW_STREAM_OBJECT StreamObject, ...);
// Fills Time (and SystemTime) for TIME_GET_STREAM_TIME from the clock given by
// SRB_INDICATE_MASTER_CLOCK. Callable at any level.
VOID STREAMAPI StreamClassQueryMasterClockSync(HANDLE MasterClockHandle, PHW_TIME_CONTEXT TimeContext);
