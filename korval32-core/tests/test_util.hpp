#pragma once

#include <initializer_list>
#include <random>
#include <vector>

#include "pairs.hpp"
#include "reference.hpp"

namespace korval::testing {

inline PairSet pairs_of(std::initializer_list<PairId> ids) {
  return PairSet::from_unsorted(std::data(ids), ids.size());
}

inline ref::Set to_ref(const PairSet& s) { return ref::Set(s.begin(), s.end()); }

inline PairSet from_ref(const ref::Set& s) {
  PairSet out;
  for (auto id : s) out.push_back(static_cast<PairId>(id));
  return out;
}

// A random set of `n` distinct ids below `bound`.
inline ref::Set random_set(std::mt19937& rng, std::size_t n, std::uint32_t bound = 512) {
  std::uniform_int_distribution<std::uint32_t> id(0, bound - 1);
  ref::Set s;
  while (s.size() < n) s.insert(id(rng));
  return s;
}

}  // namespace korval::testing
