// A literal, slow model of the word format for the tests to check the fast code against: the
// binomials by the textbook loop, the ranks found by upward searches, pair sets as std::set,
// and a dense registry as a std::map with the same probing rule.
#pragma once

#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

namespace ref {

using Set = std::set<std::uint32_t>;

inline std::uint64_t binom(std::uint64_t n, std::uint64_t k) {
  if (n < k) return 0;
  if (n == k) return 1;
  std::uint64_t r = 1;
  const std::uint64_t steps = k < n - k ? k : n - k;
  for (std::uint64_t i = 1; i <= steps; ++i) {
    r = r * n / i;
    n = n - 1;
  }
  return r;
}

// Largest n with C(n, k) <= x, searched upward from n = k.
inline std::uint32_t search_up(std::uint64_t x, std::uint32_t k) {
  std::uint32_t n = k;
  while (binom(n + 1, k) <= x) ++n;
  return n;
}

inline Set unrank2(std::uint32_t idx) {
  if (idx == 0) return {0, 1};
  const std::uint32_t b = search_up(idx, 2);
  return {static_cast<std::uint32_t>(idx - binom(b, 2)), b};
}

inline Set unrank3(std::uint32_t f) {
  std::uint32_t c = 2;
  std::uint64_t g = 0;
  if (f != 0) {
    c = search_up(f, 3);
    g = binom(c, 3);
  }
  const std::uint64_t r = f - g;
  std::uint32_t a = 0, b = 1;
  if (r != 0) {
    b = search_up(r, 2);
    a = static_cast<std::uint32_t>(r - binom(b, 2));
  }
  return {a, b, c};
}

inline std::uint32_t fmix(std::uint32_t h) {
  h ^= h >> 16;
  h *= 0x85EBCA6Bu;
  h ^= h >> 13;
  h *= 0xC2B2AE35u;
  return h;
}

struct Entry {
  Set pairs;
  std::uint32_t entity = 0, chain = 0;
  bool operator==(const Entry&) const = default;
};

struct Registry {
  std::map<std::uint32_t, Entry> slots;

  // The first hash folds with 31; a taken signature sends the entry on by a second, odd hash.
  std::uint32_t intern(const Entry& e) {
    std::uint32_t h = 0;
    for (auto x : e.pairs) h = h * 31 + x;
    h = h * 31 + e.entity;
    h = h * 31 + e.chain;
    std::uint32_t h2 = 0x811C9DC5u;
    for (auto x : e.pairs) h2 = (h2 ^ x) * 0x01000193u;
    h2 = (h2 ^ e.entity) * 0x01000193u;
    h2 = (h2 ^ e.chain) * 0x01000193u;
    const std::uint32_t step = fmix(h2) | 1u;
    for (std::uint32_t k = 0;; ++k) {
      const std::uint32_t f = fmix(h + k * step);
      const std::uint32_t sig = (f & 0x03FFFFFF) ^ (f >> 16);
      const auto it = slots.find(sig);
      if (it == slots.end()) {
        slots[sig] = e;
        return sig;
      }
      if (it->second == e) return sig;
    }
  }
};

struct Decoded {
  std::string label;
  Set pairs;
  std::uint32_t entity = 0, chain = 0, depth = 0;
  bool taint = false;
  bool operator==(const Decoded&) const = default;
};

inline std::uint32_t header(std::uint32_t mode, bool taint, std::uint32_t depth) {
  return mode << 30 | (taint ? 0x20000000u : 0u) | (depth < 7 ? depth : 7u) << 26;
}

inline std::uint32_t encode(const Set& p, std::uint32_t entity, std::uint32_t chain, bool taint,
                            std::uint32_t depth, Registry& reg) {
  std::vector<std::uint32_t> v(p.begin(), p.end());
  std::uint64_t payload = 0;
  std::uint32_t mode = 0;
  switch (v.size()) {
    case 0: payload = (entity & 0xFF) << 8 | (chain & 0xFF); break;
    case 1: payload = (std::uint64_t{v[0]} + 1) << 16 | (entity & 0xFF) << 8 | (chain & 0xFF); break;
    case 2:
      mode = 1;
      payload = (v[0] + binom(v[1], 2)) << 9 | (entity & 0x1F) << 4 | (chain & 0xF);
      break;
    case 3:
      mode = 2;
      payload = (v[0] + binom(v[1], 2) + binom(v[2], 3)) << 1;
      break;
    default:
      return header(3, taint, depth) | reg.intern({p, entity, chain});
  }
  return header(mode, taint, depth) | static_cast<std::uint32_t>(payload & 0x03FFFFFF);
}

inline Decoded decode(std::uint32_t w, const Registry& reg) {
  Decoded d;
  d.taint = (w >> 29) & 1;
  d.depth = (w >> 26) & 7;
  const std::uint32_t e = w & 0x03FFFFFF;
  switch (w >> 30) {
    case 0: {
      const std::uint32_t pd = e >> 16;
      d.label = pd ? "EXACT-1" : "EXACT-0";
      if (pd) d.pairs = {pd - 1};
      d.entity = (w >> 8) & 0xFF;
      d.chain = w & 0xFF;
      break;
    }
    case 1:
      d.label = "EXACT-2";
      d.pairs = unrank2(e >> 9);
      d.entity = (w >> 4) & 0x1F;
      d.chain = w & 0xF;
      break;
    case 2:
      d.label = "EXACT-3";
      d.pairs = unrank3(e >> 1);
      break;
    default: {
      d.label = "DENSE";
      const auto it = reg.slots.find(e);
      if (it != reg.slots.end()) {
        d.pairs = it->second.pairs;
        d.entity = it->second.entity;
        d.chain = it->second.chain;
      }
    }
  }
  return d;
}

inline std::uint32_t width_mask(std::size_t n) {
  return n <= 1 ? 0xFF : n == 2 ? 0xF : n == 3 ? 0 : 0xFFFF;
}

inline std::uint32_t combine(std::uint32_t a, std::uint32_t b, std::uint32_t op, Registry& reg) {
  if (a == 0) return b;
  if (b == 0) return a;
  const Decoded x = decode(a, reg), y = decode(b, reg);
  Set p = x.pairs;
  p.insert(y.pairs.begin(), y.pairs.end());
  const std::uint32_t c = (op + (x.chain ^ y.chain) * 31u) & width_mask(p.size());
  const std::uint32_t d = std::max(x.depth, y.depth) + 1;
  return encode(p, x.entity ^ y.entity, c, x.taint || y.taint, d, reg);
}

inline std::uint32_t update_chain(std::uint32_t w, std::uint32_t op, Registry& reg) {
  const Decoded x = decode(w, reg);
  const std::uint32_t c = (op + x.chain * 31u) & width_mask(x.pairs.size());
  return encode(x.pairs, x.entity, c, x.taint, x.depth + 1, reg);
}

}  // namespace ref
