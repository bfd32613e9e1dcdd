// USB definitions in the style of the Windows USB bus driver interface:
// descriptors, URBs and their function codes, USBD status codes, interface and
// pipe information, the USBD_ configuration helpers and the internal control
// codes that a client driver sends to its physical device object. Values and
// the layouts of pointer-free structures are the published ones; structures with
// pointers take their natural 64-bit layout, so URB sizes are sizeof-based
// (GET_ISO_URB_SIZE, GET_SELECT_INTERFACE_REQUEST_SIZE, ...).
#pragma once

#include "kernel/nt.h"

// ---------------------------------------------------------------------------
// Descriptors (packed, exact sizes).

inline constexpr UCHAR USB_DEVICE_DESCRIPTOR_TYPE = 0x01;
inline constexpr UCHAR USB_CONFIGURATION_DESCRIPTOR_TYPE = 0x02;
inline constexpr UCHAR USB_STRING_DESCRIPTOR_TYPE = 0x03;
inline constexpr UCHAR USB_INTERFACE_DESCRIPTOR_TYPE = 0x04;
inline constexpr UCHAR USB_ENDPOINT_DESCRIPTOR_TYPE = 0x05;

inline constexpr UCHAR USB_ENDPOINT_DIRECTION_MASK = 0x80;
inline constexpr UCHAR USB_ENDPOINT_TYPE_MASK = 0x03;
inline constexpr UCHAR USB_ENDPOINT_TYPE_CONTROL = 0x00;
inline constexpr UCHAR USB_ENDPOINT_TYPE_ISOCHRONOUS = 0x01;
inline constexpr UCHAR USB_ENDPOINT_TYPE_BULK = 0x02;
inline constexpr UCHAR USB_ENDPOINT_TYPE_INTERRUPT = 0x03;
inline constexpr bool USB_ENDPOINT_DIRECTION_IN(UCHAR address) { return (address & USB_ENDPOINT_DIRECTION_MASK) != 0; }

#pragma pack(push, 1)
typedef struct _USB_COMMON_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
} USB_COMMON_DESCRIPTOR, *PUSB_COMMON_DESCRIPTOR;

typedef struct _USB_DEVICE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT bcdUSB;
  UCHAR bDeviceClass;
  UCHAR bDeviceSubClass;
  UCHAR bDeviceProtocol;
  UCHAR bMaxPacketSize0;
  USHORT idVendor;
  USHORT idProduct;
  USHORT bcdDevice;
  UCHAR iManufacturer;
  UCHAR iProduct;
  UCHAR iSerialNumber;
  UCHAR bNumConfigurations;
} USB_DEVICE_DESCRIPTOR, *PUSB_DEVICE_DESCRIPTOR;

typedef struct _USB_CONFIGURATION_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  USHORT wTotalLength;
  UCHAR bNumInterfaces;
  UCHAR bConfigurationValue;
  UCHAR iConfiguration;
  UCHAR bmAttributes;
  UCHAR MaxPower;
} USB_CONFIGURATION_DESCRIPTOR, *PUSB_CONFIGURATION_DESCRIPTOR;

typedef struct _USB_INTERFACE_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bInterfaceNumber;
  UCHAR bAlternateSetting;
  UCHAR bNumEndpoints;
  UCHAR bInterfaceClass;
  UCHAR bInterfaceSubClass;
  UCHAR bInterfaceProtocol;
  UCHAR iInterface;
} USB_INTERFACE_DESCRIPTOR, *PUSB_INTERFACE_DESCRIPTOR;

typedef struct _USB_ENDPOINT_DESCRIPTOR {
  UCHAR bLength;
  UCHAR bDescriptorType;
  UCHAR bEndpointAddress;
  UCHAR bmAttributes;
  USHORT wMaxPacketSize;
  UCHAR bInterval;
} USB_ENDPOINT_DESCRIPTOR, *PUSB_ENDPOINT_DESCRIPTOR;

// The 8-byte setup packet of a control transfer.
typedef struct _USB_DEFAULT_PIPE_SETUP_PACKET {
  UCHAR bmRequestType;
  UCHAR bRequest;
  USHORT wValue;
  USHORT wIndex;
  USHORT wLength;
} USB_DEFAULT_PIPE_SETUP_PACKET, *PUSB_DEFAULT_PIPE_SETUP_PACKET;
#pragma pack(pop)

static_assert(sizeof(USB_DEVICE_DESCRIPTOR) == 18);
static_assert(sizeof(USB_CONFIGURATION_DESCRIPTOR) == 9);
static_assert(sizeof(USB_INTERFACE_DESCRIPTOR) == 9);
static_assert(sizeof(USB_ENDPOINT_DESCRIPTOR) == 7);
static_assert(sizeof(USB_DEFAULT_PIPE_SETUP_PACKET) == 8);

// ---------------------------------------------------------------------------
// USBD status codes (the top two bits: 00 success, 01 pending, 11 halted, 10 error).

typedef LONG USBD_STATUS;
#define TORVEX_USBD_STATUS(v) static_cast<USBD_STATUS>(static_cast<ULONG>(v))
inline constexpr USBD_STATUS USBD_STATUS_SUCCESS = 0;
inline constexpr USBD_STATUS USBD_STATUS_PENDING = TORVEX_USBD_STATUS(0x40000000);
inline constexpr USBD_STATUS USBD_STATUS_CRC = TORVEX_USBD_STATUS(0xC0000001);
inline constexpr USBD_STATUS USBD_STATUS_BTSTUFF = TORVEX_USBD_STATUS(0xC0000002);
inline constexpr USBD_STATUS USBD_STATUS_DATA_TOGGLE_MISMATCH = TORVEX_USBD_STATUS(0xC0000003);
inline constexpr USBD_STATUS USBD_STATUS_STALL_PID = TORVEX_USBD_STATUS(0xC0000004);
inline constexpr USBD_STATUS USBD_STATUS_DEV_NOT_RESPONDING = TORVEX_USBD_STATUS(0xC0000005);
inline constexpr USBD_STATUS USBD_STATUS_PID_CHECK_FAILURE = TORVEX_USBD_STATUS(0xC0000006);
inline constexpr USBD_STATUS USBD_STATUS_UNEXPECTED_PID = TORVEX_USBD_STATUS(0xC0000007);
inline constexpr USBD_STATUS USBD_STATUS_DATA_OVERRUN = TORVEX_USBD_STATUS(0xC0000008);
inline constexpr USBD_STATUS USBD_STATUS_DATA_UNDERRUN = TORVEX_USBD_STATUS(0xC0000009);
inline constexpr USBD_STATUS USBD_STATUS_BUFFER_OVERRUN = TORVEX_USBD_STATUS(0xC000000C);
inline constexpr USBD_STATUS USBD_STATUS_BUFFER_UNDERRUN = TORVEX_USBD_STATUS(0xC000000D);
inline constexpr USBD_STATUS USBD_STATUS_NOT_ACCESSED = TORVEX_USBD_STATUS(0xC000000F);
inline constexpr USBD_STATUS USBD_STATUS_FIFO = TORVEX_USBD_STATUS(0xC0000010);
inline constexpr USBD_STATUS USBD_STATUS_XACT_ERROR = TORVEX_USBD_STATUS(0xC0000011);
inline constexpr USBD_STATUS USBD_STATUS_BABBLE_DETECTED = TORVEX_USBD_STATUS(0xC0000012);
inline constexpr USBD_STATUS USBD_STATUS_DATA_BUFFER_ERROR = TORVEX_USBD_STATUS(0xC0000013);
inline constexpr USBD_STATUS USBD_STATUS_ENDPOINT_HALTED = TORVEX_USBD_STATUS(0xC0000030);
inline constexpr USBD_STATUS USBD_STATUS_INVALID_URB_FUNCTION = TORVEX_USBD_STATUS(0x80000200);
inline constexpr USBD_STATUS USBD_STATUS_INVALID_PARAMETER = TORVEX_USBD_STATUS(0x80000300);
inline constexpr USBD_STATUS USBD_STATUS_ERROR_BUSY = TORVEX_USBD_STATUS(0x80000400);
inline constexpr USBD_STATUS USBD_STATUS_INVALID_PIPE_HANDLE = TORVEX_USBD_STATUS(0x80000600);
inline constexpr USBD_STATUS USBD_STATUS_NO_BANDWIDTH = TORVEX_USBD_STATUS(0x80000700);
inline constexpr USBD_STATUS USBD_STATUS_INTERNAL_HC_ERROR = TORVEX_USBD_STATUS(0x80000800);
inline constexpr USBD_STATUS USBD_STATUS_ERROR_SHORT_TRANSFER = TORVEX_USBD_STATUS(0x80000900);
inline constexpr USBD_STATUS USBD_STATUS_BAD_START_FRAME = TORVEX_USBD_STATUS(0xC0000A00);
inline constexpr USBD_STATUS USBD_STATUS_ISOCH_REQUEST_FAILED = TORVEX_USBD_STATUS(0xC0000B00);
inline constexpr USBD_STATUS USBD_STATUS_NOT_SUPPORTED = TORVEX_USBD_STATUS(0xC0000E00);
inline constexpr USBD_STATUS USBD_STATUS_INAVLID_CONFIGURATION_DESCRIPTOR = TORVEX_USBD_STATUS(0xC0000F00);
inline constexpr USBD_STATUS USBD_STATUS_DEVICE_GONE = TORVEX_USBD_STATUS(0xC0007000);
inline constexpr USBD_STATUS USBD_STATUS_CANCELED = TORVEX_USBD_STATUS(0xC0010000);
inline constexpr USBD_STATUS USBD_STATUS_ISO_NOT_ACCESSED_BY_HW = TORVEX_USBD_STATUS(0xC0020000);

inline constexpr bool USBD_SUCCESS(USBD_STATUS s) { return s >= 0; }
inline constexpr bool USBD_ERROR(USBD_STATUS s) { return s < 0; }
inline constexpr bool USBD_PENDING(USBD_STATUS s) { return (static_cast<ULONG>(s) >> 30) == 1; }
inline constexpr bool USBD_HALTED(USBD_STATUS s) { return (static_cast<ULONG>(s) >> 30) == 3; }

// ---------------------------------------------------------------------------
// Interface and pipe information.

typedef PVOID USBD_PIPE_HANDLE;
typedef PVOID USBD_CONFIGURATION_HANDLE;
typedef PVOID USBD_INTERFACE_HANDLE;

typedef enum _USBD_PIPE_TYPE {
  UsbdPipeTypeControl = 0,
  UsbdPipeTypeIsochronous = 1,
  UsbdPipeTypeBulk = 2,
  UsbdPipeTypeInterrupt = 3,
} USBD_PIPE_TYPE;

inline constexpr ULONG USBD_DEFAULT_MAXIMUM_TRANSFER_SIZE = 4096;

typedef struct _USBD_PIPE_INFORMATION {
  USHORT MaximumPacketSize;  // filled by the bus driver
  UCHAR EndpointAddress;     // filled by the bus driver
  UCHAR Interval;            // filled by the bus driver
  USBD_PIPE_TYPE PipeType;   // filled by the bus driver
  USBD_PIPE_HANDLE PipeHandle;  // filled by the bus driver
  ULONG MaximumTransferSize;    // set by the client
  ULONG PipeFlags;              // set by the client; this system's drivers use it as their own mark
} USBD_PIPE_INFORMATION, *PUSBD_PIPE_INFORMATION;

typedef struct _USBD_INTERFACE_INFORMATION {
  USHORT Length;  // of this structure with all its pipes
  UCHAR InterfaceNumber;
  UCHAR AlternateSetting;
  UCHAR Class;     // filled by the bus driver
  UCHAR SubClass;  // filled by the bus driver
  UCHAR Protocol;  // filled by the bus driver
  UCHAR Reserved;
  USBD_INTERFACE_HANDLE InterfaceHandle;  // filled by the bus driver
  ULONG NumberOfPipes;                    // filled by the bus driver
  USBD_PIPE_INFORMATION Pipes[1];
} USBD_INTERFACE_INFORMATION, *PUSBD_INTERFACE_INFORMATION;

inline constexpr USHORT GET_USBD_INTERFACE_SIZE(ULONG numEndpoints) {
  return static_cast<USHORT>(sizeof(USBD_INTERFACE_INFORMATION) +
                             (numEndpoints > 0 ? numEndpoints - 1 : 0) * sizeof(USBD_PIPE_INFORMATION));
}

typedef struct _USBD_INTERFACE_LIST_ENTRY {
  PUSB_INTERFACE_DESCRIPTOR InterfaceDescriptor;
  PUSBD_INTERFACE_INFORMATION Interface;
} USBD_INTERFACE_LIST_ENTRY, *PUSBD_INTERFACE_LIST_ENTRY;

// ---------------------------------------------------------------------------
// URBs.

inline constexpr USHORT URB_FUNCTION_SELECT_CONFIGURATION = 0x0000;
inline constexpr USHORT URB_FUNCTION_SELECT_INTERFACE = 0x0001;
inline constexpr USHORT URB_FUNCTION_ABORT_PIPE = 0x0002;
inline constexpr USHORT URB_FUNCTION_GET_CURRENT_FRAME_NUMBER = 0x0007;
inline constexpr USHORT URB_FUNCTION_CONTROL_TRANSFER = 0x0008;
inline constexpr USHORT URB_FUNCTION_BULK_OR_INTERRUPT_TRANSFER = 0x0009;
inline constexpr USHORT URB_FUNCTION_ISOCH_TRANSFER = 0x000A;
inline constexpr USHORT URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE = 0x000B;
inline constexpr USHORT URB_FUNCTION_VENDOR_DEVICE = 0x0017;
inline constexpr USHORT URB_FUNCTION_VENDOR_INTERFACE = 0x0018;
inline constexpr USHORT URB_FUNCTION_VENDOR_ENDPOINT = 0x0019;
inline constexpr USHORT URB_FUNCTION_CLASS_DEVICE = 0x001A;
inline constexpr USHORT URB_FUNCTION_CLASS_INTERFACE = 0x001B;
inline constexpr USHORT URB_FUNCTION_CLASS_ENDPOINT = 0x001C;
inline constexpr USHORT URB_FUNCTION_RESET_PIPE = 0x001E;  // also clears a stall

inline constexpr ULONG USBD_TRANSFER_DIRECTION_OUT = 0;
inline constexpr ULONG USBD_TRANSFER_DIRECTION_IN = 1;
inline constexpr ULONG USBD_SHORT_TRANSFER_OK = 2;
inline constexpr ULONG USBD_START_ISO_TRANSFER_ASAP = 4;

union _URB;

struct _URB_HEADER {
  USHORT Length;  // of the whole URB
  USHORT Function;
  USBD_STATUS Status;  // set by the bus driver
  PVOID UsbdDeviceHandle;
  ULONG UsbdFlags;
};

struct _URB_HCD_AREA {
  PVOID Reserved8[8];
};

struct _URB_SELECT_CONFIGURATION {
  struct _URB_HEADER Hdr;
  PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor;  // nullptr: unconfigure
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;          // filled by the bus driver
  USBD_INTERFACE_INFORMATION Interface;                   // one per interface, each Length bytes
};

struct _URB_SELECT_INTERFACE {
  struct _URB_HEADER Hdr;
  USBD_CONFIGURATION_HANDLE ConfigurationHandle;
  USBD_INTERFACE_INFORMATION Interface;
};

struct _URB_PIPE_REQUEST {
  struct _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG Reserved;
};

struct _URB_FRAME_NUMBER {
  struct _URB_HEADER Hdr;
  ULONG FrameNumber;
};

struct _URB_CONTROL_DESCRIPTOR_REQUEST {
  struct _URB_HEADER Hdr;
  PVOID Reserved;
  ULONG Reserved0;
  ULONG TransferBufferLength;  // in: buffer size; out: bytes transferred
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  union _URB* UrbLink;
  struct _URB_HCD_AREA hca;
  USHORT Reserved1;
  UCHAR Index;
  UCHAR DescriptorType;
  USHORT LanguageId;
  USHORT Reserved2;
};

struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST {
  struct _URB_HEADER Hdr;
  PVOID Reserved;
  ULONG TransferFlags;
  ULONG TransferBufferLength;  // in: wLength; out: bytes transferred
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  union _URB* UrbLink;
  struct _URB_HCD_AREA hca;
  UCHAR RequestTypeReservedBits;
  UCHAR Request;
  USHORT Value;
  USHORT Index;
  USHORT Reserved1;
};

typedef struct _USBD_ISO_PACKET_DESCRIPTOR {
  ULONG Offset;        // set by the client
  ULONG Length;        // bytes received, set by the bus driver
  USBD_STATUS Status;  // set by the bus driver
} USBD_ISO_PACKET_DESCRIPTOR, *PUSBD_ISO_PACKET_DESCRIPTOR;
static_assert(sizeof(USBD_ISO_PACKET_DESCRIPTOR) == 12);

struct _URB_ISOCH_TRANSFER {
  struct _URB_HEADER Hdr;
  USBD_PIPE_HANDLE PipeHandle;
  ULONG TransferFlags;
  ULONG TransferBufferLength;  // in: buffer size; out: sum of packet lengths
  PVOID TransferBuffer;
  PMDL TransferBufferMDL;
  union _URB* UrbLink;
  struct _URB_HCD_AREA hca;
  ULONG StartFrame;  // set by the bus driver with USBD_START_ISO_TRANSFER_ASAP
  ULONG NumberOfPackets;
  ULONG ErrorCount;  // packets with an error status, set by the bus driver
  USBD_ISO_PACKET_DESCRIPTOR IsoPacket[1];
};

typedef union _URB {
  struct _URB_HEADER UrbHeader;
  struct _URB_SELECT_INTERFACE UrbSelectInterface;
  struct _URB_SELECT_CONFIGURATION UrbSelectConfiguration;
  struct _URB_PIPE_REQUEST UrbPipeRequest;
  struct _URB_FRAME_NUMBER UrbGetCurrentFrameNumber;
  struct _URB_CONTROL_DESCRIPTOR_REQUEST UrbControlDescriptorRequest;
  struct _URB_CONTROL_VENDOR_OR_CLASS_REQUEST UrbControlVendorClassRequest;
  struct _URB_ISOCH_TRANSFER UrbIsochronousTransfer;
} URB, *PURB;

inline constexpr ULONG USBD_ISO_MAXIMUM_PACKETS = 255;  // per full-speed isochronous URB

inline constexpr USHORT GET_ISO_URB_SIZE(ULONG packets) {
  return static_cast<USHORT>(sizeof(struct _URB_ISOCH_TRANSFER) +
                             (packets > 0 ? packets - 1 : 0) * sizeof(USBD_ISO_PACKET_DESCRIPTOR));
}
inline constexpr USHORT GET_SELECT_INTERFACE_REQUEST_SIZE(ULONG pipes) {
  return static_cast<USHORT>(sizeof(struct _URB_SELECT_INTERFACE) +
                             (pipes > 0 ? pipes - 1 : 0) * sizeof(USBD_PIPE_INFORMATION));
}

// Builders for the common requests (fill the URB, which the caller zeroed or not).
inline VOID UsbBuildGetDescriptorRequest(PURB urb, USHORT length, UCHAR descriptorType, UCHAR index,
                                         USHORT languageId, PVOID transferBuffer, PMDL transferBufferMdl,
                                         ULONG transferBufferLength, PURB link) {
  urb->UrbHeader.Function = URB_FUNCTION_GET_DESCRIPTOR_FROM_DEVICE;
  urb->UrbHeader.Length = length;
  urb->UrbControlDescriptorRequest.TransferBufferLength = transferBufferLength;
  urb->UrbControlDescriptorRequest.TransferBufferMDL = transferBufferMdl;
  urb->UrbControlDescriptorRequest.TransferBuffer = transferBuffer;
  urb->UrbControlDescriptorRequest.DescriptorType = descriptorType;
  urb->UrbControlDescriptorRequest.Index = index;
  urb->UrbControlDescriptorRequest.LanguageId = languageId;
  urb->UrbControlDescriptorRequest.UrbLink = link;
}

inline VOID UsbBuildVendorRequest(PURB urb, USHORT function, USHORT length, ULONG transferFlags,
                                  UCHAR reservedBits, UCHAR request, USHORT value, USHORT index,
                                  PVOID transferBuffer, PMDL transferBufferMdl, ULONG transferBufferLength,
                                  PURB link) {
  urb->UrbHeader.Function = function;
  urb->UrbHeader.Length = length;
  urb->UrbControlVendorClassRequest.TransferBufferLength = transferBufferLength;
  urb->UrbControlVendorClassRequest.TransferBufferMDL = transferBufferMdl;
  urb->UrbControlVendorClassRequest.TransferBuffer = transferBuffer;
  urb->UrbControlVendorClassRequest.RequestTypeReservedBits = reservedBits;
  urb->UrbControlVendorClassRequest.Request = request;
  urb->UrbControlVendorClassRequest.Value = value;
  urb->UrbControlVendorClassRequest.Index = index;
  urb->UrbControlVendorClassRequest.TransferFlags = transferFlags;
  urb->UrbControlVendorClassRequest.UrbLink = link;
}

// ---------------------------------------------------------------------------
// USBD helpers. Parsing walks the configuration descriptor within its
// wTotalLength and stops at a descriptor whose bLength is below 2 or runs past
// the end; an interface or endpoint descriptor shorter than its type is not
// returned.

// Searches from startPosition for an interface descriptor matching every field
// that is not -1. Returns nullptr when none matches.
PUSB_INTERFACE_DESCRIPTOR USBD_ParseConfigurationDescriptorEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                                              PVOID StartPosition, LONG InterfaceNumber,
                                                              LONG AlternateSetting, LONG InterfaceClass,
                                                              LONG InterfaceSubClass, LONG InterfaceProtocol);
// Returns the first descriptor of the type at or after startPosition within totalLength bytes of buffer.
PUSB_COMMON_DESCRIPTOR USBD_ParseDescriptors(PVOID DescriptorBuffer, ULONG TotalLength, PVOID StartPosition,
                                             LONG DescriptorType);
// Builds a select-configuration URB (pool, tag 'USBD', freed with ExFreePool)
// with one USBD_INTERFACE_INFORMATION per interface of the configuration, for
// alternate setting 0, with room for its endpoints; *Siz receives the URB size.
// Returns nullptr when the descriptor is malformed or memory is short.
PURB USBD_CreateConfigurationRequest(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor, PUSHORT Siz);
// The same for the listed interfaces (list ends with a null InterfaceDescriptor);
// sets each entry's Interface to its information inside the URB.
PURB USBD_CreateConfigurationRequestEx(PUSB_CONFIGURATION_DESCRIPTOR ConfigurationDescriptor,
                                       PUSBD_INTERFACE_LIST_ENTRY InterfaceList);

// ---------------------------------------------------------------------------
// Internal device-control codes sent to the physical device object.

inline constexpr DEVICE_TYPE FILE_DEVICE_USB = FILE_DEVICE_UNKNOWN;
inline constexpr ULONG IOCTL_INTERNAL_USB_SUBMIT_URB = CTL_CODE(FILE_DEVICE_USB, 0, METHOD_NEITHER, FILE_ANY_ACCESS);
inline constexpr ULONG IOCTL_INTERNAL_USB_RESET_PORT = CTL_CODE(FILE_DEVICE_USB, 1, METHOD_NEITHER, FILE_ANY_ACCESS);
inline constexpr ULONG IOCTL_INTERNAL_USB_GET_PORT_STATUS = CTL_CODE(FILE_DEVICE_USB, 4, METHOD_NEITHER, FILE_ANY_ACCESS);
inline constexpr ULONG IOCTL_INTERNAL_USB_ENABLE_PORT = CTL_CODE(FILE_DEVICE_USB, 5, METHOD_NEITHER, FILE_ANY_ACCESS);
inline constexpr ULONG IOCTL_INTERNAL_USB_CYCLE_PORT = CTL_CODE(FILE_DEVICE_USB, 7, METHOD_NEITHER, FILE_ANY_ACCESS);
static_assert(IOCTL_INTERNAL_USB_SUBMIT_URB == 0x220003);

// Port status bits (Argument1 of IOCTL_INTERNAL_USB_GET_PORT_STATUS points to a ULONG).
inline constexpr ULONG USBD_PORT_ENABLED = 0x00000001;
inline constexpr ULONG USBD_PORT_CONNECTED = 0x00000002;
