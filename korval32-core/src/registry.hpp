// The dense signature registry: the table that lets a mode-11 word, whose payload is only a
// 26-bit signature, be decoded back into its pairs, entity and chain.
#pragma once

#include <cstddef>
#include <cstdint>
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

// Signature -> entry, behind a reader-writer lock: many decoders, or one encoder storing a new
// entry. A signature, once given to an entry, is never given to another: an entry whose
// signature is taken by a different entry moves on to signature_of(raw + 1), raw + 2, ... until
// it finds a free slot or its own earlier copy. Every word therefore keeps decoding to exactly
// what made it, and encoding an identical entry again gives the same signature.
class DenseRegistry {
 public:
  // Number of signatures a registry can hand out.
  static constexpr std::size_t kCapacity = std::size_t{1} << 26;

  DenseRegistry() = default;
  DenseRegistry(const DenseRegistry&) = delete;
  DenseRegistry& operator=(const DenseRegistry&) = delete;

  // Stores (pairs, entity, chain), or finds the copy stored before, and returns its signature.
  // `raw` is the entry's hash before finalising; `pairs` is ascending and distinct.
  // Throws InternalError once every signature is taken, std::bad_alloc when memory runs out;
  // either way the registry is left as it was.
  std::uint32_t intern(std::uint32_t raw, const PairSet& pairs, std::uint32_t entity,
                       std::uint32_t chain);

  // Copies the entry stored under `signature` into the outputs and returns true, or returns
  // false (outputs untouched) when no entry has that signature.
  bool lookup(std::uint32_t signature, PairSet& pairs, std::uint32_t& entity,
              std::uint32_t& chain) const;

  std::size_t size() const;

 private:
  // Walks the probe sequence of `raw`: returns the signature holding this entry, or else the
  // first free one with `found` false. The caller holds the lock.
  std::uint32_t probe(std::uint32_t raw, const PairSet& pairs, std::uint32_t entity,
                      std::uint32_t chain, bool& found) const;

  mutable std::shared_mutex mutex_;
  std::unordered_map<std::uint32_t, DenseEntry> slots_;
};

}  // namespace korval
