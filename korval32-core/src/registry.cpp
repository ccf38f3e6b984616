#include "registry.hpp"

#include <algorithm>
#include <mutex>
#include <system_error>

#include "errors.hpp"

namespace korval {

namespace {

bool same_entry(const DenseEntry& e, const PairSet& pairs, std::uint32_t entity,
                std::uint32_t chain) noexcept {
  return e.entity == entity && e.chain == chain &&
         std::equal(e.pairs.begin(), e.pairs.end(), pairs.begin(), pairs.end());
}

// Locking a std::shared_mutex only fails when the system refuses; report that as an internal
// failure rather than letting std::system_error cross into the binding.
template <class Lock>
Lock acquire(std::shared_mutex& m) {
  try {
    return Lock(m);
  } catch (const std::system_error& e) {
    throw InternalError(std::string("dense registry lock failed: ") + e.what());
  }
}

}  // namespace

std::uint32_t DenseRegistry::probe(std::uint32_t raw, const PairSet& pairs, std::uint32_t entity,
                                   std::uint32_t chain, bool& found) const {
  std::uint32_t step = 0;  // computed only if the first candidate is taken
  for (std::uint32_t k = 0;; ++k) {
    if (k == 1) step = probe_step(pairs, entity, chain);
    const std::uint32_t sig = candidate_signature(raw, step, k);
    const auto it = slots_.find(sig);
    if (it == slots_.end()) {
      found = false;
      return sig;
    }
    if (same_entry(it->second, pairs, entity, chain)) {
      found = true;
      return sig;
    }
  }
}

std::uint32_t DenseRegistry::intern(std::uint32_t raw, const PairSet& pairs, std::uint32_t entity,
                                    std::uint32_t chain, Memo* memo) {
  if (memo == nullptr) return intern_locked(raw, pairs, entity, chain);
  // By the second hash: entries that share their first hash would share a slot.
  Memo::Slot& slot = memo->slot(0, probe_step(pairs, entity, chain));
  if (slot.holds(pairs, entity, chain)) return slot.signature;
  const std::uint32_t sig = intern_locked(raw, pairs, entity, chain);
  slot.keep(sig, pairs, entity, chain);
  return sig;
}

std::uint32_t DenseRegistry::intern_locked(std::uint32_t raw, const PairSet& pairs,
                                           std::uint32_t entity, std::uint32_t chain) {
  bool found = false;
  {
    // Most encodes repeat an entry already stored: a read lock suffices for them.
    const auto lock = acquire<std::shared_lock<std::shared_mutex>>(mutex_);
    const std::uint32_t sig = probe(raw, pairs, entity, chain, found);
    if (found) return sig;
  }
  const auto lock = acquire<std::unique_lock<std::shared_mutex>>(mutex_);
  // Another writer may have stored it between the two locks.
  const std::uint32_t sig = probe(raw, pairs, entity, chain, found);
  if (found) return sig;
  if (slots_.size() >= kCapacity) {
    throw InternalError("dense signature registry is full");
  }
  DenseEntry entry{std::vector<PairId>(pairs.begin(), pairs.end()), entity, chain};
  slots_.emplace(sig, std::move(entry));  // leaves the map unchanged if it throws
  return sig;
}

bool DenseRegistry::lookup(std::uint32_t signature, PairSet& pairs, std::uint32_t& entity,
                           std::uint32_t& chain, Memo* memo) const {
  Memo::Slot* slot = memo ? &memo->slot(1, signature) : nullptr;
  if (slot && slot->size != 0 && slot->signature == signature) {
    pairs.assign(slot->ids, slot->size);
    entity = slot->entity;
    chain = slot->chain;
    return true;
  }
  {
    const auto lock = acquire<std::shared_lock<std::shared_mutex>>(mutex_);
    const auto it = slots_.find(signature);
    if (it == slots_.end()) return false;
    pairs.assign(it->second.pairs.data(), it->second.pairs.size());
    entity = it->second.entity;
    chain = it->second.chain;
  }
  // Absent signatures are not remembered: a later encode may still store them.
  if (slot) slot->keep(signature, pairs, entity, chain);
  return true;
}

std::size_t DenseRegistry::size() const {
  const auto lock = acquire<std::shared_lock<std::shared_mutex>>(mutex_);
  return slots_.size();
}

}  // namespace korval
