// Tracker state (the pair registry, protection marks and dense registry), the provenance
// algebra on words, and the batch loops over spans of words.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

#include "encoding.hpp"
#include "errors.hpp"
#include "pairs.hpp"
#include "registry.hpp"

namespace korval {

// Operation codes. They only enter the chain hash; any 32-bit value is accepted.
enum Op : std::uint32_t {
  OP_RAW = 0,
  OP_ADD = 1,
  OP_SUB = 2,
  OP_MUL = 3,
  OP_DIV = 4,
  OP_NEG = 5,
  OP_CLIP = 6,
  OP_FILL = 7,
  OP_MAP = 8,
  OP_CMP = 9,
  OP_MERGE = 10,
  OP_AGG = 11,
  OP_CUSTOM = 15,
};

struct OpName {
  const char* name;
  std::uint32_t value;
};
// Every named operation code, in the order the module exports them.
inline constexpr OpName kOpNames[] = {
    {"OP_RAW", OP_RAW},     {"OP_ADD", OP_ADD}, {"OP_SUB", OP_SUB},   {"OP_MUL", OP_MUL},
    {"OP_DIV", OP_DIV},     {"OP_NEG", OP_NEG}, {"OP_CLIP", OP_CLIP}, {"OP_FILL", OP_FILL},
    {"OP_MAP", OP_MAP},     {"OP_CMP", OP_CMP}, {"OP_MERGE", OP_MERGE}, {"OP_AGG", OP_AGG},
    {"OP_CUSTOM", OP_CUSTOM},
};

struct PairName {
  std::string table;
  std::string column;
};

struct Header {
  std::uint32_t mode;
  bool taint;
  std::uint32_t depth;
};

// Readers of the header bits; they need no tracker.
constexpr Header read_header(std::uint32_t w) noexcept {
  return {w >> MODE_SHIFT, taint_of(w), depth_of(w)};
}
constexpr bool is_tainted(std::uint32_t w) noexcept { return taint_of(w); }
constexpr std::uint32_t get_depth(std::uint32_t w) noexcept { return depth_of(w); }
// 0.0 for an untainted word, otherwise 1 / (1 + depth).
constexpr double risk_score(std::uint32_t w) noexcept {
  return taint_of(w) ? 1.0 / (1.0 + static_cast<double>(depth_of(w))) : 0.0;
}

// Bits of the chain that a result with n pairs keeps: 8 in mode 00, 4 in mode 01, none in mode
// 10, and 16 in a dense entry.
constexpr std::uint32_t chain_mask(std::size_t n) noexcept {
  return n <= 1 ? 0xFFu : n == 2 ? 0xFu : n == 3 ? 0u : 0xFFFFu;
}

// One tracker's state. Pair ids are handed out densely in order of first registration, at most
// MAX_PAIRS of them; nothing is ever removed.
class Tracker {
 public:
  Tracker();
  Tracker(const Tracker&) = delete;
  Tracker& operator=(const Tracker&) = delete;

  // --- pair registry and protection marks -------------------------------------------------

  // The id of (table, column), registering it if it is new. A true `protect` marks the pair
  // protected; a false one never clears a mark. A new pair beyond MAX_PAIRS throws
  // InternalError and changes nothing.
  PairId register_pair(std::string_view table, std::string_view column, bool protect);
  // register_pair for each column in order. Columns before a limit failure stay registered.
  std::vector<PairId> register_table(std::string_view table,
                                     const std::vector<std::string>& columns, bool protect);
  // The names of `id`, or nullptr when no pair has that id. The pointer stays valid for the
  // life of the tracker.
  const PairName* name_of(std::uint32_t id) const noexcept;
  std::optional<PairId> get_id(std::string_view table, std::string_view column) const;
  void mark_table_protected(std::string_view table);
  // True if the table is marked, or if `column` is given and that pair was registered protected.
  bool is_protected(std::string_view table, const std::string_view* column) const;
  std::size_t pair_count() const noexcept { return names_.size(); }

  // --- codec ------------------------------------------------------------------------------

  // Encodes ids given in any order, repeats allowed: up to 3 distinct ids exactly, more through
  // the dense registry.
  std::uint32_t encode(std::span<const PairId> ids, std::uint32_t entity, std::uint32_t chain,
                       bool taint, std::uint32_t depth);
  void decode(std::uint32_t w, DecodedWord& out) const { korval::decode(w, dense_, out); }
  DecodedWord decode(std::uint32_t w) const { return korval::decode(w, dense_); }
  const DenseRegistry& dense() const noexcept { return dense_; }

  // --- algebra ----------------------------------------------------------------------------

  // Pairs by union, entity by XOR, chain by (op + (Ca ^ Cb) * 31) cut to the result's width,
  // taint by OR, depth by max + 1 saturating at 7. The word 0 is the identity.
  // A memo, if given, serves repeated dense entries without the registry's lock.
  inline std::uint32_t combine(std::uint32_t a, std::uint32_t b, std::uint32_t op,
                               DenseRegistry::Memo* memo = nullptr);
  // The same rule for one operand: chain (op + C * 31), depth + 1. The word 0 is not special.
  inline std::uint32_t update_chain(std::uint32_t w, std::uint32_t op,
                                    DenseRegistry::Memo* memo = nullptr);
  bool contains(std::uint32_t w, std::uint32_t pair_id) const;
  // True if any named pair of the word was registered protected (table marks do not count).
  bool has_protected(std::uint32_t w) const;
  // The names of the word's pairs in ascending id order; ids without a name are skipped.
  std::vector<const PairName*> explain(std::uint32_t w) const;

  // --- batch loops ------------------------------------------------------------------------
  // `out` has room for the result; the inputs are not modified.

  // out[i] = combine(a[i], b[i], op) for i below min(|a|, |b|).
  void combine_batch(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                     std::uint32_t op, std::span<std::uint32_t> out);
  void update_chain_batch(std::span<const std::uint32_t> in, std::uint32_t op,
                          std::span<std::uint32_t> out);

 private:
  std::uint32_t combine_slow(std::uint32_t a, std::uint32_t b, std::uint32_t op,
                             DenseRegistry::Memo* memo);
  std::uint32_t update_chain_slow(std::uint32_t w, std::uint32_t op, DenseRegistry::Memo* memo);

  struct NameHash {
    std::size_t operator()(const std::pair<std::string, std::string>& k) const noexcept {
      const std::size_t h = std::hash<std::string>{}(k.first);
      return h ^ (std::hash<std::string>{}(k.second) + 0x9E3779B97F4A7C15ull + (h << 6) + (h >> 2));
    }
  };

  std::vector<PairName> names_;  // names_[id]; reserved up front, so pointers stay valid
  std::unordered_map<std::pair<std::string, std::string>, PairId, NameHash> ids_;
  std::unordered_set<std::string> protected_tables_;
  // Registered protected, by id. Only registration marks a pair, so every marked pair is a
  // registered one and a flag per id holds the same set as a set of names would.
  std::vector<bool> protected_pairs_;
  DenseRegistry dense_;
};

// out[i] = the word of pair `pair_id` alone, entity entity_hashes[i] & 0xFF, chain 0, depth 0.
void encode_source_column(PairId pair_id, std::span<const std::uint32_t> entity_hashes, bool taint,
                          std::span<std::uint32_t> out) noexcept;
// out[i] = 1 if word i is tainted, else 0.
void is_tainted_batch(std::span<const std::uint32_t> in, std::span<std::uint8_t> out) noexcept;
void risk_score_batch(std::span<const std::uint32_t> in, std::span<double> out) noexcept;

// A borrow flag that never waits: any number of shared holders, or one exclusive holder.
class BorrowFlag {
 public:
  // Held while it lives; gives its borrow back when it goes out of scope.
  class Borrow {
   public:
    Borrow(const Borrow&) = delete;
    Borrow& operator=(const Borrow&) = delete;
    ~Borrow() {
      if (exclusive_) {
        flag_->state_.store(0, std::memory_order_release);
      } else {
        flag_->state_.fetch_sub(1, std::memory_order_release);
      }
    }

   private:
    friend class BorrowFlag;
    Borrow(BorrowFlag& f, bool exclusive) noexcept : flag_(&f), exclusive_(exclusive) {}
    BorrowFlag* flag_;
    bool exclusive_;
  };

  // Throws BorrowError "Already mutably borrowed" while an exclusive borrow is held.
  [[nodiscard]] Borrow shared() {
    std::int64_t s = state_.load(std::memory_order_relaxed);
    do {
      if (s < 0) throw BorrowError("Already mutably borrowed");
    } while (!state_.compare_exchange_weak(s, s + 1, std::memory_order_acquire,
                                           std::memory_order_relaxed));
    return Borrow(*this, false);
  }
  // Throws BorrowError "Already borrowed" while any borrow is held.
  [[nodiscard]] Borrow exclusive() {
    std::int64_t expected = 0;
    if (!state_.compare_exchange_strong(expected, kExclusive, std::memory_order_acquire,
                                        std::memory_order_relaxed)) {
      throw BorrowError("Already borrowed");
    }
    return Borrow(*this, true);
  }

 private:
  static constexpr std::int64_t kExclusive = -1;
  std::atomic<std::int64_t> state_{0};
};

// ---- inline algebra ------------------------------------------------------------------------

namespace detail {

// A word of mode 00, 01 or 10, decoded without touching the registry or the heap.
struct ExactWord {
  PairId ids[3];
  std::uint32_t n;
  std::uint32_t entity;
  std::uint32_t chain;
};

inline void decode_exact(std::uint32_t w, ExactWord& x) noexcept {
  const std::uint32_t e = w & PAYLOAD_MASK;
  switch (mode_of(w)) {
    case Mode::Single: {
      const std::uint32_t pd = e >> 16;
      x.ids[0] = static_cast<PairId>(pd - 1);
      x.n = pd != 0;
      x.entity = (w >> 8) & 0xFFu;
      x.chain = w & 0xFFu;
      break;
    }
    case Mode::Two: {
      const Ranked2 r = unrank2(e >> 9);
      x.ids[0] = static_cast<PairId>(r.a);
      x.ids[1] = static_cast<PairId>(r.b);
      x.n = 2;
      x.entity = (w >> 4) & 0x1Fu;
      x.chain = w & 0xFu;
      break;
    }
    default: {  // Mode::Three; callers never pass mode 11
      const Ranked3 r = unrank3(e >> 1);
      x.ids[0] = static_cast<PairId>(r.a);
      x.ids[1] = static_cast<PairId>(r.b);
      x.ids[2] = static_cast<PairId>(r.c);
      x.n = 3;
      x.entity = 0;
      x.chain = 0;
      break;
    }
  }
}

// Merges two ascending runs of distinct ids into `out`; returns the size of the union.
inline std::uint32_t merge_ids(const PairId* x, std::uint32_t nx, const PairId* y,
                               std::uint32_t ny, PairId* out) noexcept {
  std::uint32_t i = 0, j = 0, k = 0;
  while (i < nx && j < ny) {
    const PairId a = x[i], b = y[j];
    out[k++] = a < b ? a : b;
    i += a <= b;
    j += b <= a;
  }
  while (i < nx) out[k++] = x[i++];
  while (j < ny) out[k++] = y[j++];
  return k;
}

inline std::uint32_t next_depth(std::uint32_t d) noexcept { return d + 1 < MAX_DEPTH ? d + 1 : MAX_DEPTH; }

// combine for two mode-00 words (no pair or one pair each), the case of every source column:
// the union has at most two pairs, so the result is built from bits alone, with selects instead
// of branches so that a loop of them vectorises. Gives exactly what decode, union and
// encode_exact give, and the word 0 is the identity here too.
inline std::uint32_t combine_single(std::uint32_t a, std::uint32_t b, std::uint32_t op) noexcept {
  const std::uint32_t pa = (a >> 16) & 0x3FFu, pb = (b >> 16) & 0x3FFu;  // pair_data: id + 1
  const std::uint32_t x = a ^ b;
  const std::uint32_t entity = (x >> 8) & 0xFFu;
  const std::uint32_t mixed = op + (x & 0xFFu) * 31u;
  const std::uint32_t da = depth_of(a), db = depth_of(b);
  const std::uint32_t d = (da > db ? da : db) + 1;
  const std::uint32_t header = ((a | b) & TAINT_MASK) | (d < MAX_DEPTH ? d : MAX_DEPTH) << DEPTH_SHIFT;
  const std::uint32_t lo = pa < pb ? pa : pb, hi = pa < pb ? pb : pa;
  // at most one pair: the one there is
  const std::uint32_t one = header | hi << 16 | entity << 8 | (mixed & 0xFFu);
  // two pairs {i < j}: rank i + C(j, 2)
  const std::uint32_t i = lo - 1, j = hi - 1;
  const std::uint32_t rank = i + j * (j - 1) / 2;
  const std::uint32_t two =
      1u << MODE_SHIFT | header | ((rank << 9 | (entity & 0x1Fu) << 4 | (mixed & 0xFu)) & PAYLOAD_MASK);
  const std::uint32_t r = (lo == 0 || lo == hi) ? one : two;
  return a == 0 ? b : b == 0 ? a : r;
}

// update_chain of a mode-00 word: only the depth and the chain byte change.
inline std::uint32_t update_chain_single(std::uint32_t w, std::uint32_t op) noexcept {
  const std::uint32_t chain = (op + (w & 0xFFu) * 31u) & 0xFFu;
  return (w & ~(DEPTH_MASK | 0xFFu)) | next_depth(depth_of(w)) << DEPTH_SHIFT | chain;
}

}  // namespace detail

inline std::uint32_t Tracker::combine(std::uint32_t a, std::uint32_t b, std::uint32_t op,
                                      DenseRegistry::Memo* memo) {
  if (((a | b) & MODE_MASK) == 0) return detail::combine_single(a, b, op);
  if (a == 0) return b;
  if (b == 0) return a;
  if (mode_of(a) == Mode::Dense || mode_of(b) == Mode::Dense) return combine_slow(a, b, op, memo);
  // Both words are exact: decode them on the stack; only a union of 4 or more pairs needs the
  // dense registry.
  detail::ExactWord x, y;
  detail::decode_exact(a, x);
  detail::decode_exact(b, y);
  PairId u[6];
  const std::uint32_t n = detail::merge_ids(x.ids, x.n, y.ids, y.n, u);
  const std::uint32_t entity = x.entity ^ y.entity;
  const std::uint32_t chain = (op + (x.chain ^ y.chain) * 31u) & chain_mask(n);
  const bool taint = taint_of(a) || taint_of(b);
  const std::uint32_t depth = detail::next_depth(depth_of(a) > depth_of(b) ? depth_of(a) : depth_of(b));
  if (n <= 3) return encode_exact(u, n, entity, chain, taint, depth);
  PairSet pairs;
  pairs.assign(u, n);
  return encode_dense(pairs, entity, chain, taint, depth, dense_, memo);
}

inline std::uint32_t Tracker::update_chain(std::uint32_t w, std::uint32_t op,
                                           DenseRegistry::Memo* memo) {
  if (mode_of(w) == Mode::Single) return detail::update_chain_single(w, op);
  if (mode_of(w) == Mode::Dense) return update_chain_slow(w, op, memo);
  detail::ExactWord x;
  detail::decode_exact(w, x);
  const std::uint32_t chain = (op + x.chain * 31u) & chain_mask(x.n);
  return encode_exact(x.ids, x.n, x.entity, chain, taint_of(w), detail::next_depth(depth_of(w)));
}

}  // namespace korval
