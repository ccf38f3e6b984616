#include "tracker.hpp"

#include <algorithm>
#include <cstring>
#include <memory>

namespace korval {

Tracker::Tracker() {
  names_.reserve(MAX_PAIRS);
  protected_pairs_.reserve(MAX_PAIRS);
}

PairId Tracker::register_pair(std::string_view table, std::string_view column, bool protect) {
  std::pair<std::string, std::string> key{std::string(table), std::string(column)};
  PairId id;
  if (const auto it = ids_.find(key); it != ids_.end()) {
    id = it->second;
  } else {
    if (names_.size() >= MAX_PAIRS) {
      throw InternalError("Cannot register more than " + std::to_string(MAX_PAIRS) + " pairs");
    }
    id = static_cast<PairId>(names_.size());
    // Insert into the map first: if it throws, nothing has changed; the vectors have their
    // room reserved and cannot throw.
    ids_.emplace(key, id);
    names_.push_back(PairName{std::move(key.first), std::move(key.second)});
    protected_pairs_.push_back(false);
  }
  if (protect) protected_pairs_[id] = true;
  return id;
}

std::vector<PairId> Tracker::register_table(std::string_view table,
                                            const std::vector<std::string>& columns,
                                            bool protect) {
  std::vector<PairId> out;
  out.reserve(columns.size());
  for (const std::string& column : columns) out.push_back(register_pair(table, column, protect));
  return out;
}

const PairName* Tracker::name_of(std::uint32_t id) const noexcept {
  return id < names_.size() ? &names_[id] : nullptr;
}

std::optional<PairId> Tracker::get_id(std::string_view table, std::string_view column) const {
  const auto it = ids_.find({std::string(table), std::string(column)});
  if (it == ids_.end()) return std::nullopt;
  return it->second;
}

void Tracker::mark_table_protected(std::string_view table) {
  protected_tables_.emplace(table);
}

bool Tracker::is_protected(std::string_view table, const std::string_view* column) const {
  if (protected_tables_.count(std::string(table)) != 0) return true;
  if (column == nullptr) return false;
  const auto id = get_id(table, *column);
  return id && protected_pairs_[*id];
}

std::uint32_t Tracker::encode(std::span<const PairId> ids, std::uint32_t entity,
                              std::uint32_t chain, bool taint, std::uint32_t depth) {
  const PairSet pairs = PairSet::from_unsorted(ids.data(), ids.size());
  return encode_dense(pairs, entity, chain, taint, depth, dense_);
}

std::uint32_t Tracker::combine_slow(std::uint32_t a, std::uint32_t b, std::uint32_t op,
                                    DenseRegistry::Memo* memo) {
  DecodedWord x, y;
  korval::decode(a, dense_, x, memo);
  korval::decode(b, dense_, y, memo);
  PairSet pairs;
  set_union(x.pairs, y.pairs, pairs);
  const std::uint32_t entity = x.entity ^ y.entity;
  const std::uint32_t chain = (op + (x.chain ^ y.chain) * 31u) & chain_mask(pairs.size());
  const std::uint32_t depth = detail::next_depth(std::max(x.depth, y.depth));
  return encode_dense(pairs, entity, chain, x.taint || y.taint, depth, dense_, memo);
}

std::uint32_t Tracker::update_chain_slow(std::uint32_t w, std::uint32_t op,
                                         DenseRegistry::Memo* memo) {
  DecodedWord x;
  korval::decode(w, dense_, x, memo);
  const std::uint32_t chain = (op + x.chain * 31u) & chain_mask(x.pairs.size());
  return encode_dense(x.pairs, x.entity, chain, x.taint, detail::next_depth(x.depth), dense_,
                      memo);
}

bool Tracker::contains(std::uint32_t w, std::uint32_t pair_id) const {
  if (pair_id > 0xFFFFu) return false;
  return decode(w).pairs.contains(static_cast<PairId>(pair_id));
}

bool Tracker::has_protected(std::uint32_t w) const {
  const DecodedWord d = decode(w);
  return std::any_of(d.pairs.begin(), d.pairs.end(),
                     [&](PairId id) { return id < names_.size() && protected_pairs_[id]; });
}

std::vector<const PairName*> Tracker::explain(std::uint32_t w) const {
  const DecodedWord d = decode(w);
  std::vector<const PairName*> out;
  out.reserve(d.pairs.size());
  for (PairId id : d.pairs) {
    if (const PairName* name = name_of(id)) out.push_back(name);
  }
  return out;
}

namespace {

// The loops over runs of mode-00 words have no branches; on x86-64 they are also built for AVX2
// (eight words a step, with the 32-bit multiply and unsigned min/max the baseline lacks) and
// the best version is picked when the module loads. Both versions compute the same integers.
#if defined(__x86_64__) && defined(__GNUC__) && defined(__linux__) && !defined(__SANITIZE_ADDRESS__)
#define KORVAL_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KORVAL_CLONES
#endif

KORVAL_CLONES void combine_single_run(const std::uint32_t* a, const std::uint32_t* b,
                                      std::uint32_t op, std::uint32_t* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = detail::combine_single(a[i], b[i], op);
}

KORVAL_CLONES void update_chain_single_run(const std::uint32_t* in, std::uint32_t op,
                                           std::uint32_t* out, std::size_t n) {
  for (std::size_t i = 0; i < n; ++i) out[i] = detail::update_chain_single(in[i], op);
}

// Runs of this many words are checked for mode 00 and then taken in one branch-free loop.
constexpr std::size_t kRun = 512;

// Splits [0, n) into runs: a run whose words' OR (`bits(i)` per element) has no mode bits goes
// to `single(start, length)`, any other run element by element to `general(i)`.
template <class Bits, class Single, class General>
void by_runs(std::size_t n, Bits bits, Single single, General general) {
  for (std::size_t start = 0; start < n; start += kRun) {
    const std::size_t end = std::min(n, start + kRun);
    std::uint32_t modes = 0;
    for (std::size_t i = start; i < end; ++i) modes |= bits(i);
    if ((modes & MODE_MASK) == 0) {
      single(start, end - start);
    } else {
      for (std::size_t i = start; i < end; ++i) general(i);
    }
  }
}

}  // namespace

void Tracker::combine_batch(std::span<const std::uint32_t> a, std::span<const std::uint32_t> b,
                            std::uint32_t op, std::span<std::uint32_t> out) {
  const std::size_t n = std::min({a.size(), b.size(), out.size()});
  DenseRegistry::Memo memo(n);
  by_runs(
      n, [&](std::size_t i) { return a[i] | b[i]; },
      [&](std::size_t start, std::size_t len) {
        combine_single_run(&a[start], &b[start], op, &out[start], len);
      },
      [&](std::size_t i) { out[i] = combine(a[i], b[i], op, &memo); });
}

void Tracker::update_chain_batch(std::span<const std::uint32_t> in, std::uint32_t op,
                                 std::span<std::uint32_t> out) {
  const std::size_t n = std::min(in.size(), out.size());
  DenseRegistry::Memo memo(n);
  by_runs(
      n, [&](std::size_t i) { return in[i]; },
      [&](std::size_t start, std::size_t len) {
        update_chain_single_run(&in[start], op, &out[start], len);
      },
      [&](std::size_t i) { out[i] = update_chain(in[i], op, &memo); });
}

void encode_source_column(PairId pair_id, std::span<const std::uint32_t> entity_hashes, bool taint,
                          std::span<std::uint32_t> out) noexcept {
  // encode_exact({pair_id}, entity & 0xFF, 0, taint, 0) with the constant part hoisted.
  const std::uint32_t base =
      make_header(Mode::Single, taint, 0) | (((static_cast<std::uint32_t>(pair_id) + 1) << 16) & PAYLOAD_MASK);
  const std::size_t n = std::min(entity_hashes.size(), out.size());
  for (std::size_t i = 0; i < n; ++i) out[i] = base | (entity_hashes[i] & 0xFFu) << 8;
}

void is_tainted_batch(std::span<const std::uint32_t> in, std::span<std::uint8_t> out) noexcept {
  const std::size_t n = std::min(in.size(), out.size());
  for (std::size_t i = 0; i < n; ++i) out[i] = static_cast<std::uint8_t>((in[i] >> TAINT_SHIFT) & 1u);
}

// Risk of every word. On x86-64 the AVX2 build computes four words a step; the division is
// IEEE's, correctly rounded, so every build gives risk_score's doubles bit for bit.
KORVAL_CLONES void risk_score_batch(std::span<const std::uint32_t> in, std::span<double> out) noexcept {
  const std::size_t n = std::min(in.size(), out.size());
  const std::uint32_t* src = in.data();
  double* dst = out.data();
  for (std::size_t i = 0; i < n; ++i) {
    const std::uint32_t w = src[i];
    const double taint = static_cast<double>((w >> TAINT_SHIFT) & 1u);
    dst[i] = taint / (1.0 + static_cast<double>((w >> DEPTH_SHIFT) & 7u));
  }
}

}  // namespace korval
