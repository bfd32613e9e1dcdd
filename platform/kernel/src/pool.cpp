// Non-paged and paged pool with per-tag accounting and leak reports.
#include <cstdlib>
#include <sstream>

#include "kernel_impl.h"

namespace torvex::platform {

namespace {
constexpr ULONG kNoTag = MakeTag("None");
}

void* PoolAllocate(POOL_TYPE type, size_t bytes, ULONG tag) {
  auto& k = CurrentImpl();
  if (type == PagedPool && t_irql >= DISPATCH_LEVEL) {
    k.violation("paged pool allocated at DISPATCH_LEVEL (tag '" + TagText(tag) + "')");
  }
  if (t_irql > DISPATCH_LEVEL) k.violation("pool allocated above DISPATCH_LEVEL");
  AllocationFailurePolicy policy;
  {
    std::lock_guard lock(k.poolMu);
    policy = k.failurePolicy;
  }
  if (policy && policy(type, bytes, tag)) return nullptr;
  void* p = std::malloc(bytes == 0 ? 1 : bytes);
  if (!p) return nullptr;
  std::lock_guard lock(k.poolMu);
  k.allocations[p] = {tag, bytes};
  auto& stats = k.poolStats[tag];
  stats.liveCount++;
  stats.liveBytes += bytes;
  stats.totalAllocations++;
  return p;
}

void PoolFree(void* p, std::optional<ULONG> expectedTag) {
  auto& k = CurrentImpl();
  if (!p) {
    k.violation("ExFreePool of a null pointer");
    return;
  }
  if (t_irql > DISPATCH_LEVEL) k.violation("pool freed above DISPATCH_LEVEL");
  std::unique_lock lock(k.poolMu);
  auto it = k.allocations.find(p);
  if (it == k.allocations.end()) {
    // Not freeing it is the safe reaction to a double free or a foreign pointer.
    lock.unlock();
    k.violation("pool block freed twice or never allocated from pool");
    return;
  }
  if (expectedTag && *expectedTag != it->second.tag) {
    std::ostringstream msg;
    msg << "ExFreePoolWithTag with tag '" << TagText(*expectedTag) << "' of a block allocated with tag '"
        << TagText(it->second.tag) << "'";
    k.violation(msg.str());
  }
  auto& stats = k.poolStats[it->second.tag];
  stats.liveCount--;
  stats.liveBytes -= it->second.bytes;
  k.allocations.erase(it);
  std::free(p);
}

std::vector<PoolLeak> Kernel::leaks() const {
  std::lock_guard lock(impl_->poolMu);
  std::vector<PoolLeak> result;
  for (const auto& [tag, stats] : impl_->poolStats) {
    if (stats.liveCount) result.push_back({tag, TagText(tag), stats.liveBytes, stats.liveCount});
  }
  return result;
}

std::string Kernel::leakReport() const {
  std::ostringstream out;
  for (const auto& leak : leaks()) {
    out << "pool tag '" << leak.tagText << "': " << leak.count << " block(s), " << leak.bytes << " byte(s) not freed\n";
  }
  return out.str();
}

PoolTagStats Kernel::poolStats(ULONG tag) const {
  std::lock_guard lock(impl_->poolMu);
  auto it = impl_->poolStats.find(tag);
  return it == impl_->poolStats.end() ? PoolTagStats{} : it->second;
}

void Kernel::setAllocationFailure(AllocationFailurePolicy policy) {
  std::lock_guard lock(impl_->poolMu);
  impl_->failurePolicy = std::move(policy);
}

}  // namespace torvex::platform

using namespace torvex::platform;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes, ULONG Tag) {
  return PoolAllocate(PoolType, NumberOfBytes, Tag);
}

PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) { return PoolAllocate(PoolType, NumberOfBytes, kNoTag); }

VOID ExFreePool(PVOID P) { PoolFree(P, std::nullopt); }

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) { PoolFree(P, Tag); }
