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
  for (std::uint32_t k = 0;; ++k) {
    const std::uint32_t sig = signature_of(raw + k);
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
                                    std::uint32_t chain) {
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
                           std::uint32_t& chain) const {
  const auto lock = acquire<std::shared_lock<std::shared_mutex>>(mutex_);
  const auto it = slots_.find(signature);
  if (it == slots_.end()) return false;
  pairs.assign(it->second.pairs.data(), it->second.pairs.size());
  entity = it->second.entity;
  chain = it->second.chain;
  return true;
}

std::size_t DenseRegistry::size() const {
  const auto lock = acquire<std::shared_lock<std::shared_mutex>>(mutex_);
  return slots_.size();
}

}  // namespace korval
