// The Kernel object: clock, executors (DPC thread, workers, system threads),
// idle detection, dispatcher objects and waits, IRQL, spin locks and time.
#include <atomic>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <iostream>

#include "kernel_impl.h"

namespace torvex::platform {

thread_local KIRQL t_irql = PASSIVE_LEVEL;
thread_local bool t_counted = false;
thread_local Executor* t_executor = nullptr;

namespace {
std::atomic<Kernel*> g_current{nullptr};

// 1 Jan 2026 in 100 ns units since 1601: the system time at kernel start.
constexpr int64_t kSystemTimeBase = 134'116'992'000'000'000;

[[noreturn]] void Fatal(const char* message) {
  std::fprintf(stderr, "torvex kernel: fatal: %s\n", message);
  std::abort();
}
}  // namespace

Kernel::Impl& CurrentImpl() {
  Kernel* k = g_current.load();
  if (!k) Fatal("kernel service called with no Kernel instance");
  return k->impl();
}

// ---------------------------------------------------------------------------
// Impl: scheduling under the dispatcher lock.

TimePoint Kernel::Impl::currentTimeLocked() const {
  if (!realTime) return now;
  auto wall = std::chrono::steady_clock::now() - realBaseWall;
  auto ticks = std::chrono::duration_cast<Duration>(wall).count();
  TimePoint t = realBaseVirtual + static_cast<TimePoint>(static_cast<double>(ticks) * realSpeed);
  return t > now ? t : now;
}

std::pair<TimePoint, uint64_t> Kernel::Impl::insertTimedLocked(TimePoint due, Timed entry) {
  std::pair<TimePoint, uint64_t> key{due, sequence++};
  timed.emplace(key, std::move(entry));
  if (realTime) pacerCv.notify_all();
  return key;
}

void Kernel::Impl::enqueueLocked(Executor& e, Item item) {
  e.ready.push_back(std::move(item));
  active++;
  e.cv.notify_one();
}

void Kernel::Impl::unitDoneLocked() {
  if (--active == 0) {
    idleCv.notify_all();
    for (Waiter* w : externalWaiters) w->cv.notify_all();
  }
}

void Kernel::Impl::wakeLocked(Waiter* w, NTSTATUS status) {
  RemoveEntryList(&w->block.link);
  if (w->hasTimeout) timed.erase(w->timeoutKey);
  w->done = true;
  w->status = status;
  if (w->counted) active++;
  w->cv.notify_all();
}

// Satisfies waiters of a signalled object in order of waiting.
void Kernel::Impl::signalLocked(DISPATCHER_HEADER* h) {
  while (h->SignalState > 0 && !IsListEmpty(&h->WaitListHead)) {
    auto* block = CONTAINING_RECORD(h->WaitListHead.Flink, WaitBlock, link);
    if (h->Type == kSynchronizationEvent || h->Type == kSynchronizationTimer) h->SignalState = 0;
    if (h->Type == kSemaphore) h->SignalState--;
    wakeLocked(block->waiter, STATUS_SUCCESS);
  }
}

void Kernel::Impl::fireNextLocked() {
  auto it = timed.begin();
  TimePoint due = it->first.first;
  Timed entry = std::move(it->second);
  timed.erase(it);
  if (due > now) now = due;
  switch (entry.kind) {
    case Timed::kTimer: {
      KTIMER* timer = entry.timer;
      timer->Inserted = FALSE;
      timer->Header.SignalState = 1;
      signalLocked(&timer->Header);
      if (timer->Period > 0) {
        TimePoint next = due + static_cast<TimePoint>(timer->Period) * 10'000;
        timer->DueTime.QuadPart = static_cast<ULONGLONG>(next);
        timer->Inserted = TRUE;
        Timed again(Timed::kTimer);
        again.timer = timer;
        timer->Sequence = insertTimedLocked(next, std::move(again)).second;
      }
      if (KDPC* dpc = timer->Dpc; dpc && !dpc->Inserted) {
        dpc->Inserted = TRUE;
        auto routine = dpc->DeferredRoutine;
        auto context = dpc->DeferredContext;
        enqueueLocked(*dpcQueue, Item{[dpc, routine, context] { routine(dpc, context, nullptr, nullptr); }, dpc});
      }
      break;
    }
    case Timed::kWaitTimeout:
      entry.waiter->hasTimeout = false;
      wakeLocked(entry.waiter, STATUS_TIMEOUT);
      break;
    case Timed::kTask:
      entry.executor->waiting.erase(entry.task);
      if (!entry.executor->stopping) enqueueLocked(*entry.executor, Item{std::move(entry.fn), nullptr});
      break;
  }
}

void Kernel::Impl::waitIdleLocked(std::unique_lock<std::mutex>& lock) {
  idleCv.wait(lock, [&] { return active == 0; });
}

void Kernel::Impl::runExecutor(Executor* e) {
  t_irql = e->irql;
  t_counted = true;
  t_executor = e;
  std::unique_lock lock(mu);
  for (;;) {
    e->cv.wait(lock, [&] { return e->stopping || !e->ready.empty(); });
    if (e->stopping) break;
    Item item = std::move(e->ready.front());
    e->ready.pop_front();
    if (item.dpc) item.dpc->Inserted = FALSE;
    e->running++;
    lock.unlock();
    item.fn();
    if (t_irql != e->irql) {
      violation(e->name + ": work returned at IRQL " + std::to_string(t_irql) + " instead of " +
                std::to_string(e->irql) + " (a spin lock left held or IRQL not restored)");
      t_irql = e->irql;
    }
    lock.lock();
    e->running--;
    unitDoneLocked();
    if (e->ready.empty() && e->running == 0) e->drained.notify_all();
  }
}

void Kernel::Impl::startExecutor(const std::shared_ptr<Executor>& e, int count) {
  for (int i = 0; i < count; ++i) e->threads.emplace_back([this, raw = e.get()] { runExecutor(raw); });
}

void Kernel::Impl::stopExecutor(Executor& e) {
  {
    std::lock_guard lock(mu);
    e.stopping = true;
    active -= static_cast<int>(e.ready.size());
    for (Item& item : e.ready)
      if (item.dpc) item.dpc->Inserted = FALSE;
    e.ready.clear();
    for (auto& [id, key] : e.waiting) timed.erase(key);
    e.waiting.clear();
    if (active == 0) idleCv.notify_all();
    e.cv.notify_all();
  }
  for (auto& t : e.threads) t.join();
  e.threads.clear();
}

void Kernel::Impl::violation(const std::string& message) {
  std::lock_guard lock(logMu);
  violations.push_back(message);
  if (options.printViolations) std::fprintf(stderr, "torvex kernel violation: %s\n", message.c_str());
}

// ---------------------------------------------------------------------------
// Kernel.

Kernel::Kernel(KernelOptions options) : impl_(std::make_unique<Impl>(std::move(options))), registry_(&impl_->registry) {
  Kernel* expected = nullptr;
  if (!g_current.compare_exchange_strong(expected, this)) Fatal("a second Kernel was created while one exists");
  impl_->dpcQueue = std::make_shared<Executor>();
  impl_->dpcQueue->name = "DPC";
  impl_->dpcQueue->irql = DISPATCH_LEVEL;
  impl_->workers = std::make_shared<Executor>();
  impl_->workers->name = "worker";
  impl_->workers->irql = PASSIVE_LEVEL;
  impl_->startExecutor(impl_->dpcQueue, 1);
  impl_->startExecutor(impl_->workers, impl_->options.workerThreads < 1 ? 1 : impl_->options.workerThreads);
}

Kernel::~Kernel() {
  stopRealTime();
  {
    std::lock_guard lock(impl_->mu);
    impl_->shuttingDown = true;
    // Threads still blocked in a wait would never return: release them.
    for (Waiter* w : std::set<Waiter*>(impl_->waiters)) {
      if (!w->done) {
        impl_->violation("a thread was still waiting when the kernel shut down");
        impl_->wakeLocked(w, STATUS_TIMEOUT);
      }
    }
  }
  impl_->stopExecutor(*impl_->dpcQueue);
  impl_->stopExecutor(*impl_->workers);
  if (impl_->liveSystemThreads != 0) Fatal("SystemThread objects must be destroyed before their Kernel");
  g_current.store(nullptr);
}

Kernel& Kernel::current() {
  Kernel* k = g_current.load();
  if (!k) Fatal("no current Kernel");
  return *k;
}

Kernel* Kernel::currentOrNull() { return g_current.load(); }

TimePoint Kernel::now() const {
  std::lock_guard lock(impl_->mu);
  return impl_->currentTimeLocked();
}

int64_t Kernel::performanceFrequency() const { return impl_->options.performanceFrequency; }

void Kernel::advance(Duration d) { advanceTo(now() + d.count()); }

void Kernel::advanceTo(TimePoint t) {
  std::unique_lock lock(impl_->mu);
  impl_->driving++;
  for (;;) {
    impl_->waitIdleLocked(lock);
    if (!impl_->timed.empty() && impl_->timed.begin()->first.first <= t) {
      impl_->fireNextLocked();
      continue;
    }
    if (t > impl_->now) impl_->now = t;
    break;
  }
  impl_->driving--;
}

void Kernel::runUntilIdle() {
  std::unique_lock lock(impl_->mu);
  impl_->waitIdleLocked(lock);
}

bool Kernel::runUntil(const std::function<bool()>& pred, Duration limit) {
  TimePoint end = now() + limit.count();
  for (;;) {
    runUntilIdle();
    if (pred()) return true;
    std::unique_lock lock(impl_->mu);
    if (impl_->timed.empty() || impl_->timed.begin()->first.first > end) break;
    impl_->driving++;
    impl_->fireNextLocked();
    impl_->driving--;
  }
  advanceTo(end);
  return pred();
}

std::optional<TimePoint> Kernel::nextDueTime() const {
  std::lock_guard lock(impl_->mu);
  if (impl_->timed.empty()) return std::nullopt;
  return impl_->timed.begin()->first.first;
}

void Kernel::startRealTime(double speed) {
  std::lock_guard lock(impl_->mu);
  if (impl_->realTime) return;
  impl_->realTime = true;
  impl_->realSpeed = speed > 0 ? speed : 1.0;
  impl_->realBaseWall = std::chrono::steady_clock::now();
  impl_->realBaseVirtual = impl_->now;
  impl_->pacer = std::thread([impl = impl_.get()] {
    std::unique_lock l(impl->mu);
    while (impl->realTime) {
      TimePoint current = impl->currentTimeLocked();
      if (!impl->timed.empty() && impl->timed.begin()->first.first <= current) {
        impl->now = current;
        impl->fireNextLocked();
        continue;
      }
      if (impl->timed.empty()) {
        impl->pacerCv.wait(l);
      } else {
        auto dueIn = Duration(impl->timed.begin()->first.first - current);
        auto wall = std::chrono::duration_cast<std::chrono::nanoseconds>(dueIn) / impl->realSpeed;
        impl->pacerCv.wait_for(l, std::chrono::duration_cast<std::chrono::nanoseconds>(wall) +
                                      std::chrono::microseconds(50));
      }
    }
  });
}

void Kernel::stopRealTime() {
  std::thread pacer;
  {
    std::lock_guard lock(impl_->mu);
    if (!impl_->realTime) return;
    impl_->now = impl_->currentTimeLocked();
    impl_->realTime = false;
    impl_->pacerCv.notify_all();
    pacer = std::move(impl_->pacer);
  }
  pacer.join();
}

void Kernel::runAtDispatch(std::function<void()> fn) {
  std::lock_guard lock(impl_->mu);
  impl_->enqueueLocked(*impl_->dpcQueue, Item{std::move(fn), nullptr});
}

void Kernel::runAtPassive(std::function<void()> fn) {
  std::lock_guard lock(impl_->mu);
  impl_->enqueueLocked(*impl_->workers, Item{std::move(fn), nullptr});
}

KernelThread Kernel::startThread(std::function<void()> fn) {
  {
    std::lock_guard lock(impl_->mu);
    impl_->active++;
  }
  return KernelThread(std::thread([impl = impl_.get(), fn = std::move(fn)] {
    t_counted = true;
    fn();
    std::lock_guard lock(impl->mu);
    impl->unitDoneLocked();
  }));
}

std::vector<std::string> Kernel::violations() const {
  std::lock_guard lock(impl_->logMu);
  return impl_->violations;
}

void Kernel::clearViolations() {
  std::lock_guard lock(impl_->logMu);
  impl_->violations.clear();
}

void Kernel::reportViolation(const std::string& message) { impl_->violation(message); }

std::vector<std::string> Kernel::debugLog() const {
  std::lock_guard lock(impl_->logMu);
  return impl_->debugLog;
}

Registry& Kernel::registry() { return registry_; }

// ---------------------------------------------------------------------------
// SystemThread and KernelThread.

struct SystemThread::Impl {
  Kernel::Impl* kernel;
  std::shared_ptr<Executor> executor;
};

SystemThread::SystemThread(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}

SystemThread::~SystemThread() {
  impl_->kernel->stopExecutor(*impl_->executor);
  std::lock_guard lock(impl_->kernel->mu);
  impl_->kernel->liveSystemThreads--;
}

std::unique_ptr<SystemThread> Kernel::createSystemThread(std::string name, KIRQL irql) {
  auto executor = std::make_shared<Executor>();
  executor->name = std::move(name);
  executor->irql = irql;
  {
    std::lock_guard lock(impl_->mu);
    impl_->liveSystemThreads++;
  }
  impl_->startExecutor(executor, 1);
  return std::unique_ptr<SystemThread>(new SystemThread(std::make_shared<SystemThread::Impl>(SystemThread::Impl{impl_.get(), executor})));
}

void SystemThread::post(std::function<void()> fn) {
  std::lock_guard lock(impl_->kernel->mu);
  if (impl_->executor->stopping) return;
  impl_->kernel->enqueueLocked(*impl_->executor, Item{std::move(fn), nullptr});
}

TaskId SystemThread::postAt(TimePoint when, std::function<void()> fn) {
  auto* k = impl_->kernel;
  std::lock_guard lock(k->mu);
  TaskId id = k->nextTask++;
  if (impl_->executor->stopping) return id;
  Timed entry(Timed::kTask);
  entry.executor = impl_->executor;
  entry.task = id;
  entry.fn = std::move(fn);
  impl_->executor->waiting[id] = k->insertTimedLocked(when, std::move(entry));
  return id;
}

bool SystemThread::cancel(TaskId id) {
  auto* k = impl_->kernel;
  std::lock_guard lock(k->mu);
  auto it = impl_->executor->waiting.find(id);
  if (it == impl_->executor->waiting.end()) return false;
  k->timed.erase(it->second);
  impl_->executor->waiting.erase(it);
  return true;
}

const std::string& SystemThread::name() const { return impl_->executor->name; }

KernelThread& KernelThread::operator=(KernelThread&& other) noexcept {
  if (thread_.joinable()) thread_.join();
  thread_ = std::move(other.thread_);
  return *this;
}

KernelThread::~KernelThread() {
  if (thread_.joinable()) thread_.join();
}

void KernelThread::join() {
  if (thread_.joinable()) thread_.join();
}

std::string TagText(ULONG tag) {
  std::string s;
  for (int i = 0; i < 4; ++i) {
    char c = static_cast<char>((tag >> (8 * i)) & 0xff);
    s += (c >= 32 && c < 127) ? c : '?';
  }
  return s;
}

std::wstring Widen(const std::string& s) { return std::wstring(s.begin(), s.end()); }

}  // namespace torvex::platform

using namespace torvex::platform;

// ---------------------------------------------------------------------------
// IRQL.

KIRQL KeGetCurrentIrql() { return t_irql; }

VOID KeRaiseIrql(KIRQL newIrql, PKIRQL oldIrql) {
  if (newIrql < t_irql) CurrentImpl().violation("KeRaiseIrql to a lower IRQL");
  *oldIrql = t_irql;
  t_irql = newIrql;
}

VOID KeLowerIrql(KIRQL newIrql) {
  if (newIrql > t_irql) CurrentImpl().violation("KeLowerIrql to a higher IRQL");
  t_irql = newIrql;
}

KIRQL KeRaiseIrqlToDpcLevel() {
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  return old;
}

// ---------------------------------------------------------------------------
// Spin locks. The lock word holds a token of the owning thread so that a
// recursive acquire (a certain deadlock) is caught.

namespace {
ULONG_PTR ThreadToken() { return reinterpret_cast<ULONG_PTR>(&t_irql); }

void AcquireLockWord(PKSPIN_LOCK lock) {
  ULONG_PTR self = ThreadToken();
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) == self) {
    CurrentImpl().violation("spin lock acquired recursively by its owner (deadlock)");
    std::abort();
  }
  for (;;) {
    ULONG_PTR expected = 0;
    if (__atomic_compare_exchange_n(lock, &expected, self, false, __ATOMIC_ACQUIRE, __ATOMIC_RELAXED)) return;
    while (__atomic_load_n(lock, __ATOMIC_RELAXED) != 0) std::this_thread::yield();
  }
}

void ReleaseLockWord(PKSPIN_LOCK lock) {
  if (__atomic_load_n(lock, __ATOMIC_RELAXED) != ThreadToken()) {
    CurrentImpl().violation("spin lock released by a thread that does not hold it");
  }
  __atomic_store_n(lock, 0, __ATOMIC_RELEASE);
}
}  // namespace

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) { __atomic_store_n(SpinLock, 0, __ATOMIC_RELEASE); }

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
  KeRaiseIrql(DISPATCH_LEVEL, OldIrql);
  AcquireLockWord(SpinLock);
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
  ReleaseLockWord(SpinLock);
  KeLowerIrql(NewIrql);
}

VOID KeAcquireSpinLockAtDpcLevel(PKSPIN_LOCK SpinLock) {
  if (t_irql < DISPATCH_LEVEL) CurrentImpl().violation("KeAcquireSpinLockAtDpcLevel below DISPATCH_LEVEL");
  AcquireLockWord(SpinLock);
}

VOID KeReleaseSpinLockFromDpcLevel(PKSPIN_LOCK SpinLock) { ReleaseLockWord(SpinLock); }

VOID IoAcquireCancelSpinLock(PKIRQL Irql) { KeAcquireSpinLock(&CurrentImpl().cancelLock, Irql); }
VOID IoReleaseCancelSpinLock(KIRQL Irql) { KeReleaseSpinLock(&CurrentImpl().cancelLock, Irql); }

// ---------------------------------------------------------------------------
// Dispatcher objects.

namespace {
void InitHeader(DISPATCHER_HEADER* h, UCHAR kind, LONG state) {
  std::memset(h, 0, sizeof(*h));
  h->Type = kind;
  h->SignalState = state;
  InitializeListHead(&h->WaitListHead);
}

bool CheckObject(Kernel::Impl& k, DISPATCHER_HEADER* h, const char* what) {
  if (h->Type >= kNotificationEvent && h->Type <= kSynchronizationTimer) return true;
  k.violation(std::string(what) + " on an object that was not initialised");
  return false;
}
}  // namespace

VOID KeInitializeEvent(PRKEVENT Event, EVENT_TYPE Type, BOOLEAN State) {
  auto& k = CurrentImpl();
  std::lock_guard lock(k.mu);
  InitHeader(&Event->Header, Type == NotificationEvent ? kNotificationEvent : kSynchronizationEvent, State ? 1 : 0);
}

LONG KeSetEvent(PRKEVENT Event, KPRIORITY, BOOLEAN) {
  auto& k = CurrentImpl();
  if (t_irql > DISPATCH_LEVEL) k.violation("KeSetEvent above DISPATCH_LEVEL");
  std::lock_guard lock(k.mu);
  if (!CheckObject(k, &Event->Header, "KeSetEvent")) return 0;
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 1;
  k.signalLocked(&Event->Header);
  return previous;
}

LONG KeResetEvent(PRKEVENT Event) {
  auto& k = CurrentImpl();
  std::lock_guard lock(k.mu);
  if (!CheckObject(k, &Event->Header, "KeResetEvent")) return 0;
  LONG previous = Event->Header.SignalState;
  Event->Header.SignalState = 0;
  return previous;
}

VOID KeClearEvent(PRKEVENT Event) { KeResetEvent(Event); }

LONG KeReadStateEvent(PRKEVENT Event) {
  auto& k = CurrentImpl();
  std::lock_guard lock(k.mu);
  return Event->Header.SignalState;
}

VOID KeInitializeSemaphore(PRKSEMAPHORE Semaphore, LONG Count, LONG Limit) {
  auto& k = CurrentImpl();
  if (Limit <= 0 || Count < 0 || Count > Limit) k.violation("KeInitializeSemaphore with a count outside 0..limit");
  std::lock_guard lock(k.mu);
  InitHeader(&Semaphore->Header, kSemaphore, Count);
  Semaphore->Limit = Limit;
}

LONG KeReleaseSemaphore(PRKSEMAPHORE Semaphore, KPRIORITY, LONG Adjustment, BOOLEAN) {
  auto& k = CurrentImpl();
  if (t_irql > DISPATCH_LEVEL) k.violation("KeReleaseSemaphore above DISPATCH_LEVEL");
  std::lock_guard lock(k.mu);
  if (!CheckObject(k, &Semaphore->Header, "KeReleaseSemaphore")) return 0;
  LONG previous = Semaphore->Header.SignalState;
  if (Adjustment <= 0 || previous > Semaphore->Limit - Adjustment) {
    k.violation("KeReleaseSemaphore past the limit (STATUS_SEMAPHORE_LIMIT_EXCEEDED): count " +
                std::to_string(previous) + " + " + std::to_string(Adjustment) + " > limit " +
                std::to_string(Semaphore->Limit));
    return previous;
  }
  Semaphore->Header.SignalState = previous + Adjustment;
  k.signalLocked(&Semaphore->Header);
  return previous;
}

LONG KeReadStateSemaphore(PRKSEMAPHORE Semaphore) {
  auto& k = CurrentImpl();
  std::lock_guard lock(k.mu);
  return Semaphore->Header.SignalState;
}

namespace {
NTSTATUS WaitOn(DISPATCHER_HEADER* h, PLARGE_INTEGER Timeout) {
  auto& k = CurrentImpl();
  bool poll = Timeout && Timeout->QuadPart == 0;
  if (!poll && t_irql > APC_LEVEL) {
    k.violation("wait with a non-zero time-out at IRQL " + std::to_string(t_irql));
    poll = true;
  }
  std::unique_lock lock(k.mu);
  if (h && !CheckObject(k, h, "KeWaitForSingleObject")) return STATUS_INVALID_PARAMETER;
  if (h && h->SignalState > 0) {
    if (h->Type == kSynchronizationEvent || h->Type == kSynchronizationTimer) h->SignalState = 0;
    if (h->Type == kSemaphore) h->SignalState--;
    return STATUS_SUCCESS;
  }
  if (poll) return STATUS_TIMEOUT;
  if (k.shuttingDown) return STATUS_TIMEOUT;

  Waiter w;
  w.object = h;
  w.block.waiter = &w;
  w.counted = t_counted;
  // The delay of KeDelayExecutionThread waits on no object: link into itself.
  if (h) {
    InsertTailList(&h->WaitListHead, &w.block.link);
  } else {
    InitializeListHead(&w.block.link);
  }
  if (Timeout) {
    TimePoint current = k.currentTimeLocked();
    TimePoint due = Timeout->QuadPart < 0 ? current - Timeout->QuadPart : Timeout->QuadPart - kSystemTimeBase;
    Timed entry(Timed::kWaitTimeout);
    entry.waiter = &w;
    w.timeoutKey = k.insertTimedLocked(due, std::move(entry));
    w.hasTimeout = true;
  }
  k.waiters.insert(&w);
  if (w.counted) {
    k.unitDoneLocked();
  } else {
    k.externalWaiters.insert(&w);
  }
  bool deadlockReported = false;
  while (!w.done) {
    if (!w.counted && !k.realTime && k.driving == 0 && k.active == 0) {
      if (!k.timed.empty()) {
        // Nothing can run until the next event: let the clock jump to it.
        k.driving++;
        k.fireNextLocked();
        k.driving--;
        continue;
      }
      if (!deadlockReported) {
        deadlockReported = true;
        k.violation("a wait without time-out can never end: nothing is runnable and no timer is set");
        k.wakeLocked(&w, STATUS_TIMEOUT);
        break;
      }
    }
    w.cv.wait(lock);
  }
  k.waiters.erase(&w);
  k.externalWaiters.erase(&w);
  return w.status;
}
}  // namespace

NTSTATUS KeWaitForSingleObject(PVOID Object, KWAIT_REASON, KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Timeout) {
  if (!Object) {
    CurrentImpl().violation("KeWaitForSingleObject on a null object");
    return STATUS_INVALID_PARAMETER;
  }
  return WaitOn(static_cast<DISPATCHER_HEADER*>(Object), Timeout);
}

NTSTATUS KeDelayExecutionThread(KPROCESSOR_MODE, BOOLEAN, PLARGE_INTEGER Interval) {
  if (!Interval) {
    CurrentImpl().violation("KeDelayExecutionThread without an interval");
    return STATUS_INVALID_PARAMETER;
  }
  NTSTATUS status = WaitOn(nullptr, Interval);
  return status == STATUS_TIMEOUT ? STATUS_SUCCESS : status;
}

// ---------------------------------------------------------------------------
// DPCs and timers.

VOID KeInitializeDpc(PRKDPC Dpc, PKDEFERRED_ROUTINE DeferredRoutine, PVOID DeferredContext) {
  std::memset(Dpc, 0, sizeof(*Dpc));
  Dpc->Type = 0x13;
  Dpc->DeferredRoutine = DeferredRoutine;
  Dpc->DeferredContext = DeferredContext;
}

BOOLEAN KeInsertQueueDpc(PRKDPC Dpc, PVOID SystemArgument1, PVOID SystemArgument2) {
  auto& k = CurrentImpl();
  std::lock_guard lock(k.mu);
  if (Dpc->Inserted) return FALSE;
  Dpc->Inserted = TRUE;
  Dpc->SystemArgument1 = SystemArgument1;
  Dpc->SystemArgument2 = SystemArgument2;
  auto routine = Dpc->DeferredRoutine;
  auto context = Dpc->DeferredContext;
  k.enqueueLocked(*k.dpcQueue, Item{[=] { routine(Dpc, context, SystemArgument1, SystemArgument2); }, Dpc});
  return TRUE;
}

BOOLEAN KeRemoveQueueDpc(PRKDPC Dpc) {
  auto& k = CurrentImpl();
  std::lock_guard lock(k.mu);
  if (!Dpc->Inserted) return FALSE;
  auto& ready = k.dpcQueue->ready;
  for (auto it = ready.begin(); it != ready.end(); ++it) {
    if (it->dpc == Dpc) {
      ready.erase(it);
      Dpc->Inserted = FALSE;
      k.unitDoneLocked();
      return TRUE;
    }
  }
  return FALSE;
}

VOID KeFlushQueuedDpcs() {
  auto& k = CurrentImpl();
  if (t_irql != PASSIVE_LEVEL) {
    k.violation("KeFlushQueuedDpcs above PASSIVE_LEVEL");
    return;
  }
  std::unique_lock lock(k.mu);
  k.dpcQueue->drained.wait(lock, [&] { return k.dpcQueue->ready.empty() && k.dpcQueue->running == 0; });
}

VOID KeInitializeTimer(PKTIMER Timer) { KeInitializeTimerEx(Timer, NotificationTimer); }

VOID KeInitializeTimerEx(PKTIMER Timer, TIMER_TYPE Type) {
  auto& k = CurrentImpl();
  std::lock_guard lock(k.mu);
  std::memset(Timer, 0, sizeof(*Timer));
  InitHeader(&Timer->Header, Type == NotificationTimer ? kNotificationTimer : kSynchronizationTimer, 0);
}

namespace {
bool CancelTimerLocked(Kernel::Impl& k, PKTIMER Timer) {
  if (!Timer->Inserted) return false;
  k.timed.erase({static_cast<TimePoint>(Timer->DueTime.QuadPart), Timer->Sequence});
  Timer->Inserted = FALSE;
  return true;
}
}  // namespace

BOOLEAN KeSetTimer(PKTIMER Timer, LARGE_INTEGER DueTime, PKDPC Dpc) { return KeSetTimerEx(Timer, DueTime, 0, Dpc); }

BOOLEAN KeSetTimerEx(PKTIMER Timer, LARGE_INTEGER DueTime, LONG PeriodMs, PKDPC Dpc) {
  auto& k = CurrentImpl();
  std::lock_guard lock(k.mu);
  if (!CheckObject(k, &Timer->Header, "KeSetTimer")) return FALSE;
  bool wasSet = CancelTimerLocked(k, Timer);
  TimePoint current = k.currentTimeLocked();
  TimePoint due = DueTime.QuadPart < 0 ? current - DueTime.QuadPart : DueTime.QuadPart - kSystemTimeBase;
  if (due < current) due = current;
  Timer->Header.SignalState = 0;
  Timer->Dpc = Dpc;
  Timer->Period = PeriodMs;
  Timer->DueTime.QuadPart = static_cast<ULONGLONG>(due);
  Timer->Inserted = TRUE;
  Timed entry(Timed::kTimer);
  entry.timer = Timer;
  Timer->Sequence = k.insertTimedLocked(due, std::move(entry)).second;
  return wasSet ? TRUE : FALSE;
}

BOOLEAN KeCancelTimer(PKTIMER Timer) {
  auto& k = CurrentImpl();
  std::lock_guard lock(k.mu);
  return CancelTimerLocked(k, Timer) ? TRUE : FALSE;
}

BOOLEAN KeReadStateTimer(PKTIMER Timer) {
  auto& k = CurrentImpl();
  std::lock_guard lock(k.mu);
  return Timer->Header.SignalState ? TRUE : FALSE;
}

// ---------------------------------------------------------------------------
// Time and debug output.

LARGE_INTEGER KeQueryPerformanceCounter(PLARGE_INTEGER PerformanceFrequency) {
  auto& k = CurrentImpl();
  TimePoint t;
  {
    std::lock_guard lock(k.mu);
    t = k.currentTimeLocked();
  }
  int64_t f = k.options.performanceFrequency;
  if (PerformanceFrequency) PerformanceFrequency->QuadPart = f;
  LARGE_INTEGER count;
  count.QuadPart = static_cast<LONGLONG>(static_cast<__int128>(t) * f / 10'000'000);
  return count;
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
  auto& k = CurrentImpl();
  std::lock_guard lock(k.mu);
  CurrentTime->QuadPart = kSystemTimeBase + k.currentTimeLocked();
}

ULONGLONG KeQueryInterruptTime() {
  auto& k = CurrentImpl();
  std::lock_guard lock(k.mu);
  return static_cast<ULONGLONG>(k.currentTimeLocked());
}

SIZE_T RtlCompareMemory(const VOID* a, const VOID* b, SIZE_T length) {
  auto* pa = static_cast<const uint8_t*>(a);
  auto* pb = static_cast<const uint8_t*>(b);
  SIZE_T i = 0;
  while (i < length && pa[i] == pb[i]) ++i;
  return i;
}

VOID RtlInitUnicodeString(PUNICODE_STRING destination, PCWSTR source) {
  size_t length = source ? std::wcslen(source) : 0;
  destination->Buffer = const_cast<PWSTR>(source);
  destination->Length = static_cast<USHORT>(length * sizeof(WCHAR));
  destination->MaximumLength = source ? static_cast<USHORT>((length + 1) * sizeof(WCHAR)) : 0;
}

ULONG DbgPrint(PCSTR format, ...) {
  char buffer[512];
  va_list args;
  va_start(args, format);
  std::vsnprintf(buffer, sizeof buffer, format, args);
  va_end(args);
  auto& k = CurrentImpl();
  {
    std::lock_guard lock(k.logMu);
    k.debugLog.emplace_back(buffer);
  }
  if (std::getenv("TORVEX_KERNEL_DEBUG")) std::fputs(buffer, stderr);
  return 0;
}
