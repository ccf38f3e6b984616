// The KORVAL-32 provenance word and its codec.
//
//   bits 31-30  mode: 0 = no pair or one pair, 1 = two pairs, 2 = three pairs, 3 = four or more
//   bit  29     taint: the value derives from a protected source
//   bits 28-26  depth: derivation distance from the sources, saturating at 7
//   bits 25-0   payload, by mode:
//     00  pair_data (10 bits: 0 = no pair, k = pair k - 1) | entity (8) | chain (8)
//     01  rank of {a < b} (17 bits)                          | entity (5) | chain (4)
//     10  rank of {a < b < c} (25 bits)                      | reserved bit 0, written 0
//     11  signature (26 bits) of an entry in the tracker's dense registry
//
// The word 0 means no provenance: mode 00, no pair, entity 0, chain 0, untainted, depth 0.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "errors.hpp"
#include "pairs.hpp"
#include "registry.hpp"

namespace korval {

inline constexpr std::uint32_t MODE_SHIFT = 30;
inline constexpr std::uint32_t TAINT_SHIFT = 29;
inline constexpr std::uint32_t DEPTH_SHIFT = 26;
inline constexpr std::uint32_t MAX_DEPTH = 7;
inline constexpr std::uint32_t MODE_MASK = 0xC0000000u;
inline constexpr std::uint32_t TAINT_MASK = 0x20000000u;
inline constexpr std::uint32_t DEPTH_MASK = 0x1C000000u;
inline constexpr std::uint32_t PAYLOAD_MASK = 0x03FFFFFFu;

enum class Mode : std::uint8_t { Single = 0, Two = 1, Three = 2, Dense = 3 };

// How a decoded word is labelled.
enum class Label : std::uint8_t { Exact0, Exact1, Exact2, Exact3, Dense };

constexpr const char* label_text(Label label) noexcept {
  switch (label) {
    case Label::Exact0: return "EXACT-0";
    case Label::Exact1: return "EXACT-1";
    case Label::Exact2: return "EXACT-2";
    case Label::Exact3: return "EXACT-3";
    case Label::Dense: return "DENSE";
  }
  return "DENSE";
}

constexpr Mode mode_of(std::uint32_t w) noexcept { return static_cast<Mode>(w >> MODE_SHIFT); }
constexpr bool taint_of(std::uint32_t w) noexcept { return (w & TAINT_MASK) != 0; }
constexpr std::uint32_t depth_of(std::uint32_t w) noexcept { return (w >> DEPTH_SHIFT) & 7u; }

// Mode, taint and depth bits; depth saturates at 7 (compared as an unsigned value).
constexpr std::uint32_t make_header(Mode mode, bool taint, std::uint32_t depth) noexcept {
  return (static_cast<std::uint32_t>(mode) << MODE_SHIFT) | (taint ? TAINT_MASK : 0u) |
         ((depth < MAX_DEPTH ? depth : MAX_DEPTH) << DEPTH_SHIFT);
}

struct DecodedWord {
  Label label = Label::Exact0;
  PairSet pairs;
  std::uint32_t entity = 0;
  std::uint32_t chain = 0;
  std::uint32_t depth = 0;
  bool taint = false;
};

// The exact encoder, for 0 to 3 ascending distinct ids. Fields too wide for their place are cut
// to the payload; that only happens for ids outside the format's range (above 511, or above
// 1022 for a single id). Four or more ids throw InternalError: they belong to encode_dense.
inline std::uint32_t encode_exact(const PairId* ids, std::size_t n, std::uint32_t entity,
                                  std::uint32_t chain, bool taint, std::uint32_t depth) {
  std::uint32_t payload;
  Mode mode;
  switch (n) {
    case 0:
      mode = Mode::Single;
      payload = (entity & 0xFFu) << 8 | (chain & 0xFFu);
      break;
    case 1:
      mode = Mode::Single;
      payload = (static_cast<std::uint32_t>(ids[0]) + 1) << 16 | (entity & 0xFFu) << 8 |
                (chain & 0xFFu);
      break;
    case 2:
      mode = Mode::Two;
      payload = static_cast<std::uint32_t>(rank2(ids[0], ids[1])) << 9 | (entity & 0x1Fu) << 4 |
                (chain & 0xFu);
      break;
    case 3:
      mode = Mode::Three;
      payload = static_cast<std::uint32_t>(rank3(ids[0], ids[1], ids[2])) << 1;
      break;
    default:
      throw InternalError("encode() cannot handle " + std::to_string(n) +
                          " pairs (mode 11). Use encode_dense() with a registry.");
  }
  return make_header(mode, taint, depth) | (payload & PAYLOAD_MASK);
}

inline std::uint32_t encode_exact(const PairSet& pairs, std::uint32_t entity, std::uint32_t chain,
                                  bool taint, std::uint32_t depth) {
  return encode_exact(pairs.data(), pairs.size(), entity, chain, taint, depth);
}

// The raw hash behind a dense signature: the ids in ascending order, then entity and chain,
// folded as h = h * 31 + x with 32-bit wrap-around.
inline std::uint32_t dense_hash(const PairSet& pairs, std::uint32_t entity,
                                std::uint32_t chain) noexcept {
  std::uint32_t h = 0;
  for (PairId id : pairs) h = h * 31u + id;
  h = h * 31u + entity;
  h = h * 31u + chain;
  return h;
}

// The dense encoder, for any number of ascending distinct ids; fewer than 4 go to encode_exact.
// Stores the entry in `registry` (or finds it there). Taint and depth stay out of the
// signature, so words differing only in them share one entry.
inline std::uint32_t encode_dense(const PairSet& pairs, std::uint32_t entity, std::uint32_t chain,
                                  bool taint, std::uint32_t depth, DenseRegistry& registry,
                                  DenseRegistry::Memo* memo = nullptr) {
  if (pairs.size() < 4) return encode_exact(pairs, entity, chain, taint, depth);
  const std::uint32_t sig =
      registry.intern(dense_hash(pairs, entity, chain), pairs, entity, chain, memo);
  return make_header(Mode::Dense, taint, depth) | sig;
}

// Decodes every 32-bit word without error. A mode-11 word whose signature `registry` does not
// hold decodes to no pairs, entity 0 and chain 0.
inline void decode(std::uint32_t w, const DenseRegistry& registry, DecodedWord& out,
                   DenseRegistry::Memo* memo = nullptr) {
  out.taint = taint_of(w);
  out.depth = depth_of(w);
  const std::uint32_t e = w & PAYLOAD_MASK;
  out.pairs.clear();
  switch (mode_of(w)) {
    case Mode::Single: {
      const std::uint32_t pd = e >> 16;
      if (pd >= 1) {
        out.pairs.push_back(static_cast<PairId>(pd - 1));
        out.label = Label::Exact1;
      } else {
        out.label = Label::Exact0;
      }
      out.entity = (w >> 8) & 0xFFu;
      out.chain = w & 0xFFu;
      break;
    }
    case Mode::Two: {
      const Ranked2 r = unrank2(e >> 9);
      out.pairs.push_back(static_cast<PairId>(r.a));
      out.pairs.push_back(static_cast<PairId>(r.b));
      out.entity = (w >> 4) & 0x1Fu;
      out.chain = w & 0xFu;
      out.label = Label::Exact2;
      break;
    }
    case Mode::Three: {
      const Ranked3 r = unrank3(e >> 1);
      out.pairs.push_back(static_cast<PairId>(r.a));
      out.pairs.push_back(static_cast<PairId>(r.b));
      out.pairs.push_back(static_cast<PairId>(r.c));
      out.entity = 0;
      out.chain = 0;
      out.label = Label::Exact3;
      break;
    }
    case Mode::Dense: {
      if (!registry.lookup(e, out.pairs, out.entity, out.chain, memo)) {
        out.pairs.clear();
        out.entity = 0;
        out.chain = 0;
      }
      out.label = Label::Dense;
      break;
    }
  }
}

inline DecodedWord decode(std::uint32_t w, const DenseRegistry& registry) {
  DecodedWord out;
  decode(w, registry, out);
  return out;
}

}  // namespace korval
