// The dense signature registry: the table that lets a mode-11 word, whose payload is only a
// 26-bit signature, be decoded back into its pairs, entity and chain.
#pragma once

#include <cstddef>
#include <algorithm>
#include <cstdint>
#include <memory>
#include <shared_mutex>
#include <unordered_map>
#include <vector>

#include "pairs.hpp"

namespace korval {

// What a mode-11 word stands for. Entity and chain are kept exactly as the encoder was given
// them, not cut to any field width.
struct DenseEntry {
  std::vector<PairId> pairs;  // ascending, distinct
  std::uint32_t entity = 0;
  std::uint32_t chain = 0;

  friend bool operator==(const DenseEntry&, const DenseEntry&) = default;
};

// MurmurHash3's 32-bit finalizer.
constexpr std::uint32_t fmix32(std::uint32_t h) noexcept {
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  return h;
}

// The 26-bit signature of a raw (unfinalised) dense hash.
constexpr std::uint32_t signature_of(std::uint32_t raw) noexcept {
  const std::uint32_t h = fmix32(raw);
  return (h ^ (h >> 16)) & 0x03FFFFFFu;
}

// The step between the signatures an entry tries once its own is taken: a second hash of the
// entry, odd. The first hash folds every field with the multiplier 31, so entries that differ by
// +31 in one field and -1 in the next share it; a step from an unrelated fold sends them, and
// the entries near them, along different paths instead of one crowded run.
inline std::uint32_t probe_step(const PairSet& pairs, std::uint32_t entity,
                                std::uint32_t chain) noexcept {
  std::uint32_t h = 0x811C9DC5u;
  for (PairId id : pairs) h = (h ^ id) * 0x01000193u;
  h = (h ^ entity) * 0x01000193u;
  h = (h ^ chain) * 0x01000193u;
  return fmix32(h) | 1u;
}

// The k-th signature an entry tries: k = 0 gives its own signature. An odd step makes raw + k *
// step run through every 32-bit value, so every signature is reachable.
constexpr std::uint32_t candidate_signature(std::uint32_t raw, std::uint32_t step,
                                            std::uint32_t k) noexcept {
  return signature_of(raw + k * step);
}

// Signature -> entry, behind a reader-writer lock: many decoders, or one encoder storing a new
// entry. A signature, once given to an entry, is never given to another: an entry whose
// signature is taken by a different entry moves on to the next candidate_signature until it
// finds a free slot or its own earlier copy. Every word therefore keeps decoding to exactly
// what made it, and encoding an identical entry again gives the same signature.
class DenseRegistry {
 public:
  // Number of signatures a registry can hand out.
  static constexpr std::size_t kCapacity = std::size_t{1} << 26;

  // Remembers recent interns and look-ups for one caller, such as one batch loop, so that
  // repeated entries skip the lock and the map. It is exact: a signature, once given, keeps its
  // entry for the life of the registry. A memo serves one registry and one thread; its tables
  // are allocated on first use, so a caller that never meets a dense word pays nothing.
  class Memo {
   public:
    // `expected` is roughly how many encodes the caller will make: the tables grow with it, from
    // 64 to 4096 slots each.
    explicit Memo(std::size_t expected = 0) noexcept {
      while (slots_ < kMaxSlots && slots_ < expected / 4) slots_ *= 2;
    }

   private:
    friend class DenseRegistry;
    static constexpr std::size_t kMinSlots = 64;
    static constexpr std::size_t kMaxSlots = 4096;
    // Entries of up to kIds pairs are remembered; larger ones always go to the registry.
    static constexpr std::size_t kIds = 8;
    struct Slot {
      std::uint32_t signature;
      std::uint32_t entity;
      std::uint32_t chain;
      std::uint16_t size;  // 0: empty (a dense entry has at least four pairs)
      PairId ids[kIds];

      bool holds(const PairSet& pairs, std::uint32_t e, std::uint32_t c) const noexcept {
        return size == pairs.size() && entity == e && chain == c &&
               std::equal(ids, ids + size, pairs.begin());
      }
      void keep(std::uint32_t sig, const PairSet& pairs, std::uint32_t e, std::uint32_t c) noexcept {
        if (pairs.size() > kIds) return;
        signature = sig;
        entity = e;
        chain = c;
        size = static_cast<std::uint16_t>(pairs.size());
        std::copy(pairs.begin(), pairs.end(), ids);
      }
    };
    // The slot of `hash` in table 0 (interns, by the entry's second hash) or table 1 (look-ups,
    // by signature).
    Slot& slot(int table, std::uint32_t hash) {
      if (!slots_table_) slots_table_ = std::make_unique<Slot[]>(2 * slots_);  // zeroed: empty
      return slots_table_[static_cast<std::size_t>(table) * slots_ + (hash & (slots_ - 1))];
    }
    std::size_t slots_ = kMinSlots;
    std::unique_ptr<Slot[]> slots_table_;
  };

  DenseRegistry() = default;
  DenseRegistry(const DenseRegistry&) = delete;
  DenseRegistry& operator=(const DenseRegistry&) = delete;

  // Stores (pairs, entity, chain), or finds the copy stored before, and returns its signature.
  // `raw` is the entry's hash before finalising; `pairs` is ascending and distinct.
  // Throws InternalError once every signature is taken, std::bad_alloc when memory runs out;
  // either way the registry is left as it was.
  std::uint32_t intern(std::uint32_t raw, const PairSet& pairs, std::uint32_t entity,
                       std::uint32_t chain, Memo* memo = nullptr);

  // Copies the entry stored under `signature` into the outputs and returns true, or returns
  // false (outputs untouched) when no entry has that signature.
  bool lookup(std::uint32_t signature, PairSet& pairs, std::uint32_t& entity,
              std::uint32_t& chain, Memo* memo = nullptr) const;

  std::size_t size() const;

 private:
  // Walks the probe sequence of `raw`: returns the signature holding this entry, or else the
  // first free one with `found` false. The caller holds the lock.
  std::uint32_t probe(std::uint32_t raw, const PairSet& pairs, std::uint32_t entity,
                      std::uint32_t chain, bool& found) const;
  std::uint32_t intern_locked(std::uint32_t raw, const PairSet& pairs, std::uint32_t entity,
                              std::uint32_t chain);

  mutable std::shared_mutex mutex_;
  std::unordered_map<std::uint32_t, DenseEntry> slots_;
};

}  // namespace korval
