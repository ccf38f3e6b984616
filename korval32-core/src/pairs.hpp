// Pair ids, sets of pair ids, and the colex ranks that number the 1-, 2- and 3-pair sets.
//
// A set {a < b} has rank a + C(b, 2) and a set {a < b < c} has rank a + C(b, 2) + C(c, 3): their
// positions in colexicographic order, so every set of ids below 512 has a value of its own.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace korval {

using PairId = std::uint16_t;

// Highest number of (table, column) pairs one tracker registers: ids 0-511.
inline constexpr std::uint32_t MAX_PAIRS = 512;

// C(n, 2) and C(n, 3), 0 when n < k. choose2 is exact for every 32-bit n, choose3 for every n
// below 2^21, which covers every 16-bit pair id.
constexpr std::uint64_t choose2(std::uint64_t n) noexcept { return n < 2 ? 0 : n * (n - 1) / 2; }
constexpr std::uint64_t choose3(std::uint64_t n) noexcept {
  return n < 3 ? 0 : n * (n - 1) / 2 * (n - 2) / 3;
}

constexpr std::uint64_t rank2(std::uint64_t a, std::uint64_t b) noexcept { return a + choose2(b); }
constexpr std::uint64_t rank3(std::uint64_t a, std::uint64_t b, std::uint64_t c) noexcept {
  return a + choose2(b) + choose3(c);
}

// The largest n with C(n, 2) <= x (1 for x = 0). A floating-point estimate corrected with
// exact integer comparisons, so it is exact for every 32-bit x in constant time.
inline std::uint32_t largest_choose2_at_most(std::uint32_t x) noexcept {
  auto n = static_cast<std::uint64_t>((1.0 + std::sqrt(1.0 + 8.0 * static_cast<double>(x))) * 0.5);
  while (choose2(n + 1) <= x) ++n;
  while (n > 1 && choose2(n) > x) --n;
  return static_cast<std::uint32_t>(n);
}

// The largest n with C(n, 3) <= x (2 for x = 0), exact for every 32-bit x in constant time.
// C(n, 3) = ((n - 1)^3 - (n - 1)) / 6, so n - 1 is close to the cube root of 6x.
inline std::uint32_t largest_choose3_at_most(std::uint32_t x) noexcept {
  auto n = static_cast<std::uint64_t>(std::cbrt(6.0 * static_cast<double>(x))) + 1;
  while (choose3(n + 1) <= x) ++n;
  while (n > 2 && choose3(n) > x) --n;
  return static_cast<std::uint32_t>(n);
}

struct Ranked2 {
  std::uint32_t a, b;
};
struct Ranked3 {
  std::uint32_t a, b, c;
};

// Inverse of rank2: the set {a < b} whose rank is idx.
inline Ranked2 unrank2(std::uint32_t idx) noexcept {
  const std::uint32_t b = largest_choose2_at_most(idx);
  return {static_cast<std::uint32_t>(idx - choose2(b)), b};
}

// Inverse of rank3: the set {a < b < c} whose rank is combo.
inline Ranked3 unrank3(std::uint32_t combo) noexcept {
  const std::uint32_t c = largest_choose3_at_most(combo);
  const auto rest = static_cast<std::uint32_t>(combo - choose3(c));
  const Ranked2 ab = unrank2(rest);
  return {ab.a, ab.b, c};
}

// An ascending set of distinct pair ids. Sets of up to eight ids, which is every set an exact
// word or the union of two exact words holds, live inline and never touch the heap.
class PairSet {
 public:
  static constexpr std::size_t kInline = 8;

  PairSet() noexcept = default;

  // Builds the set of `ids`, given in any order and possibly repeated.
  static PairSet from_unsorted(const PairId* ids, std::size_t n) {
    PairSet s;
    std::vector<PairId> tmp(ids, ids + n);
    std::sort(tmp.begin(), tmp.end());
    tmp.erase(std::unique(tmp.begin(), tmp.end()), tmp.end());
    for (PairId id : tmp) s.push_back(id);
    return s;
  }

  std::size_t size() const noexcept { return size_; }
  bool empty() const noexcept { return size_ == 0; }
  const PairId* data() const noexcept { return size_ <= kInline ? inline_ : heap_.data(); }
  const PairId* begin() const noexcept { return data(); }
  const PairId* end() const noexcept { return data() + size_; }
  PairId operator[](std::size_t i) const noexcept { return data()[i]; }

  void clear() noexcept {
    size_ = 0;
    heap_.clear();
  }

  // Appends an id; the caller keeps the set ascending.
  void push_back(PairId id) {
    if (size_ < kInline) {
      inline_[size_++] = id;
      return;
    }
    if (size_ == kInline) heap_.assign(inline_, inline_ + kInline);
    heap_.push_back(id);
    ++size_;
  }

  void assign(const PairId* ids, std::size_t n) {
    clear();
    for (std::size_t i = 0; i < n; ++i) push_back(ids[i]);
  }

  bool contains(PairId id) const noexcept { return std::binary_search(begin(), end(), id); }

  friend bool operator==(const PairSet& x, const PairSet& y) noexcept {
    return std::equal(x.begin(), x.end(), y.begin(), y.end());
  }

 private:
  std::uint32_t size_ = 0;
  PairId inline_[kInline] = {};
  std::vector<PairId> heap_;  // holds the ids once there are more than kInline
};

// out = x ∪ y, both ascending.
inline void set_union(const PairSet& x, const PairSet& y, PairSet& out) {
  out.clear();
  const PairId *i = x.begin(), *ie = x.end(), *j = y.begin(), *je = y.end();
  while (i != ie && j != je) {
    if (*i < *j) {
      out.push_back(*i++);
    } else if (*j < *i) {
      out.push_back(*j++);
    } else {
      out.push_back(*i++);
      ++j;
    }
  }
  while (i != ie) out.push_back(*i++);
  while (j != je) out.push_back(*j++);
}

}  // namespace korval
