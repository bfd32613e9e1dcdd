// Moving video of the torvexv driver: the isochronous streaming engine, frame
// assembly and delivery, and recovery of a broken stream.
//
// Threads. Start, stop and reset run at passive level under UsbLock. Transfer
// completion (and with it frame assembly) runs on the host controller's thread
// at dispatch level, one transfer of the pipe at a time; the resubmit and
// watchdog DPCs run on the DPC thread. Decoding runs in system worker threads,
// one frame at a time under DecodeLock. Every field that more than one of these
// threads touches is read and written atomically.
//
// Transfers. PendingTransfers counts the transfers that are in flight or
// waiting for their resubmission; a transfer leaves the count only when it is
// parked (stop, error, streaming ended). So "no transfer pending" really means
// that no transfer or resubmit timer will touch the stream again.
//
// Ownership of a read. A read leaves DataQueue exactly once, by whoever takes it
// under DataQueueLock: frame delivery hands it to a FrameWorkItem, which alone
// completes it; the watchdog and the stop path complete only the reads still
// queued. So a read is completed exactly once whatever the timing.
#pragma once

#include "torvexv.h"

// Sizes and times of the video path.
inline constexpr ULONG ISO_FRAME_LIMIT_BYTES = 142240;        // reaching this is an overflow
inline constexpr ULONG ISO_SCRATCH_BYTES = 1024;              // one full-speed packet at most
inline constexpr ULONG ISO_TRANSFER_COUNT = 2;
inline constexpr LONGLONG ISO_RESUBMIT_DELAY = -20000;        // 2 ms, relative
inline constexpr LONGLONG ISO_WATCHDOG_PERIOD = -2500000;     // 250 ms, relative
inline constexpr LONGLONG ISO_BUTTON_POLL_INTERVAL = 5000000; // 0.5 s
inline constexpr LONGLONG ISO_PORT_REQUEST_TIMEOUT = -30000000;  // 3 s, relative
inline constexpr LONGLONG ISO_IDLE_POLL = -10000;             // 1 ms, relative

// Flags bits set and cleared atomically; both return the previous flags.
inline LONG IsoUsb_SetFlags(volatile LONG* flags, LONG bits) { return __atomic_fetch_or(flags, bits, __ATOMIC_SEQ_CST); }
inline LONG IsoUsb_ClearFlags(volatile LONG* flags, LONG bits) {
  return __atomic_fetch_and(flags, ~bits, __ATOMIC_SEQ_CST);
}

// One isochronous transfer kept in flight; allocated at start, reused for every
// submission, freed at stop.
struct IsoTransfer {
  StreamExtension* Stream;
  PIRP Irp;
  PURB Urb;
  PUCHAR Buffer;
  KTIMER ResubmitTimer;
  KDPC ResubmitDpc;
  AdapterExtension* Adapter;
  ULONG Packets;  // packets per transfer
  ULONG UrbSize;  // bytes of Urb
};

// Decoding of one delivered frame, queued in the stream's DecodeQueue (linked
// through WorkItem.List); owns its read until it completes it.
struct FrameWorkItem {
  StreamExtension* Stream;
  PHW_STREAM_REQUEST_BLOCK Request;
  WORK_QUEUE_ITEM WorkItem;
};

struct ResetWorkItem {
  StreamExtension* Stream;
  WORK_QUEUE_ITEM WorkItem;
};

// Streaming engine.
NTSTATUS IsoUsb_StartTransfer(AdapterExtension* adapter, StreamExtension* stream, ULONG index);
VOID IsoUsb_InitializeStreamUrb(AdapterExtension* adapter, IsoTransfer* transfer);
NTSTATUS IsoUsb_IsoIrp_Complete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
VOID ISOUSB_TransferComplete(IsoTransfer* transfer, PIRP irp);
VOID IsoUsb_IsoIrpRequestDPC(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
VOID IsoUsb_StreamTimeoutDPC(PKDPC dpc, PVOID context, PVOID argument1, PVOID argument2);
// Packets per transfer on a pipe; 0 when the pipe cannot carry a transfer.
ULONG IsoUsb_PacketsPerTransfer(const USBD_PIPE_INFORMATION* pipe, ULONG maxTransferSize);
// Sends (or sends again) a transfer that the caller has counted as pending.
VOID IsoUsb_SendTransfer(IsoTransfer* transfer);
// Arms the watchdog and starts its timer.
VOID IsoUsb_ArmWatchdog(StreamExtension* stream);
// Waits at passive level, in steps of ISO_IDLE_POLL, until *counter is 0.
VOID IsoUsb_WaitUntilZero(const volatile LONG* counter);
// Waits until no reset work item of the stream is queued or running; for the
// close of a stream, whose record must outlive them.
VOID IsoUsb_WaitForResets(StreamExtension* stream);

// Frame assembly and delivery.
ULONG IsoUsb_ProcessTransfer(IsoTransfer* transfer);
// Scans one packet of `length` bytes. Frame-start payload goes to scratch (at
// least ISO_SCRATCH_BYTES), anything else is appended to AssemblyBuffer.
VOID IsoUsb_ProcessUSBPacketOptimize(StreamExtension* stream, const UCHAR* packet, PUCHAR startSeen,
                                     PUCHAR scratch, PULONG scratchLength, ULONG length);
VOID IsoUsb_CompleteProcessVideoFrame(StreamExtension* stream, PHW_STREAM_REQUEST_BLOCK srb);
VOID IsoUsb_ProcessVideoFrameWorkItem(PVOID context);
// Decodes the stream's queued frames in order; the stream's DecodeWorkItem.
VOID IsoUsb_DecodeWorker(PVOID context);
VOID ISOUSB_CompleteRead(StreamExtension* stream, PHW_STREAM_REQUEST_BLOCK srb, NTSTATUS status, ULONG dataUsed);
LONGLONG GetStreamTime(PHW_STREAM_REQUEST_BLOCK srb, StreamExtension* stream);
LONGLONG GetSystemTime();
// Resets assembly and the button poll for a start (dropPending) or a restart,
// and clears TriggerEvent.
VOID IsoUsb_ResetAssembly(StreamExtension* stream, BOOLEAN dropPending);
// Completes every read still waiting in the stream's DataQueue as cancelled.
VOID IsoUsb_CancelWaitingReads(StreamExtension* stream);
// Bytes the decoder writes for one frame in the given format (biCompression).
ULONG IsoUsb_DecodedBytes(const DcmpContext* decoder, ULONG compression);

// Recovery.
VOID IsoUsb_ResetWorkItem(PVOID context);
NTSTATUS IsoUsb_ResetStream(AdapterExtension* adapter, StreamExtension* stream);
NTSTATUS USBCAMD_GetPortStatus(AdapterExtension* adapter, PULONG portStatus);
NTSTATUS USBCAMD_EnablePort(AdapterExtension* adapter);
NTSTATUS IsoUsb_ResetPipe(AdapterExtension* adapter, PUSBD_PIPE_INFORMATION pipe);
NTSTATUS IsoUsb_AbortPipe(AdapterExtension* adapter, PUSBD_PIPE_INFORMATION pipe);
NTSTATUS IsoUsb_RestartIsoStream(AdapterExtension* adapter, StreamExtension* stream);
NTSTATUS IsoUsb_RestartTransfer(AdapterExtension* adapter, StreamExtension* stream, ULONG index);
