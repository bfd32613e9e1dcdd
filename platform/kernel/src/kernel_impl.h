// Internal state of the emulated kernel, shared by its source files.
#pragma once

#include <condition_variable>
#include <deque>
#include <map>
#include <mutex>
#include <set>
#include <unordered_map>

#include "kernel/kernel.h"

namespace torvex::platform {

// Object kinds stored in DISPATCHER_HEADER::Type.
enum ObjectKind : UCHAR {
  kNotificationEvent = 1,
  kSynchronizationEvent = 2,
  kSemaphore = 3,
  kNotificationTimer = 4,
  kSynchronizationTimer = 5,
};

constexpr ULONG MakeTag(const char (&s)[5]) {
  return static_cast<ULONG>(static_cast<uint8_t>(s[0])) | static_cast<ULONG>(static_cast<uint8_t>(s[1])) << 8 |
         static_cast<ULONG>(static_cast<uint8_t>(s[2])) << 16 | static_cast<ULONG>(static_cast<uint8_t>(s[3])) << 24;
}

struct Waiter;
// Links a waiting thread into an object's WaitListHead.
struct WaitBlock {
  LIST_ENTRY link;
  Waiter* waiter;
};

struct Waiter {
  WaitBlock block{};
  std::condition_variable cv;
  DISPATCHER_HEADER* object = nullptr;
  bool done = false;
  NTSTATUS status = STATUS_SUCCESS;
  bool counted = false;  // a kernel-counted thread: stops counting while blocked
  bool hasTimeout = false;
  std::pair<TimePoint, uint64_t> timeoutKey{};
};

struct Executor;
struct Item {
  std::function<void()> fn;
  KDPC* dpc = nullptr;
};

struct Executor {
  std::string name;
  KIRQL irql = PASSIVE_LEVEL;
  std::deque<Item> ready;
  std::map<TaskId, std::pair<TimePoint, uint64_t>> waiting;  // postAt tasks not yet due
  std::condition_variable cv;
  std::condition_variable drained;
  int running = 0;
  bool stopping = false;
  std::vector<std::thread> threads;
};

struct Timed {
  enum Kind { kTimer, kWaitTimeout, kTask };
  explicit Timed(Kind k) : kind(k) {}
  Kind kind;
  KTIMER* timer = nullptr;
  Waiter* waiter = nullptr;
  std::shared_ptr<Executor> executor;
  TaskId task = 0;
  std::function<void()> fn;
};

struct Registry::Impl {
  mutable std::mutex mu;
  std::map<std::wstring, std::map<std::wstring, Registry::Value>> keys;  // normalised paths and names
};

struct Kernel::Impl {
  explicit Impl(KernelOptions o) : options(std::move(o)) {}

  KernelOptions options;

  // Dispatcher lock: guards the clock, every queue, every dispatcher object.
  mutable std::mutex mu;
  std::condition_variable idleCv;
  std::condition_variable pacerCv;
  TimePoint now = 0;
  uint64_t sequence = 0;
  int active = 0;   // runnable units of work (see kernel.h)
  int driving = 0;  // advance() or an auto-advance in progress
  bool realTime = false;
  bool shuttingDown = false;
  double realSpeed = 1.0;
  std::chrono::steady_clock::time_point realBaseWall;
  TimePoint realBaseVirtual = 0;
  std::thread pacer;
  std::map<std::pair<TimePoint, uint64_t>, Timed> timed;
  std::set<Waiter*> waiters;
  std::set<Waiter*> externalWaiters;
  TaskId nextTask = 1;

  std::shared_ptr<Executor> dpcQueue;
  std::shared_ptr<Executor> workers;
  int liveSystemThreads = 0;

  KSPIN_LOCK cancelLock = 0;

  // Pool.
  mutable std::mutex poolMu;
  struct Allocation {
    ULONG tag;
    size_t bytes;
  };
  std::unordered_map<const void*, Allocation> allocations;
  std::map<ULONG, PoolTagStats> poolStats;
  AllocationFailurePolicy failurePolicy;

  Registry::Impl registry;

  mutable std::mutex logMu;
  std::vector<std::string> violations;
  std::vector<std::string> debugLog;

  // All of the following are called with `mu` held.
  TimePoint currentTimeLocked() const;
  std::pair<TimePoint, uint64_t> insertTimedLocked(TimePoint due, Timed entry);
  void fireNextLocked();
  void unitDoneLocked();
  void enqueueLocked(Executor& e, Item item);
  void signalLocked(DISPATCHER_HEADER* header);
  void wakeLocked(Waiter* w, NTSTATUS status);
  void waitIdleLocked(std::unique_lock<std::mutex>& lock);
  void startExecutor(const std::shared_ptr<Executor>& e, int threads);
  void stopExecutor(Executor& e);
  void runExecutor(Executor* e);

  void violation(const std::string& message);
};

Kernel::Impl& CurrentImpl();
// Per-thread state.
extern thread_local KIRQL t_irql;
extern thread_local bool t_counted;
extern thread_local Executor* t_executor;

// Pool helpers used by the I/O code for its own allocations.
void* PoolAllocate(POOL_TYPE type, size_t bytes, ULONG tag);
void PoolFree(void* p, std::optional<ULONG> expectedTag);

}  // namespace torvex::platform
