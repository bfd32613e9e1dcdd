// IRPs: the stack walk of completion, STATUS_MORE_PROCESSING_REQUIRED
// ownership, built requests, cancellation; and the registry routines.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <string>
#include <vector>

#include "kernel/kernel.h"

using namespace std::chrono_literals;
using torvex::platform::Kernel;
using torvex::platform::RelativeTime;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

constexpr ULONG kIoctl = 0x220003;

// A lower driver whose behaviour each test sets: complete at once, or pend and
// be completed later (by the test or by cancellation).
struct LowerDriver {
  enum Mode { CompleteNow, Pend, PendCancelable } mode = CompleteNow;
  NTSTATUS status = STATUS_SUCCESS;
  PIRP held = nullptr;
  ULONG seenCode = 0;
  PVOID seenArgument = nullptr;
};
LowerDriver* g_lower = nullptr;  // the one lower driver of the current test

VOID LowerCancel(PDEVICE_OBJECT, PIRP irp) {
  IoReleaseCancelSpinLock(irp->CancelIrql);
  g_lower->held = nullptr;
  irp->IoStatus.Status = STATUS_CANCELLED;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS LowerDispatch(PDEVICE_OBJECT, PIRP irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(irp);
  g_lower->seenCode = stack->Parameters.DeviceIoControl.IoControlCode;
  g_lower->seenArgument = stack->Parameters.Others.Argument1;
  if (g_lower->mode == LowerDriver::CompleteNow) {
    irp->IoStatus.Status = g_lower->status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return g_lower->status;
  }
  IoMarkIrpPending(irp);
  g_lower->held = irp;
  if (g_lower->mode == LowerDriver::PendCancelable) IoSetCancelRoutine(irp, LowerCancel);
  return STATUS_PENDING;
}

class IoTest : public ::testing::Test {
 public:
  IoTest() {
    g_lower = &lower;
    driver.MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] = LowerDispatch;
    EXPECT_EQ(IoCreateDevice(&driver, 16, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &device), STATUS_SUCCESS);
  }
  ~IoTest() override {
    IoDeleteDevice(device);
    kernel.runUntilIdle();
    EXPECT_THAT(kernel.violations(), IsEmpty());
    EXPECT_EQ(kernel.leakReport(), "");
    g_lower = nullptr;
  }
  // Completes the held IRP with `status`.
  void completeHeld(NTSTATUS status) {
    PIRP irp = lower.held;
    lower.held = nullptr;
    if (IoSetCancelRoutine(irp, nullptr) == nullptr && lower.mode == LowerDriver::PendCancelable) return;
    irp->IoStatus.Status = status;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
  }
  void expectViolation(const std::string& text) {
    EXPECT_THAT(kernel.violations(), ElementsAre(HasSubstr(text)));
    kernel.clearViolations();
  }

  Kernel kernel{{.workerThreads = 2, .performanceFrequency = 3'579'545, .printViolations = false}};
  LowerDriver lower;
  DRIVER_OBJECT driver{};
  PDEVICE_OBJECT device = nullptr;
};

struct CompletionRecord {
  int calls = 0;
  NTSTATUS seen = 0;
  BOOLEAN pendingReturned = FALSE;
  NTSTATUS returnValue = STATUS_MORE_PROCESSING_REQUIRED;
};
NTSTATUS RecordCompletion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
  auto* r = static_cast<CompletionRecord*>(context);
  r->calls++;
  r->seen = irp->IoStatus.Status;
  r->pendingReturned = irp->PendingReturned;
  return r->returnValue;
}

TEST_F(IoTest, OwnerKeepsItsIrpThroughMoreProcessingRequiredAndMayReuseIt) {
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(device->StackSize + 1), FALSE);
  ASSERT_NE(irp, nullptr);
  int urb = 0;
  CompletionRecord record;
  for (NTSTATUS status : {STATUS_SUCCESS, STATUS_DEVICE_DATA_ERROR}) {
    lower.status = status;
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
    next->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
    next->Parameters.DeviceIoControl.IoControlCode = kIoctl;
    next->Parameters.Others.Argument1 = &urb;
    IoSetCompletionRoutine(irp, RecordCompletion, &record, TRUE, TRUE, TRUE);
    EXPECT_EQ(IoCallDriver(device, irp), status);
    EXPECT_EQ(record.seen, status);
    EXPECT_EQ(lower.seenCode, kIoctl);
    EXPECT_EQ(lower.seenArgument, &urb);
    IoReuseIrp(irp, STATUS_SUCCESS);
  }
  EXPECT_EQ(record.calls, 2);
  IoFreeIrp(irp);
}

struct InvokeCase {
  NTSTATUS status;
  bool cancel;
  BOOLEAN onSuccess, onError, onCancel;
  int expectedCalls;
};
class CompletionFlagsTest : public IoTest, public ::testing::WithParamInterface<InvokeCase> {};

TEST_P(CompletionFlagsTest, RoutineRunsOnlyForTheOutcomesItAskedFor) {
  const InvokeCase& c = GetParam();
  lower.mode = LowerDriver::PendCancelable;
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  device->StackSize = 2;  // room for the filter below
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  CompletionRecord record{.returnValue = STATUS_SUCCESS};
  // A filter's stack location between the caller and the lower driver.
  IoSetNextIrpStackLocation(irp);
  IoSetCompletionRoutine(irp, RecordCompletion, &record, c.onSuccess, c.onError, c.onCancel);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoGetNextIrpStackLocation(irp)->Parameters.DeviceIoControl.IoControlCode = kIoctl;
  ASSERT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  if (c.cancel) {
    EXPECT_TRUE(IoCancelIrp(irp));
  } else {
    completeHeld(c.status);
  }
  EXPECT_EQ(record.calls, c.expectedCalls);
  if (c.expectedCalls) {
    EXPECT_TRUE(record.pendingReturned);
  }
  EXPECT_EQ(KeReadStateEvent(&event), 1);
  EXPECT_EQ(iosb.Status, c.cancel ? STATUS_CANCELLED : c.status);
}

INSTANTIATE_TEST_SUITE_P(Outcomes, CompletionFlagsTest,
                         ::testing::Values(InvokeCase{STATUS_SUCCESS, false, TRUE, FALSE, FALSE, 1},
                                           InvokeCase{STATUS_SUCCESS, false, FALSE, TRUE, TRUE, 0},
                                           InvokeCase{STATUS_UNSUCCESSFUL, false, FALSE, TRUE, FALSE, 1},
                                           InvokeCase{STATUS_UNSUCCESSFUL, false, TRUE, FALSE, FALSE, 0},
                                           InvokeCase{0, true, FALSE, FALSE, TRUE, 1},
                                           InvokeCase{0, true, FALSE, TRUE, FALSE, 1},  // cancelled is an error
                                           InvokeCase{0, true, TRUE, FALSE, FALSE, 0}));

TEST_F(IoTest, BuiltRequestSignalsTheCallerAndIsFreedByTheIoManager) {
  lower.mode = LowerDriver::Pend;
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  ASSERT_NE(irp, nullptr);
  IoGetNextIrpStackLocation(irp)->Parameters.Others.Argument1 = &iosb;
  ASSERT_EQ(IoCallDriver(device, irp), STATUS_PENDING);
  EXPECT_EQ(lower.seenArgument, &iosb);
  // Completed later from a DPC, as a bus driver does.
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID self, PVOID, PVOID) { static_cast<IoTest*>(self)->completeHeld(STATUS_NO_SUCH_DEVICE); }, this);
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, RelativeTime(5ms), &dpc);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_NO_SUCH_DEVICE);
  EXPECT_EQ(kernel.now(), 50'000);
}

TEST_F(IoTest, CancelCallsTheCancelRoutineOnlyWhileOneIsSet) {
  lower.mode = LowerDriver::Pend;  // no cancel routine
  KEVENT event;
  IO_STATUS_BLOCK iosb{};
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(kIoctl, device, nullptr, 0, nullptr, 0, TRUE, &event, &iosb);
  IoCallDriver(device, irp);
  EXPECT_FALSE(IoCancelIrp(irp));
  EXPECT_TRUE(irp->Cancel);
  completeHeld(STATUS_SUCCESS);
  EXPECT_EQ(iosb.Status, STATUS_SUCCESS);
}

TEST_F(IoTest, MisusesOfIrpsAreReported) {
  // An IRP of IoAllocateIrp completed all the way up has no owner to go back to.
  PIRP irp = IoAllocateIrp(static_cast<CCHAR>(device->StackSize + 1), FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  IoCallDriver(device, irp);
  expectViolation("completed to the top");
  IoCompleteRequest(irp, IO_NO_INCREMENT);
  expectViolation("completed twice");
  IoFreeIrp(irp);

  // Freeing an IRP that a driver still holds.
  lower.mode = LowerDriver::Pend;
  irp = IoAllocateIrp(static_cast<CCHAR>(device->StackSize + 1), FALSE);
  IoGetNextIrpStackLocation(irp)->MajorFunction = IRP_MJ_INTERNAL_DEVICE_CONTROL;
  CompletionRecord record;
  IoSetCompletionRoutine(irp, RecordCompletion, &record, TRUE, TRUE, TRUE);
  IoCallDriver(device, irp);
  IoFreeIrp(irp);
  expectViolation("still holds");
  completeHeld(STATUS_SUCCESS);
  IoFreeIrp(irp);
}

// --- registry ---

const wchar_t* const kKey = L"\\REGISTRY\\Machine\\System\\CurrentControlSet\\SERVICES\\Test\\Params";

struct QueryCase {
  const char* name;
  bool keyExists;
  bool valueExists;
  ULONG relativeTo;
  ULONG flags;
  NTSTATUS expectedStatus;
  ULONG expectedValue;
};
class RegistryQueryTest : public ::testing::TestWithParam<QueryCase> {
 protected:
  Kernel kernel;
};

TEST_P(RegistryQueryTest, DirectQueryUsesTheValueOrTheDefault) {
  const QueryCase& c = GetParam();
  if (c.keyExists) kernel.registry().createKey(kKey);
  if (c.valueExists) kernel.registry().setDword(L"\\registry\\machine\\system\\currentcontrolset\\services\\test\\params\\", L"ROTATESTATE", 3);
  ULONG value = 99;
  ULONG defaultValue = 7;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | c.flags;
  table[0].Name = const_cast<PWSTR>(L"rotateState");
  table[0].EntryContext = &value;
  table[0].DefaultType = REG_DWORD;
  table[0].DefaultData = &defaultValue;
  table[0].DefaultLength = sizeof defaultValue;
  EXPECT_EQ(RtlQueryRegistryValues(c.relativeTo, kKey, table, nullptr, nullptr), c.expectedStatus);
  EXPECT_EQ(value, c.expectedValue);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, RegistryQueryTest,
    ::testing::Values(QueryCase{"present", true, true, RTL_REGISTRY_ABSOLUTE, 0, STATUS_SUCCESS, 3},
                      QueryCase{"absent_value_default", true, false, RTL_REGISTRY_ABSOLUTE, 0, STATUS_SUCCESS, 7},
                      QueryCase{"absent_key", false, false, RTL_REGISTRY_ABSOLUTE, 0, STATUS_OBJECT_NAME_NOT_FOUND, 99},
                      QueryCase{"absent_key_optional", false, false, RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, 0,
                                STATUS_SUCCESS, 7}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(RegistryTest, WrittenValuesAreVisibleOutsideAndRequiredValuesMustExist) {
  Kernel kernel{{.workerThreads = 1, .performanceFrequency = 3'579'545, .printViolations = false}};
  ULONG one = 1;
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE | RTL_REGISTRY_OPTIONAL, kKey, L"TriggerEvent", REG_DWORD, &one,
                                  sizeof one),
            STATUS_SUCCESS);
  EXPECT_EQ(kernel.registry().getDword(kKey, L"triggerevent"), 1u);
  EXPECT_EQ(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kKey, L"Bad", REG_DWORD, &one, 2), STATUS_INVALID_PARAMETER);

  ULONG value = 0;
  RTL_QUERY_REGISTRY_TABLE table[2] = {};
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT | RTL_QUERY_REGISTRY_REQUIRED;
  table[0].Name = const_cast<PWSTR>(L"Missing");
  table[0].EntryContext = &value;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr), STATUS_OBJECT_NAME_NOT_FOUND);
  table[0].Flags = RTL_QUERY_REGISTRY_DIRECT;  // not required, no default: left alone
  value = 5;
  EXPECT_EQ(RtlQueryRegistryValues(RTL_REGISTRY_ABSOLUTE, kKey, table, nullptr, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(value, 5u);

  // Registry routines belong to passive level.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  EXPECT_NE(RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kKey, L"x", REG_DWORD, &one, 4), STATUS_SUCCESS);
  KeLowerIrql(old);
  EXPECT_THAT(kernel.violations(), ElementsAre(HasSubstr("above PASSIVE_LEVEL")));
}

}  // namespace
