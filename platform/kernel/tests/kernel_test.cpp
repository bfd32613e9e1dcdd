// Kernel services: clock, timers and DPCs, waits, semaphores, IRQL checks,
// spin locks, work items, IRPs, pool and registry.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <string>
#include <vector>

#include "kernel/kernel.h"

using namespace std::chrono_literals;
using torvex::platform::Duration;
using torvex::platform::Kernel;
using torvex::platform::KernelThread;
using torvex::platform::RelativeTime;
using ::testing::ElementsAre;
using ::testing::HasSubstr;
using ::testing::IsEmpty;

namespace {

constexpr ULONG kTag = 0x206D6457;  // "Wdm "

class KernelTest : public ::testing::Test {
 protected:
  void TearDown() override {
    kernel.runUntilIdle();
    EXPECT_THAT(kernel.violations(), IsEmpty());
    EXPECT_EQ(kernel.leakReport(), "");
  }
  // Expects exactly one violation containing `text` and forgets it.
  void expectViolation(const std::string& text) {
    kernel.runUntilIdle();
    EXPECT_THAT(kernel.violations(), ElementsAre(HasSubstr(text)));
    kernel.clearViolations();
  }
  Kernel kernel{{.workerThreads = 3, .performanceFrequency = 3'579'545, .printViolations = false}};
};

// Records DPC runs: which DPC ran, at what time and IRQL.
struct DpcLog {
  std::mutex mu;
  std::vector<std::string> names;
  std::vector<int64_t> times;
  std::vector<KIRQL> irqls;
};
struct NamedDpc {
  KDPC dpc;
  KTIMER timer;
  std::string name;
  DpcLog* log;
};
VOID LogDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* d = static_cast<NamedDpc*>(context);
  std::lock_guard lock(d->log->mu);
  d->log->names.push_back(d->name);
  d->log->times.push_back(Kernel::current().now());
  d->log->irqls.push_back(KeGetCurrentIrql());
}

TEST_F(KernelTest, TimersFireInDueOrderAtDispatchLevelAndOnlyWhenTheClockMoves) {
  DpcLog log;
  NamedDpc dpcs[4] = {{{}, {}, "30ms", &log}, {{}, {}, "10ms", &log}, {{}, {}, "20ms-a", &log}, {{}, {}, "20ms-b", &log}};
  const int64_t dueMs[4] = {30, 10, 20, 20};
  for (int i = 0; i < 4; ++i) {
    KeInitializeDpc(&dpcs[i].dpc, LogDpc, &dpcs[i]);
    KeInitializeTimer(&dpcs[i].timer);
    EXPECT_FALSE(KeSetTimer(&dpcs[i].timer, RelativeTime(Duration(dueMs[i] * 10'000)), &dpcs[i].dpc));
  }
  kernel.runUntilIdle();
  EXPECT_THAT(log.names, IsEmpty());
  kernel.advance(15ms);
  EXPECT_THAT(log.names, ElementsAre("10ms"));
  EXPECT_TRUE(KeReadStateTimer(&dpcs[1].timer));
  EXPECT_FALSE(KeReadStateTimer(&dpcs[0].timer));
  kernel.advance(100ms);
  EXPECT_THAT(log.names, ElementsAre("10ms", "20ms-a", "20ms-b", "30ms"));
  EXPECT_THAT(log.times, ElementsAre(100'000, 200'000, 200'000, 300'000));
  EXPECT_THAT(log.irqls, ElementsAre(DISPATCH_LEVEL, DISPATCH_LEVEL, DISPATCH_LEVEL, DISPATCH_LEVEL));
  EXPECT_EQ(kernel.now(), 1'150'000);
}

TEST_F(KernelTest, CancelTimerReportsWhetherItWasPendingAndResettingRearms) {
  DpcLog log;
  NamedDpc d{{}, {}, "t", &log};
  KeInitializeDpc(&d.dpc, LogDpc, &d);
  KeInitializeTimer(&d.timer);
  EXPECT_FALSE(KeCancelTimer(&d.timer));  // never set
  KeSetTimer(&d.timer, RelativeTime(10ms), &d.dpc);
  EXPECT_TRUE(KeSetTimer(&d.timer, RelativeTime(50ms), &d.dpc));  // re-armed, was pending
  kernel.advance(20ms);
  EXPECT_THAT(log.names, IsEmpty());
  EXPECT_TRUE(KeCancelTimer(&d.timer));
  EXPECT_FALSE(KeCancelTimer(&d.timer));
  kernel.advance(100ms);
  EXPECT_THAT(log.names, IsEmpty());
  KeSetTimer(&d.timer, RelativeTime(1ms), &d.dpc);
  kernel.advance(1ms);
  EXPECT_FALSE(KeCancelTimer(&d.timer));  // already expired
  EXPECT_THAT(log.names, ElementsAre("t"));
}

struct OverlapProbe {
  std::atomic<int> running{0};
  std::atomic<int> maxRunning{0};
  std::atomic<int> runs{0};
};
VOID ProbeDpc(PKDPC, PVOID context, PVOID, PVOID) {
  auto* p = static_cast<OverlapProbe*>(context);
  int now = ++p->running;
  int seen = p->maxRunning.load();
  while (now > seen && !p->maxRunning.compare_exchange_weak(seen, now)) {
  }
  for (int spin = 0; spin < 1000; ++spin) std::atomic_signal_fence(std::memory_order_seq_cst);
  --p->running;
  ++p->runs;
}

TEST_F(KernelTest, DpcsRunOneAtATimeAndAQueuedDpcIsNotQueuedTwice) {
  OverlapProbe probe;
  std::vector<KDPC> dpcs(16);
  for (auto& dpc : dpcs) KeInitializeDpc(&dpc, ProbeDpc, &probe);
  auto queueAll = [&] {
    for (auto& dpc : dpcs) KeInsertQueueDpc(&dpc, nullptr, nullptr);
  };
  KernelThread a = kernel.startThread(queueAll);
  KernelThread b = kernel.startThread(queueAll);
  a.join();
  b.join();
  kernel.runUntilIdle();
  EXPECT_EQ(probe.maxRunning.load(), 1);
  EXPECT_GE(probe.runs.load(), 16);
  EXPECT_LE(probe.runs.load(), 32);

  // A DPC waiting in the queue is not inserted again and can be removed.
  KEVENT gate;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  KDPC blocker, second;
  KeInitializeDpc(&blocker, [](PKDPC, PVOID ctx, PVOID, PVOID) {
    LARGE_INTEGER zero{};
    while (KeWaitForSingleObject(ctx, Executive, KernelMode, FALSE, &zero) != STATUS_SUCCESS) {
    }
  }, &gate);
  KeInitializeDpc(&second, ProbeDpc, &probe);
  int before = probe.runs.load();
  KeInsertQueueDpc(&blocker, nullptr, nullptr);
  EXPECT_TRUE(KeInsertQueueDpc(&second, nullptr, nullptr));
  EXPECT_FALSE(KeInsertQueueDpc(&second, nullptr, nullptr));
  EXPECT_TRUE(KeRemoveQueueDpc(&second));
  EXPECT_FALSE(KeRemoveQueueDpc(&second));
  KeSetEvent(&gate, IO_NO_INCREMENT, FALSE);
  kernel.runUntilIdle();
  EXPECT_EQ(probe.runs.load(), before);
}

TEST_F(KernelTest, WaitTimesOutInVirtualTimeOrEndsWhenSignalled) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  std::atomic<NTSTATUS> result{STATUS_PENDING};
  KernelThread waiter = kernel.startThread([&] {
    LARGE_INTEGER timeout = RelativeTime(3s);
    result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
  });
  kernel.advance(2999ms);
  EXPECT_EQ(result.load(), STATUS_PENDING);
  kernel.advance(1ms);
  waiter.join();
  EXPECT_EQ(result.load(), STATUS_TIMEOUT);
  EXPECT_EQ(kernel.now(), 30'000'000);

  result = STATUS_PENDING;
  KernelThread signalled = kernel.startThread([&] {
    LARGE_INTEGER timeout = RelativeTime(3s);
    result = KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
  });
  kernel.advance(1s);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  signalled.join();
  EXPECT_EQ(result.load(), STATUS_SUCCESS);
  EXPECT_EQ(kernel.nextDueTime(), std::nullopt);  // the time-out was withdrawn
}

TEST_F(KernelTest, AWaitOfTheTestThreadLetsTheClockJumpToTheNextEvent) {
  KEVENT event;
  KeInitializeEvent(&event, SynchronizationEvent, FALSE);
  LARGE_INTEGER timeout = RelativeTime(3s);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  EXPECT_EQ(kernel.now(), 30'000'000);

  // A timer DPC that signals the event ends a wait without time-out.
  KTIMER timer;
  KDPC dpc;
  KeInitializeTimer(&timer);
  KeInitializeDpc(&dpc, [](PKDPC, PVOID e, PVOID, PVOID) { KeSetEvent(static_cast<PKEVENT>(e), 0, FALSE); }, &event);
  KeSetTimer(&timer, RelativeTime(250ms), &dpc);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(kernel.now(), 32'500'000);
}

TEST_F(KernelTest, AWaitThatCanNeverEndIsReportedInsteadOfHanging) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, nullptr), STATUS_TIMEOUT);
  expectViolation("can never end");
}

struct EventCase {
  EVENT_TYPE type;
  int wokenBySingleSet;
  LONG stateAfter;
};
class EventKindTest : public KernelTest, public ::testing::WithParamInterface<EventCase> {};

TEST_P(EventKindTest, SetWakesAllWaitersOfANotificationEventAndOneOfASynchronizationEvent) {
  KEVENT event;
  KeInitializeEvent(&event, GetParam().type, FALSE);
  std::atomic<int> woken{0};
  std::vector<KernelThread> waiters;
  for (int i = 0; i < 3; ++i) {
    waiters.push_back(kernel.startThread([&] {
      LARGE_INTEGER timeout = RelativeTime(1s);
      if (KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout) == STATUS_SUCCESS) ++woken;
    }));
  }
  kernel.runUntilIdle();
  EXPECT_EQ(KeSetEvent(&event, IO_NO_INCREMENT, FALSE), 0);
  kernel.runUntilIdle();
  EXPECT_EQ(woken.load(), GetParam().wokenBySingleSet);
  EXPECT_EQ(KeReadStateEvent(&event), GetParam().stateAfter);
  kernel.advance(1s);
  for (auto& w : waiters) w.join();
}

INSTANTIATE_TEST_SUITE_P(Kinds, EventKindTest,
                         ::testing::Values(EventCase{NotificationEvent, 3, 1}, EventCase{SynchronizationEvent, 1, 0}));

TEST_F(KernelTest, SemaphoreCountsDownOnWaitsAndRefusesReleasePastItsLimit) {
  KSEMAPHORE sem;
  KeInitializeSemaphore(&sem, 1, 1);
  LARGE_INTEGER poll{};
  EXPECT_EQ(KeWaitForSingleObject(&sem, Executive, KernelMode, FALSE, &poll), STATUS_SUCCESS);
  EXPECT_EQ(KeReadStateSemaphore(&sem), 0);
  EXPECT_EQ(KeWaitForSingleObject(&sem, Executive, KernelMode, FALSE, &poll), STATUS_TIMEOUT);
  EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 1, FALSE), 0);
  EXPECT_EQ(KeReleaseSemaphore(&sem, 0, 1, FALSE), 1);
  expectViolation("SEMAPHORE_LIMIT_EXCEEDED");
  EXPECT_EQ(KeReadStateSemaphore(&sem), 1);

  // A waiter blocked on the semaphore takes the released count.
  KSEMAPHORE counter;
  KeInitializeSemaphore(&counter, 0, 2);
  std::atomic<bool> got{false};
  KernelThread waiter = kernel.startThread([&] {
    got = KeWaitForSingleObject(&counter, Executive, KernelMode, FALSE, nullptr) == STATUS_SUCCESS;
  });
  kernel.runUntilIdle();
  EXPECT_FALSE(got.load());
  KeReleaseSemaphore(&counter, 0, 2, FALSE);
  waiter.join();
  EXPECT_TRUE(got.load());
  EXPECT_EQ(KeReadStateSemaphore(&counter), 1);
}

TEST_F(KernelTest, IrqlChecksCatchWaitsAndPagedAllocationsAtDispatchLevel) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
  LARGE_INTEGER timeout = RelativeTime(1s);
  EXPECT_EQ(KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout), STATUS_TIMEOUT);
  expectViolation("non-zero time-out at IRQL 2");
  void* p = ExAllocatePoolWithTag(PagedPool, 16, kTag);
  expectViolation("paged pool allocated at DISPATCH_LEVEL");
  ExFreePool(p);
  KeReleaseSpinLock(&lock, old);
  EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);

  // A DPC that lowers the IRQL of the DPC thread is caught when it returns.
  KDPC dpc;
  KeInitializeDpc(&dpc, [](PKDPC, PVOID, PVOID, PVOID) {
    KIRQL ignored;
    KeRaiseIrql(DISPATCH_LEVEL, &ignored);
    KeLowerIrql(PASSIVE_LEVEL);
  }, nullptr);
  KeInsertQueueDpc(&dpc, nullptr, nullptr);
  expectViolation("returned at IRQL 0");
}

TEST_F(KernelTest, SpinLockAndInterlockedOperationsExcludeEachOther) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  long plain = 0;
  LONG interlocked = 0;
  auto work = [&] {
    for (int i = 0; i < 2000; ++i) {
      KIRQL old;
      KeAcquireSpinLock(&lock, &old);
      ++plain;
      KeReleaseSpinLock(&lock, old);
      InterlockedIncrement(&interlocked);
    }
  };
  KernelThread a = kernel.startThread(work);
  KernelThread b = kernel.startThread(work);
  a.join();
  b.join();
  EXPECT_EQ(plain, 4000);
  EXPECT_EQ(interlocked, 4000);
  EXPECT_EQ(InterlockedCompareExchange(&interlocked, 7, 4000), 4000);
  EXPECT_EQ(InterlockedExchange(&interlocked, 1), 7);
  EXPECT_EQ(InterlockedDecrement(&interlocked), 0);
}

struct WorkRecord {
  KIRQL irql = 0xFF;
  bool onWorker = false;
  PDEVICE_OBJECT device = nullptr;
};

TEST_F(KernelTest, WorkItemsRunAtPassiveLevelAndMayFreeThemselves) {
  struct SelfFreeing {
    WORK_QUEUE_ITEM item;
    WorkRecord* record;
  };
  WorkRecord record;
  auto* self = static_cast<SelfFreeing*>(ExAllocatePoolWithTag(NonPagedPool, sizeof(SelfFreeing), kTag));
  self->record = &record;
  ExInitializeWorkItem(&self->item, [](PVOID p) {
    auto* s = static_cast<SelfFreeing*>(p);
    s->record->irql = KeGetCurrentIrql();
    ExFreePoolWithTag(s, kTag);
  }, self);
  // Queued from dispatch level, as a DPC does.
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  ExQueueWorkItem(&self->item, CriticalWorkQueue);
  KeLowerIrql(old);
  kernel.runUntilIdle();
  EXPECT_EQ(record.irql, PASSIVE_LEVEL);

  DEVICE_OBJECT device{};
  PIO_WORKITEM item = IoAllocateWorkItem(&device);
  ASSERT_NE(item, nullptr);
  WorkRecord ioRecord;
  KEVENT gate;
  KeInitializeEvent(&gate, NotificationEvent, FALSE);
  struct Ctx {
    WorkRecord* record;
    PKEVENT gate;
  } ctx{&ioRecord, &gate};
  IoQueueWorkItem(item, [](PDEVICE_OBJECT d, PVOID c) {
    auto* ctx = static_cast<Ctx*>(c);
    KeWaitForSingleObject(ctx->gate, Executive, KernelMode, FALSE, nullptr);
    ctx->record->device = d;
    ctx->record->irql = KeGetCurrentIrql();
  }, CriticalWorkQueue, &ctx);
  KeSetEvent(&gate, 0, FALSE);
  kernel.runUntilIdle();
  EXPECT_EQ(ioRecord.device, &device);
  EXPECT_EQ(ioRecord.irql, PASSIVE_LEVEL);
  IoFreeWorkItem(item);
}

TEST_F(KernelTest, PoolReportsLeaksByTagAndCatchesBadFrees) {
  void* a = ExAllocatePoolWithTag(NonPagedPool, 100, kTag);
  void* b = ExAllocatePoolWithTag(NonPagedPool, 20, kTag);
  EXPECT_EQ(kernel.leakReport(), "pool tag 'Wdm ': 2 block(s), 120 byte(s) not freed\n");
  ExFreePoolWithTag(a, 'x');
  expectViolation("tag 'x");
  ExFreePool(a);
  expectViolation("freed twice");
  ExFreePool(b);
  EXPECT_EQ(kernel.poolStats(kTag).totalAllocations, 2u);

  int calls = 0;
  kernel.setAllocationFailure([&](POOL_TYPE, SIZE_T, ULONG tag) { return tag == kTag && ++calls == 2; });
  void* first = ExAllocatePoolWithTag(NonPagedPool, 8, kTag);
  EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, kTag), nullptr);
  EXPECT_NE(first, nullptr);
  ExFreePool(first);
  kernel.setAllocationFailure(nullptr);
}

TEST_F(KernelTest, PerformanceCounterAndSystemTimeFollowTheVirtualClock) {
  LARGE_INTEGER frequency;
  LARGE_INTEGER start = KeQueryPerformanceCounter(&frequency);
  LARGE_INTEGER systemStart;
  KeQuerySystemTime(&systemStart);
  EXPECT_EQ(frequency.QuadPart, 3'579'545);
  kernel.advance(2s);
  LARGE_INTEGER end = KeQueryPerformanceCounter(nullptr);
  LARGE_INTEGER systemEnd;
  KeQuerySystemTime(&systemEnd);
  EXPECT_EQ(end.QuadPart - start.QuadPart, 2 * 3'579'545);
  EXPECT_EQ(systemEnd.QuadPart - systemStart.QuadPart, 20'000'000);
  EXPECT_EQ(KeQueryInterruptTime(), 20'000'000u);
}

TEST_F(KernelTest, SystemThreadRunsScheduledTasksAtTheirTimeAndCancelsWaitingOnes) {
  auto thread = kernel.createSystemThread("test", DISPATCH_LEVEL);
  std::vector<std::pair<std::string, int64_t>> runs;  // touched only on the system thread
  auto record = [&](std::string name) {
    return [&runs, name] { runs.emplace_back(name, Kernel::current().now()); };
  };
  thread->postAt(20'000, record("b"));
  thread->postAt(10'000, record("a"));
  auto cancelled = thread->postAt(15'000, record("never"));
  thread->post(record("now"));
  EXPECT_TRUE(thread->cancel(cancelled));
  EXPECT_FALSE(thread->cancel(cancelled));
  kernel.advance(5ms);
  using Run = std::pair<std::string, int64_t>;
  EXPECT_THAT(runs, ElementsAre(Run{"now", 0}, Run{"a", 10'000}, Run{"b", 20'000}));

  // runUntil stops at the event that makes the condition true, not at the limit.
  KTIMER timer;
  KeInitializeTimer(&timer);
  KeSetTimer(&timer, RelativeTime(7ms), nullptr);
  int64_t start = kernel.now();
  EXPECT_TRUE(kernel.runUntil([&] { return KeReadStateTimer(&timer) != FALSE; }, 50ms));
  EXPECT_EQ(kernel.now() - start, 70'000);
  EXPECT_FALSE(kernel.runUntil([] { return false; }, 3ms));
  EXPECT_EQ(kernel.now() - start, 100'000);
}

}  // namespace
