// The emulated kernel: one Kernel object owns the clock, the DPC thread, the
// system worker threads, pool accounting, the in-memory registry and the record
// of platform violations. The Windows-style functions of kernel/nt.h reach the
// one current instance (Kernel::current()), as the kernel is a global on the
// emulated platform.
//
// How it works
//
// Clock. Time is virtual, in 100 ns units since the kernel started (now()).
// It never moves on its own in a test: advance(d) and advanceTo(t) move it, firing
// every timer, time-out and scheduled task that falls due in order of due time
// (ties in order of arming), and letting the system settle after each step.
// runUntilIdle() settles without moving time. A 3 s time-out therefore costs no
// real time. Tools call startRealTime(speed) instead: a pacer thread then moves
// the clock with the wall clock (times speed).
//
// Threads. Everything runs on real threads: one DPC thread (DISPATCH_LEVEL, one
// DPC at a time, in queue order), a pool of system worker threads
// (PASSIVE_LEVEL, the critical work queue; default 3 so that a work item that
// waits does not block others), and any SystemThread a component creates (the
// USB host controller has one at DISPATCH_LEVEL). Each thread has its own IRQL
// (KeGetCurrentIrql); waiting with a time-out above APC_LEVEL, allocating paged
// pool at DISPATCH_LEVEL, touching the registry above PASSIVE_LEVEL, returning
// from a DPC or work item at the wrong IRQL are violations.
//
// Idle detection. The kernel counts the runnable units of work: queued DPCs, work
// items and tasks, and the kernel threads executing them. A thread that blocks in
// KeWaitForSingleObject stops counting and is counted again by whoever wakes it,
// under the dispatcher lock, so "idle" (nothing runnable) is exact and never
// depends on sleeps or machine speed. Threads of the test itself are not counted
// unless started with Kernel::startThread.
//
// A thread that is not a kernel thread (the test's main thread, for example)
// calling a wait that cannot be satisfied while the system is idle lets the clock
// jump to the next due event (auto-advance): a synchronous driver call from a test
// whose request times out after 3 s returns at once with the clock 3 s later.
// Threads started with startThread do not auto-advance; the test drives time.
//
// Scheduling work from other components ("call me at virtual time T on a system
// thread"): create a SystemThread (createSystemThread(name, irql)) and use
// post(fn) / postAt(time, fn) / cancel(id); or runAtDispatch/runAtPassive for a
// one-off task on the DPC thread or a worker thread.
//
// Violations (misuse of the platform by the code under test) are recorded with a
// message and printed; tests assert violations() is empty. Pool leaks are
// reported by leaks()/leakReport(), naming tag and size.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "kernel/nt.h"

namespace torvex::platform {

// 100 ns ticks.
using Duration = std::chrono::duration<int64_t, std::ratio<1, 10'000'000>>;
using TimePoint = int64_t;  // absolute virtual time in 100 ns since kernel start

struct KernelOptions {
  int workerThreads = 3;
  int64_t performanceFrequency = 3'579'545;  // Hz
  bool printViolations = true;               // also write each violation to stderr
};

struct PoolLeak {
  ULONG tag;
  std::string tagText;  // the four tag characters, e.g. "Wdm "
  size_t bytes;
  size_t count;
};

struct PoolTagStats {
  size_t liveCount = 0;
  size_t liveBytes = 0;
  size_t totalAllocations = 0;
};

// Called for each allocation; returning true makes it fail (nullptr).
using AllocationFailurePolicy = std::function<bool(POOL_TYPE type, SIZE_T bytes, ULONG tag)>;

class Registry {
 public:
  // Paths are absolute ("\\Registry\\Machine\\...") and case-insensitive.
  void setDword(const std::wstring& keyPath, const std::wstring& valueName, uint32_t value);
  std::optional<uint32_t> getDword(const std::wstring& keyPath, const std::wstring& valueName) const;
  void deleteValue(const std::wstring& keyPath, const std::wstring& valueName);
  void createKey(const std::wstring& keyPath);
  bool keyExists(const std::wstring& keyPath) const;
  // Raw access used by the Rtl functions.
  struct Value {
    ULONG type = REG_NONE;
    std::vector<uint8_t> data;
  };
  std::optional<Value> getValue(const std::wstring& keyPath, const std::wstring& valueName) const;
  void setValue(const std::wstring& keyPath, const std::wstring& valueName, Value value);

  struct Impl;

 private:
  friend class Kernel;
  explicit Registry(Impl* impl) : impl_(impl) {}
  Impl* impl_;
};

using TaskId = uint64_t;

// A serial executor on its own kernel thread at a fixed IRQL. Tasks run one at a
// time, in order of posting (post) or of due time (postAt). Destroying it stops
// the thread; tasks not yet run are dropped.
class SystemThread {
 public:
  ~SystemThread();
  SystemThread(const SystemThread&) = delete;
  SystemThread& operator=(const SystemThread&) = delete;

  void post(std::function<void()> fn);
  TaskId postAt(TimePoint when, std::function<void()> fn);
  bool cancel(TaskId id);  // true if the task was still waiting for its time
  const std::string& name() const;

 private:
  friend class Kernel;
  struct Impl;
  explicit SystemThread(std::shared_ptr<Impl> impl);
  std::shared_ptr<Impl> impl_;
};

// A thread of a test, counted by idle detection while it runs (not while it
// waits in a kernel wait). Joined by join() or the destructor.
class KernelThread {
 public:
  KernelThread() = default;
  KernelThread(KernelThread&&) noexcept = default;
  KernelThread& operator=(KernelThread&&) noexcept;
  ~KernelThread();
  void join();
  bool joinable() const { return thread_.joinable(); }

 private:
  friend class Kernel;
  explicit KernelThread(std::thread thread) : thread_(std::move(thread)) {}
  std::thread thread_;
};

class Kernel {
 public:
  explicit Kernel(KernelOptions options = {});
  ~Kernel();
  Kernel(const Kernel&) = delete;
  Kernel& operator=(const Kernel&) = delete;

  static Kernel& current();           // aborts when there is none
  static Kernel* currentOrNull();

  // --- clock ---
  TimePoint now() const;
  void advance(Duration d);
  void advanceTo(TimePoint t);
  void runUntilIdle();
  // Advances event by event until pred() holds or `limit` has passed; returns pred().
  bool runUntil(const std::function<bool()>& pred, Duration limit);
  std::optional<TimePoint> nextDueTime() const;
  void startRealTime(double speed = 1.0);
  void stopRealTime();
  int64_t performanceFrequency() const;

  // --- threads and scheduling ---
  std::unique_ptr<SystemThread> createSystemThread(std::string name, KIRQL irql);
  void runAtDispatch(std::function<void()> fn);  // on the DPC thread
  void runAtPassive(std::function<void()> fn);   // on a worker thread
  KernelThread startThread(std::function<void()> fn);

  // --- pool ---
  std::vector<PoolLeak> leaks() const;
  std::string leakReport() const;  // empty when nothing is left
  PoolTagStats poolStats(ULONG tag) const;
  void setAllocationFailure(AllocationFailurePolicy policy);  // empty policy: never fail

  // --- registry ---
  Registry& registry();

  // --- violations and debug output ---
  std::vector<std::string> violations() const;
  void clearViolations();
  void reportViolation(const std::string& message);
  std::vector<std::string> debugLog() const;

  struct Impl;
  Impl& impl() { return *impl_; }

 private:
  std::unique_ptr<Impl> impl_;
  Registry registry_;
};

// Helpers for building due times in driver-style units.
inline LARGE_INTEGER RelativeTime(Duration d) {
  LARGE_INTEGER li;
  li.QuadPart = -d.count();
  return li;
}
std::string TagText(ULONG tag);
std::wstring Widen(const std::string& s);

}  // namespace torvex::platform
