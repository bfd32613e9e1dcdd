// Kernel services in the style of the Windows kernel, for the driver and the
// other platform stand-ins. Names, values and calling conventions follow the
// published kernel interface; the implementation lives in the Kernel object
// (kernel/kernel.h), which owns the clock, the threads, the pool and the
// registry. See kernel/kernel.h for how time, DPCs, worker threads, idle
// detection and IRQL work.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

// ---------------------------------------------------------------------------
// Basic types (ULONG is 32-bit as on Windows; pointers are 64-bit).

typedef void VOID;
typedef void* PVOID;
typedef char CHAR;
typedef CHAR* PCHAR;
typedef const CHAR* PCSTR;
typedef char CCHAR;
typedef uint8_t UCHAR;
typedef UCHAR* PUCHAR;
typedef uint8_t BOOLEAN;
typedef BOOLEAN* PBOOLEAN;
typedef int16_t SHORT;
typedef int16_t CSHORT;
typedef uint16_t USHORT;
typedef USHORT* PUSHORT;
typedef int32_t LONG;
typedef LONG* PLONG;
typedef uint32_t ULONG;
typedef ULONG* PULONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uint64_t ULONG64;
typedef uintptr_t ULONG_PTR;
typedef intptr_t LONG_PTR;
typedef size_t SIZE_T;
typedef wchar_t WCHAR;  // wide strings are written as L"..." literals
typedef WCHAR* PWSTR;
typedef const WCHAR* PCWSTR;
typedef WCHAR* PWCHAR;
typedef LONG NTSTATUS;
typedef UCHAR KIRQL;
typedef KIRQL* PKIRQL;
typedef CCHAR KPROCESSOR_MODE;
typedef ULONG DEVICE_TYPE;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define UNREFERENCED_PARAMETER(P) ((void)(P))

typedef union _LARGE_INTEGER {
  struct {
    ULONG LowPart;
    LONG HighPart;
  } u;
  LONGLONG QuadPart;
} LARGE_INTEGER, *PLARGE_INTEGER;

typedef union _ULARGE_INTEGER {
  struct {
    ULONG LowPart;
    ULONG HighPart;
  } u;
  ULONGLONG QuadPart;
} ULARGE_INTEGER, *PULARGE_INTEGER;

static_assert(sizeof(LARGE_INTEGER) == 8);

// ---------------------------------------------------------------------------
// Status values.

inline constexpr bool NT_SUCCESS(NTSTATUS status) { return status >= 0; }

#define TORVEX_NTSTATUS(v) static_cast<NTSTATUS>(static_cast<ULONG>(v))
inline constexpr NTSTATUS STATUS_SUCCESS = 0;
inline constexpr NTSTATUS STATUS_WAIT_0 = 0;
inline constexpr NTSTATUS STATUS_ALERTED = 0x101;
inline constexpr NTSTATUS STATUS_TIMEOUT = 0x102;
inline constexpr NTSTATUS STATUS_PENDING = 0x103;
inline constexpr NTSTATUS STATUS_BUFFER_OVERFLOW = TORVEX_NTSTATUS(0x80000005);
inline constexpr NTSTATUS STATUS_DEVICE_BUSY = TORVEX_NTSTATUS(0x80000011);
inline constexpr NTSTATUS STATUS_NO_DATA_DETECTED = TORVEX_NTSTATUS(0x80000022);
inline constexpr NTSTATUS STATUS_UNSUCCESSFUL = TORVEX_NTSTATUS(0xC0000001);
inline constexpr NTSTATUS STATUS_NOT_IMPLEMENTED = TORVEX_NTSTATUS(0xC0000002);
inline constexpr NTSTATUS STATUS_INVALID_PARAMETER = TORVEX_NTSTATUS(0xC000000D);
inline constexpr NTSTATUS STATUS_NO_SUCH_DEVICE = TORVEX_NTSTATUS(0xC000000E);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_REQUEST = TORVEX_NTSTATUS(0xC0000010);
inline constexpr NTSTATUS STATUS_MORE_PROCESSING_REQUIRED = TORVEX_NTSTATUS(0xC0000016);
inline constexpr NTSTATUS STATUS_NO_MEMORY = TORVEX_NTSTATUS(0xC0000017);
inline constexpr NTSTATUS STATUS_ACCESS_DENIED = TORVEX_NTSTATUS(0xC0000022);
inline constexpr NTSTATUS STATUS_BUFFER_TOO_SMALL = TORVEX_NTSTATUS(0xC0000023);
inline constexpr NTSTATUS STATUS_OBJECT_TYPE_MISMATCH = TORVEX_NTSTATUS(0xC0000024);
inline constexpr NTSTATUS STATUS_OBJECT_NAME_NOT_FOUND = TORVEX_NTSTATUS(0xC0000034);
inline constexpr NTSTATUS STATUS_SEMAPHORE_LIMIT_EXCEEDED = TORVEX_NTSTATUS(0xC0000047);
inline constexpr NTSTATUS STATUS_DELETE_PENDING = TORVEX_NTSTATUS(0xC0000056);
inline constexpr NTSTATUS STATUS_INSUFFICIENT_RESOURCES = TORVEX_NTSTATUS(0xC000009A);
inline constexpr NTSTATUS STATUS_DEVICE_DATA_ERROR = TORVEX_NTSTATUS(0xC000009C);
inline constexpr NTSTATUS STATUS_DEVICE_NOT_CONNECTED = TORVEX_NTSTATUS(0xC000009D);
inline constexpr NTSTATUS STATUS_DEVICE_NOT_READY = TORVEX_NTSTATUS(0xC00000A3);
inline constexpr NTSTATUS STATUS_IO_TIMEOUT = TORVEX_NTSTATUS(0xC00000B5);
inline constexpr NTSTATUS STATUS_NOT_SUPPORTED = TORVEX_NTSTATUS(0xC00000BB);
inline constexpr NTSTATUS STATUS_CANCELLED = TORVEX_NTSTATUS(0xC0000120);
inline constexpr NTSTATUS STATUS_INVALID_DEVICE_STATE = TORVEX_NTSTATUS(0xC0000184);
inline constexpr NTSTATUS STATUS_INVALID_BUFFER_SIZE = TORVEX_NTSTATUS(0xC0000206);
inline constexpr NTSTATUS STATUS_NO_MATCH = TORVEX_NTSTATUS(0xC0000272);

// ---------------------------------------------------------------------------
// Interrupt request levels and processor modes.

inline constexpr KIRQL PASSIVE_LEVEL = 0;
inline constexpr KIRQL APC_LEVEL = 1;
inline constexpr KIRQL DISPATCH_LEVEL = 2;
inline constexpr KPROCESSOR_MODE KernelMode = 0;
inline constexpr KPROCESSOR_MODE UserMode = 1;

KIRQL KeGetCurrentIrql();
VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql);
VOID KeLowerIrql(KIRQL newIrql);
KIRQL KeRaiseIrqlToDpcLevel();

// ---------------------------------------------------------------------------
// Doubly linked lists.

typedef struct _LIST_ENTRY {
  struct _LIST_ENTRY* Flink;
  struct _LIST_ENTRY* Blink;
} LIST_ENTRY, *PLIST_ENTRY;

#define CONTAINING_RECORD(address, type, field) \
  (reinterpret_cast<type*>(reinterpret_cast<char*>(address) - offsetof(type, field)))

inline VOID InitializeListHead(PLIST_ENTRY head) { head->Flink = head->Blink = head; }
inline BOOLEAN IsListEmpty(const LIST_ENTRY* head) { return head->Flink == head; }
inline BOOLEAN RemoveEntryList(PLIST_ENTRY entry) {
  PLIST_ENTRY next = entry->Flink;
  PLIST_ENTRY prev = entry->Blink;
  prev->Flink = next;
  next->Blink = prev;
  return next == prev;
}
inline PLIST_ENTRY RemoveHeadList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Flink;
  RemoveEntryList(entry);
  return entry;
}
inline PLIST_ENTRY RemoveTailList(PLIST_ENTRY head) {
  PLIST_ENTRY entry = head->Blink;
  RemoveEntryList(entry);
  return entry;
}
inline VOID InsertTailList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY last = head->Blink;
  entry->Flink = head;
  entry->Blink = last;
  last->Flink = entry;
  head->Blink = entry;
}
inline VOID InsertHeadList(PLIST_ENTRY head, PLIST_ENTRY entry) {
  PLIST_ENTRY first = head->Flink;
  entry->Flink = first;
  entry->Blink = head;
  first->Blink = entry;
  head->Flink = entry;
}

// ---------------------------------------------------------------------------
// Memory helpers.

#define RtlZeroMemory(d, n) std::memset((d), 0, (n))
#define RtlFillMemory(d, n, v) std::memset((d), (v), (n))
#define RtlCopyMemory(d, s, n) std::memcpy((d), (s), (n))
#define RtlMoveMemory(d, s, n) std::memmove((d), (s), (n))
#define RtlEqualMemory(a, b, n) (std::memcmp((a), (b), (n)) == 0)
SIZE_T RtlCompareMemory(const VOID* a, const VOID* b, SIZE_T length);  // count of equal leading bytes

typedef struct _UNICODE_STRING {
  USHORT Length;         // bytes, without terminator
  USHORT MaximumLength;  // bytes
  PWSTR Buffer;
} UNICODE_STRING, *PUNICODE_STRING;
typedef const UNICODE_STRING* PCUNICODE_STRING;
VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source);

// Debug output: kept in the kernel's debug log (printed when TORVEX_KERNEL_DEBUG is set).
ULONG DbgPrint(PCSTR format, ...) __attribute__((format(printf, 1, 2)));
#define KdPrint(args) DbgPrint args

// ---------------------------------------------------------------------------
// Interlocked operations (sequentially consistent).

inline LONG InterlockedIncrement(LONG volatile* p) { return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedDecrement(LONG volatile* p) { return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchange(LONG volatile* p, LONG v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedExchangeAdd(LONG volatile* p, LONG v) { return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST); }
inline LONG InterlockedCompareExchange(LONG volatile* p, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}
inline PVOID InterlockedExchangePointer(PVOID volatile* p, PVOID v) { return __atomic_exchange_n(p, v, __ATOMIC_SEQ_CST); }
inline PVOID InterlockedCompareExchangePointer(PVOID volatile* p, PVOID exchange, PVOID comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}

// ---------------------------------------------------------------------------
// Dispatcher objects: events, semaphores, timers. Their state is guarded by the
// kernel's dispatcher lock; WaitListHead links the blocks of waiting threads.

typedef struct _DISPATCHER_HEADER {
  UCHAR Type;  // object kind, set by KeInitialize*; 0 = not initialised
  UCHAR Reserved[3];
  LONG SignalState;
  LIST_ENTRY WaitListHead;
} DISPATCHER_HEADER;

typedef enum _EVENT_TYPE { NotificationEvent = 0, SynchronizationEvent = 1 } EVENT_TYPE;
typedef enum _TIMER_TYPE { NotificationTimer = 0, SynchronizationTimer = 1 } TIMER_TYPE;
typedef enum _KWAIT_REASON { Executive = 0, Suspended = 5, UserRequest = 6 } KWAIT_REASON;
typedef LONG KPRIORITY;
inline constexpr KPRIORITY IO_NO_INCREMENT = 0;
inline constexpr KPRIORITY EVENT_INCREMENT = 1;
inline constexpr KPRIORITY SEMAPHORE_INCREMENT = 1;

typedef struct _KEVENT {
  DISPATCHER_HEADER Header;
} KEVENT, *PKEVENT, *PRKEVENT;

typedef struct _KSEMAPHORE {
  DISPATCHER_HEADER Header;  // SignalState is the count
  LONG Limit;
} KSEMAPHORE, *PKSEMAPHORE, *PRKSEMAPHORE;

struct _KDPC;
typedef VOID KDEFERRED_ROUTINE(struct _KDPC* Dpc, PVOID DeferredContext, PVOID SystemArgument1,
                               PVOID SystemArgument2);
typedef KDEFERRED_ROUTINE* PKDEFERRED_ROUTINE;

typedef struct _KDPC {
  UCHAR Type;
  UCHAR Importance;
  volatile UCHAR Inserted;  // queued and not yet started (guarded by the dispatcher lock)
  UCHAR Reserved;
  LIST_ENTRY DpcListEntry;
  PKDEFERRED_ROUTINE DeferredRoutine;
  PVOID DeferredContext;
  PVOID SystemArgument1;
  PVOID SystemArgument2;
} KDPC, *PKDPC, *PRKDPC;

typedef struct _KTIMER {
  DISPATCHER_HEADER Header;  // SignalState: 1 once expired, 0 when set again
  ULARGE_INTEGER DueTime;    // absolute interrupt time (100 ns) while inserted
  ULONG64 Sequence;          // orders timers due at the same time by insertion
  PKDPC Dpc;
  LONG Period;  // ms; 0 = one-shot
  BOOLEAN Inserted;
} KTIMER, *PKTIMER, *PRKTIMER;

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State);
LONG KeSetEvent(PRKEVENT Event, KPRIORITY Increment, BOOLEAN Wait);  // previous state
LONG KeResetEvent(PRKEVENT Event);                                   // previous state
VOID KeClearEvent(PRKEVENT Event);
LONG KeReadStateEvent(PRKEVENT Event);

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit);
// Returns the previous count. Releasing past the limit is reported as a platform
// violation (STATUS_SEMAPHORE_LIMIT_EXCEEDED) and leaves the count unchanged.
LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY Increment, LONG Adjustment, BOOLEAN Wait);
LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore);

// Timeout: nullptr = no time-out; negative = relative (100 ns); positive =
// absolute system time; zero = test the state only. Returns STATUS_SUCCESS or
// STATUS_TIMEOUT. Waiting with a non-zero time-out above APC_LEVEL is a violation.
NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON WaitReason, KPROCESSOR_MODE WaitMode,
                               BOOLEAN Alertable, PLARGE_INTEGER Timeout);
NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE WaitMode, BOOLEAN Alertable, PLARGE_INTEGER Interval);

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext);
BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2);  // FALSE if already queued
BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc);  // TRUE if it was queued and is now removed
VOID KeFlushQueuedDpcs();              // passive level: returns when every queued DPC has run

VOID KeInitializeTimer(PKTIMER Timer);
VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type);
// Returns TRUE if the timer was already set (it is then re-armed).
BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc);
BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG PeriodMs, PKDPC Dpc);
BOOLEAN KeCancelTimer(PKTIMER Timer);  // TRUE if it was set and had not yet expired
BOOLEAN KeReadStateTimer(PKTIMER Timer);

// ---------------------------------------------------------------------------
// Spin locks: acquiring raises the thread to DISPATCH_LEVEL.

typedef ULONG_PTR KSPIN_LOCK;
typedef KSPIN_LOCK* PKSPIN_LOCK;
VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock);
VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql);
VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql);
VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock);
VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock);

// ---------------------------------------------------------------------------
// Time.

// The performance counter runs at the kernel's configured frequency (default 3,579,545 Hz).
LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency);
VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime);  // 100 ns since 1601 (virtual)
ULONGLONG KeQueryInterruptTime();                    // 100 ns since the kernel started (virtual)

// ---------------------------------------------------------------------------
// Pool.

typedef enum _POOL_TYPE { NonPagedPool = 0, PagedPool = 1, NonPagedPoolMustSucceed = 2 } POOL_TYPE;
PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag);
PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes);  // tag 'None'
VOID ExFreePool(PVOID P);
VOID ExFreePoolWithTag(PVOID P, ULONG Tag);  // a tag that does not match is a violation

// ---------------------------------------------------------------------------
// Work items. Both forms run the routine on a system worker thread at PASSIVE_LEVEL.

typedef enum _WORK_QUEUE_TYPE { CriticalWorkQueue = 0, DelayedWorkQueue = 1, HyperCriticalWorkQueue = 2 } WORK_QUEUE_TYPE;
typedef VOID WORKER_THREAD_ROUTINE(PVOID Parameter);
typedef WORKER_THREAD_ROUTINE* PWORKER_THREAD_ROUTINE;
typedef struct _WORK_QUEUE_ITEM {
  LIST_ENTRY List;
  PWORKER_THREAD_ROUTINE WorkerRoutine;
  PVOID Parameter;
} WORK_QUEUE_ITEM, *PWORK_QUEUE_ITEM;
inline VOID ExInitializeWorkItem(PWORK_QUEUE_ITEM item, PWORKER_THREAD_ROUTINE routine, PVOID parameter) {
  item->WorkerRoutine = routine;
  item->Parameter = parameter;
  item->List.Flink = nullptr;
  item->List.Blink = nullptr;
}
VOID ExQueueWorkItem(PWORK_QUEUE_ITEM WorkItem, WORK_QUEUE_TYPE QueueType);

struct _DEVICE_OBJECT;
typedef struct _IO_WORKITEM* PIO_WORKITEM;  // opaque, pool tag 'IoWk'
typedef VOID IO_WORKITEM_ROUTINE(struct _DEVICE_OBJECT* DeviceObject, PVOID Context);
typedef IO_WORKITEM_ROUTINE* PIO_WORKITEM_ROUTINE;
PIO_WORKITEM IoAllocateWorkItem(struct _DEVICE_OBJECT* DeviceObject);
VOID IoFreeWorkItem(PIO_WORKITEM IoWorkItem);
VOID IoQueueWorkItem(PIO_WORKITEM IoWorkItem, PIO_WORKITEM_ROUTINE WorkerRoutine, WORK_QUEUE_TYPE QueueType,
                     PVOID Context);

// ---------------------------------------------------------------------------
// I/O: device and driver objects, IRPs and their stack locations.

typedef struct _IO_STATUS_BLOCK {
  union {
    NTSTATUS Status;
    PVOID Pointer;
  };
  ULONG_PTR Information;
} IO_STATUS_BLOCK, *PIO_STATUS_BLOCK;

typedef struct _MDL* PMDL;               // not used by this system's drivers
typedef struct _FILE_OBJECT* PFILE_OBJECT;  // opaque
typedef struct _IRP IRP, *PIRP;
typedef struct _DEVICE_OBJECT DEVICE_OBJECT, *PDEVICE_OBJECT;
typedef struct _DRIVER_OBJECT DRIVER_OBJECT, *PDRIVER_OBJECT;

typedef NTSTATUS DRIVER_DISPATCH(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_DISPATCH* PDRIVER_DISPATCH;
typedef NTSTATUS IO_COMPLETION_ROUTINE(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context);
typedef IO_COMPLETION_ROUTINE* PIO_COMPLETION_ROUTINE;
typedef VOID DRIVER_CANCEL(PDEVICE_OBJECT DeviceObject, PIRP Irp);
typedef DRIVER_CANCEL* PDRIVER_CANCEL;
typedef NTSTATUS DRIVER_INITIALIZE(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath);
typedef DRIVER_INITIALIZE* PDRIVER_INITIALIZE;
typedef NTSTATUS DRIVER_ADD_DEVICE(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT PhysicalDeviceObject);
typedef DRIVER_ADD_DEVICE* PDRIVER_ADD_DEVICE;
typedef VOID DRIVER_UNLOAD(PDRIVER_OBJECT DriverObject);
typedef DRIVER_UNLOAD* PDRIVER_UNLOAD;

inline constexpr UCHAR IRP_MJ_CREATE = 0x00;
inline constexpr UCHAR IRP_MJ_CLOSE = 0x02;
inline constexpr UCHAR IRP_MJ_READ = 0x03;
inline constexpr UCHAR IRP_MJ_WRITE = 0x04;
inline constexpr UCHAR IRP_MJ_DEVICE_CONTROL = 0x0e;
inline constexpr UCHAR IRP_MJ_INTERNAL_DEVICE_CONTROL = 0x0f;
inline constexpr UCHAR IRP_MJ_CLEANUP = 0x12;
inline constexpr UCHAR IRP_MJ_POWER = 0x16;
inline constexpr UCHAR IRP_MJ_SYSTEM_CONTROL = 0x17;
inline constexpr UCHAR IRP_MJ_PNP = 0x1b;
inline constexpr UCHAR IRP_MJ_MAXIMUM_FUNCTION = 0x1b;

inline constexpr UCHAR SL_PENDING_RETURNED = 0x01;
inline constexpr UCHAR SL_INVOKE_ON_CANCEL = 0x20;
inline constexpr UCHAR SL_INVOKE_ON_SUCCESS = 0x40;
inline constexpr UCHAR SL_INVOKE_ON_ERROR = 0x80;

// Control codes.
inline constexpr ULONG METHOD_BUFFERED = 0;
inline constexpr ULONG METHOD_IN_DIRECT = 1;
inline constexpr ULONG METHOD_OUT_DIRECT = 2;
inline constexpr ULONG METHOD_NEITHER = 3;
inline constexpr ULONG FILE_ANY_ACCESS = 0;
inline constexpr DEVICE_TYPE FILE_DEVICE_UNKNOWN = 0x22;
inline constexpr ULONG CTL_CODE(ULONG deviceType, ULONG function, ULONG method, ULONG access) {
  return (deviceType << 16) | (access << 14) | (function << 2) | method;
}

typedef struct _IO_STACK_LOCATION {
  UCHAR MajorFunction;
  UCHAR MinorFunction;
  UCHAR Flags;
  UCHAR Control;
  union {
    struct {
      ULONG OutputBufferLength;
      alignas(8) ULONG InputBufferLength;
      alignas(8) ULONG IoControlCode;
      PVOID Type3InputBuffer;
    } DeviceIoControl;
    struct {
      ULONG Length;
      alignas(8) ULONG Key;
      LARGE_INTEGER ByteOffset;
    } Read;
    struct {
      PVOID Argument1;
      PVOID Argument2;
      PVOID Argument3;
      PVOID Argument4;
    } Others;
  } Parameters;
  PDEVICE_OBJECT DeviceObject;
  PFILE_OBJECT FileObject;
  PIO_COMPLETION_ROUTINE CompletionRoutine;
  PVOID Context;
} IO_STACK_LOCATION, *PIO_STACK_LOCATION;

struct _IRP {
  CSHORT Type;
  USHORT Size;
  PMDL MdlAddress;
  ULONG Flags;
  union {
    PIRP MasterIrp;
    LONG IrpCount;
    PVOID SystemBuffer;
  } AssociatedIrp;
  IO_STATUS_BLOCK IoStatus;
  KPROCESSOR_MODE RequestorMode;
  BOOLEAN PendingReturned;
  CHAR StackCount;
  CHAR CurrentLocation;  // StackCount + 1 when new; the first driver sees StackCount
  BOOLEAN Cancel;        // set by IoCancelIrp under the cancel spin lock
  KIRQL CancelIrql;
  UCHAR AllocationFlags;  // platform: how the IRP was made (see IoBuildDeviceIoControlRequest)
  PIO_STATUS_BLOCK UserIosb;
  PKEVENT UserEvent;
  PDRIVER_CANCEL CancelRoutine;  // change only with IoSetCancelRoutine
  PVOID UserBuffer;
  union {
    struct {
      PVOID DriverContext[4];
      LIST_ENTRY ListEntry;
      PIO_STACK_LOCATION CurrentStackLocation;
    } Overlay;
  } Tail;
  // StackCount IO_STACK_LOCATIONs follow in the same allocation.
};

inline constexpr CSHORT IO_TYPE_IRP = 6;
inline constexpr CSHORT IO_TYPE_DEVICE = 3;
inline constexpr CSHORT IO_TYPE_DRIVER = 4;

inline constexpr ULONG DO_BUFFERED_IO = 0x00000004;
inline constexpr ULONG DO_DIRECT_IO = 0x00000010;
inline constexpr ULONG DO_DEVICE_INITIALIZING = 0x00000080;
inline constexpr ULONG DO_POWER_PAGABLE = 0x00002000;

struct _DEVICE_OBJECT {
  CSHORT Type;
  USHORT Size;
  LONG ReferenceCount;
  PDRIVER_OBJECT DriverObject;
  PDEVICE_OBJECT NextDevice;      // next device of the same driver
  PDEVICE_OBJECT AttachedDevice;  // the device attached on top of this one
  PIRP CurrentIrp;
  ULONG Flags;
  ULONG Characteristics;
  PVOID DeviceExtension;
  DEVICE_TYPE DeviceType;
  CCHAR StackSize;  // stack locations an IRP sent to this device needs
  PDEVICE_OBJECT AttachedTo;  // platform: the device this one was attached on top of
};

typedef struct _DRIVER_EXTENSION {
  PDRIVER_OBJECT DriverObject;
  PDRIVER_ADD_DEVICE AddDevice;
  ULONG Count;
  UNICODE_STRING ServiceKeyName;
} DRIVER_EXTENSION, *PDRIVER_EXTENSION;

struct _DRIVER_OBJECT {
  CSHORT Type;
  CSHORT Size;
  PDEVICE_OBJECT DeviceObject;  // first device created by the driver
  ULONG Flags;
  PDRIVER_EXTENSION DriverExtension;
  UNICODE_STRING DriverName;
  PDRIVER_INITIALIZE DriverInit;
  PDRIVER_UNLOAD DriverUnload;
  PDRIVER_DISPATCH MajorFunction[IRP_MJ_MAXIMUM_FUNCTION + 1];
};

// Stack location helpers.
inline PIO_STACK_LOCATION IoGetCurrentIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation; }
inline PIO_STACK_LOCATION IoGetNextIrpStackLocation(PIRP irp) { return irp->Tail.Overlay.CurrentStackLocation - 1; }
inline VOID IoSetNextIrpStackLocation(PIRP irp) {
  irp->CurrentLocation--;
  irp->Tail.Overlay.CurrentStackLocation--;
}
inline VOID IoSkipCurrentIrpStackLocation(PIRP irp) {
  irp->CurrentLocation++;
  irp->Tail.Overlay.CurrentStackLocation++;
}
inline VOID IoCopyCurrentIrpStackLocationToNext(PIRP irp) {
  PIO_STACK_LOCATION current = IoGetCurrentIrpStackLocation(irp);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  std::memcpy(next, current, offsetof(IO_STACK_LOCATION, CompletionRoutine));
  next->Control = 0;
}
inline VOID IoMarkIrpPending(PIRP irp) { IoGetCurrentIrpStackLocation(irp)->Control |= SL_PENDING_RETURNED; }
inline VOID IoSetCompletionRoutine(PIRP irp, PIO_COMPLETION_ROUTINE routine, PVOID context, BOOLEAN onSuccess,
                                   BOOLEAN onError, BOOLEAN onCancel) {
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->CompletionRoutine = routine;
  next->Context = context;
  next->Control = 0;
  if (onSuccess) next->Control |= SL_INVOKE_ON_SUCCESS;
  if (onError) next->Control |= SL_INVOKE_ON_ERROR;
  if (onCancel) next->Control |= SL_INVOKE_ON_CANCEL;
}
inline PDRIVER_CANCEL IoSetCancelRoutine(PIRP irp, PDRIVER_CANCEL routine) {
  return __atomic_exchange_n(&irp->CancelRoutine, routine, __ATOMIC_SEQ_CST);
}
inline SIZE_T IoSizeOfIrp(CCHAR stackSize) {
  return sizeof(IRP) + static_cast<SIZE_T>(stackSize) * sizeof(IO_STACK_LOCATION);
}

// IRPs made by IoAllocateIrp belong to the caller: its completion routine must
// return STATUS_MORE_PROCESSING_REQUIRED and the caller frees the IRP with
// IoFreeIrp (pool tag 'Irp '). IRPs made by IoBuildDeviceIoControlRequest belong
// to the I/O manager: when completion reaches the top it copies IoStatus to the
// caller's status block, signals the caller's event and frees the IRP.
PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota);
VOID IoInitializeIrp(PIRP Irp, USHORT PacketSize, CCHAR StackSize);
VOID IoReuseIrp(PIRP Irp, NTSTATUS Status);
VOID IoFreeIrp(PIRP Irp);
PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                   ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl, PKEVENT Event, PIO_STATUS_BLOCK IoStatusBlock);
NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp);
inline NTSTATUS IoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) { return IofCallDriver(DeviceObject, Irp); }
VOID IofCompleteRequest(PIRP Irp, KPRIORITY PriorityBoost);
inline VOID IoCompleteRequest(PIRP Irp, KPRIORITY PriorityBoost) { IofCompleteRequest(Irp, PriorityBoost); }
BOOLEAN IoCancelIrp(PIRP Irp);  // TRUE if a cancel routine was called
VOID IoAcquireCancelSpinLock(PKIRQL Irql);
VOID IoReleaseCancelSpinLock(KIRQL Irql);

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize, PUNICODE_STRING DeviceName,
                        DEVICE_TYPE DeviceType, ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT* DeviceObject);  // pool tag 'Devo'; the extension is zeroed
VOID IoDeleteDevice(PDEVICE_OBJECT DeviceObject);
// Attaches source on top of the highest device of target's stack; sets
// source->StackSize to that device's StackSize + 1 and returns that device.
PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice, PDEVICE_OBJECT TargetDevice);
VOID IoDetachDevice(PDEVICE_OBJECT TargetDevice);

// ---------------------------------------------------------------------------
// Registry (in memory, kept by the kernel; readable and settable from outside).

inline constexpr ULONG REG_NONE = 0;
inline constexpr ULONG REG_SZ = 1;
inline constexpr ULONG REG_BINARY = 3;
inline constexpr ULONG REG_DWORD = 4;

inline constexpr ULONG RTL_REGISTRY_ABSOLUTE = 0;
inline constexpr ULONG RTL_REGISTRY_SERVICES = 1;
inline constexpr ULONG RTL_REGISTRY_CONTROL = 2;
inline constexpr ULONG RTL_REGISTRY_WINDOWS_NT = 3;
inline constexpr ULONG RTL_REGISTRY_DEVICEMAP = 4;
inline constexpr ULONG RTL_REGISTRY_USER = 5;
inline constexpr ULONG RTL_REGISTRY_HANDLE = 0x40000000;
inline constexpr ULONG RTL_REGISTRY_OPTIONAL = 0x80000000;

inline constexpr ULONG RTL_QUERY_REGISTRY_SUBKEY = 0x00000001;
inline constexpr ULONG RTL_QUERY_REGISTRY_TOPKEY = 0x00000002;
inline constexpr ULONG RTL_QUERY_REGISTRY_REQUIRED = 0x00000004;
inline constexpr ULONG RTL_QUERY_REGISTRY_NOVALUE = 0x00000008;
inline constexpr ULONG RTL_QUERY_REGISTRY_NOEXPAND = 0x00000010;
inline constexpr ULONG RTL_QUERY_REGISTRY_DIRECT = 0x00000020;
inline constexpr ULONG RTL_QUERY_REGISTRY_DELETE = 0x00000040;

typedef NTSTATUS RTL_QUERY_REGISTRY_ROUTINE(PWSTR ValueName, ULONG ValueType, PVOID ValueData, ULONG ValueLength,
                                            PVOID Context, PVOID EntryContext);
typedef RTL_QUERY_REGISTRY_ROUTINE* PRTL_QUERY_REGISTRY_ROUTINE;

typedef struct _RTL_QUERY_REGISTRY_TABLE {
  PRTL_QUERY_REGISTRY_ROUTINE QueryRoutine;
  ULONG Flags;
  PWSTR Name;
  PVOID EntryContext;
  ULONG DefaultType;
  PVOID DefaultData;
  ULONG DefaultLength;
} RTL_QUERY_REGISTRY_TABLE, *PRTL_QUERY_REGISTRY_TABLE;

// Supports RTL_REGISTRY_ABSOLUTE (optionally | RTL_REGISTRY_OPTIONAL) and
// RTL_REGISTRY_SERVICES paths, REG_DWORD values, direct queries with defaults
// and query routines. A missing key is an error unless RTL_REGISTRY_OPTIONAL is
// given; it is then read as an empty key (defaults apply).
NTSTATUS RtlQueryRegistryValues(ULONG RelativeTo, PCWSTR Path, PRTL_QUERY_REGISTRY_TABLE QueryTable, PVOID Context,
                                PVOID Environment);
// Writes the value, creating the key (and its parents) when missing.
NTSTATUS RtlWriteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName, ULONG ValueType, PVOID ValueData,
                               ULONG ValueLength);
NTSTATUS RtlDeleteRegistryValue(ULONG RelativeTo, PCWSTR Path, PCWSTR ValueName);
NTSTATUS RtlCreateRegistryKey(ULONG RelativeTo, PWSTR Path);
NTSTATUS RtlCheckRegistryKey(ULONG RelativeTo, PWSTR Path);
