// A toy minidriver for the class-model tests: one capture stream, device
// requests serialised by a busy flag and a queue (as a real minidriver does
// without class synchronisation), reads queued through their IRP, and switches
// that make it break the request protocol on purpose.
#pragma once

#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "ks/stream_class.h"

namespace toy {

enum class Fault {
  None,
  CompleteTwice,        // completes SRB_PAGING_OUT_DRIVER twice
  CompleteUnknown,      // completes a block the class never sent, then the real one
  LeaveStatusPending,   // completes SRB_PAGING_OUT_DRIVER with STATUS_PENDING
  OverreportBytes,      // a device property get reports 8 bytes more than the buffer
  DropRead,             // a read is neither queued nor completed
  WrongNotification,    // completes a get-state first as a device request
};

struct Config {
  ULONG initSize = sizeof(HW_INITIALIZATION_DATA);
  bool withReceivePacket = true;
  BOOLEAN turnOffSynchronization = TRUE;
  bool callRegister = true;
  bool holdFirstPropertyGet = false;  // the first property get waits until another request is queued
  bool queryPortStatus = false;       // initialise asks the lower device for its USB port status
  Fault fault = Fault::None;
};

// Shared between the test and the toy (both sides lock).
struct Log {
  std::mutex mutex;
  std::vector<std::pair<SRB_COMMAND, std::thread::id>> processed;  // device requests, in processing order
  PDEVICE_OBJECT physicalDevice = nullptr;
  DEVICE_POWER_STATE powerState = PowerDeviceUnspecified;
  int timeouts = 0;
  int cancels = 0;
  int deviceRequestsSeen = 0;
  NTSTATUS portStatusResult = STATUS_PENDING;
  ULONG portStatus = 0;
};

extern Config gConfig;
extern Log gLog;

void Reset();
NTSTATUS DriverEntry(PDRIVER_OBJECT driverObject, PUNICODE_STRING registryPath);
// Gives the oldest queued read of the stream a frame of `bytes` bytes of value
// `fill`, stamped from the stream's master clock, and completes it. Returns false
// when no read is queued.
bool DeliverFrame(PHW_STREAM_OBJECT stream, ULONG bytes, UCHAR fill);
// Takes the oldest queued read out of the queue (as for decoding: a cancel no
// longer finds it); Finish completes it with success and no data.
PHW_STREAM_REQUEST_BLOCK TakeOldestRead(PHW_STREAM_OBJECT stream);
void Finish(PHW_STREAM_REQUEST_BLOCK read);

}  // namespace toy
