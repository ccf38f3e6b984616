#include "registry.hpp"

#include <gtest/gtest.h>

#include <map>
#include <random>
#include <thread>
#include <vector>

#include "encoding.hpp"
#include "test_util.hpp"

namespace korval {
namespace {

using testing::pairs_of;
using testing::to_ref;

// poly(pairs) * 31^2 + entity * 31 + chain is the same for (entity 0, chain 31) and
// (entity 1, chain 0), so both entries get the same first signature.
TEST(DenseRegistryTest, DenseCollisionKeepsBothWords) {
  DenseRegistry reg;
  const PairSet p = pairs_of({0, 1, 2, 3});
  ASSERT_EQ(dense_hash(p, 0, 31), dense_hash(p, 1, 0));
  const std::uint32_t a = encode_dense(p, 0, 31, false, 0, reg);
  const std::uint32_t b = encode_dense(p, 1, 0, false, 0, reg);
  EXPECT_NE(a, b);
  EXPECT_EQ(a & PAYLOAD_MASK, signature_of(dense_hash(p, 0, 31)));
  EXPECT_EQ(b & PAYLOAD_MASK, candidate_signature(dense_hash(p, 1, 0), probe_step(p, 1, 0), 1));
  const DecodedWord da = decode(a, reg), db = decode(b, reg);
  EXPECT_EQ(da.entity, 0u);
  EXPECT_EQ(da.chain, 31u);
  EXPECT_EQ(db.entity, 1u);
  EXPECT_EQ(db.chain, 0u);
  EXPECT_EQ(to_ref(da.pairs), (ref::Set{0, 1, 2, 3}));
  EXPECT_EQ(to_ref(db.pairs), (ref::Set{0, 1, 2, 3}));
  // Encoding either again finds its own slot.
  EXPECT_EQ(encode_dense(p, 1, 0, true, 3, reg) & PAYLOAD_MASK, b & PAYLOAD_MASK);
  EXPECT_EQ(encode_dense(p, 0, 31, false, 0, reg), a);
  EXPECT_EQ(reg.size(), 2u);
}

TEST(DenseRegistryTest, DifferentPairSetsWithCollidingHashesStayApart) {
  DenseRegistry reg;
  const PairSet p = pairs_of({0, 1, 2, 3}), q = pairs_of({0, 1, 2, 4});
  // poly(q) = poly(p) + 1, so q's hash is p's plus 961; entity 31 on p makes that up.
  ASSERT_EQ(dense_hash(p, 31, 0), dense_hash(q, 0, 0));
  const std::uint32_t a = encode_dense(p, 31, 0, false, 0, reg);
  const std::uint32_t b = encode_dense(q, 0, 0, false, 0, reg);
  EXPECT_NE(a, b);
  EXPECT_EQ(to_ref(decode(a, reg).pairs), (ref::Set{0, 1, 2, 3}));
  EXPECT_EQ(to_ref(decode(b, reg).pairs), (ref::Set{0, 1, 2, 4}));
}

TEST(DenseRegistryTest, UnknownSignatureIsNotFound) {
  DenseRegistry reg;
  PairSet p = pairs_of({9});
  std::uint32_t e = 5, c = 6;
  EXPECT_FALSE(reg.lookup(123, p, e, c));
  EXPECT_EQ(e, 5u);
  EXPECT_EQ(to_ref(p), (ref::Set{9}));
}

// Tens of thousands of dense encodes with entities and chains drawn from a small range, so that
// many hashes collide: every word still decodes to exactly what made it.
TEST(DenseRegistryTest, EveryWordDecodesToWhatMadeIt) {
  std::mt19937 rng(3);
  DenseRegistry reg;
  struct Made {
    ref::Set pairs;
    std::uint32_t entity, chain;
  };
  std::map<std::uint32_t, Made> made;
  std::size_t collisions = 0;
  for (int i = 0; i < 60000; ++i) {
    const ref::Set s = testing::random_set(rng, 4 + rng() % 3, 12);
    const std::uint32_t entity = rng() % 64, chain = rng() % 64;
    const PairSet p = testing::from_ref(s);
    const std::uint32_t sig = encode_dense(p, entity, chain, false, 0, reg) & PAYLOAD_MASK;
    if (sig != signature_of(dense_hash(p, entity, chain))) ++collisions;
    const auto [it, fresh] = made.emplace(sig, Made{s, entity, chain});
    if (!fresh) {
      ASSERT_EQ(it->second.pairs, s);
      ASSERT_EQ(it->second.entity, entity);
      ASSERT_EQ(it->second.chain, chain);
    }
  }
  EXPECT_GT(collisions, 0u) << "the inputs were meant to collide";
  EXPECT_EQ(reg.size(), made.size());
  for (const auto& [sig, m] : made) {
    const DecodedWord d = decode(0xC0000000u | sig, reg);
    ASSERT_EQ(to_ref(d.pairs), m.pairs);
    ASSERT_EQ(d.entity, m.entity);
    ASSERT_EQ(d.chain, m.chain);
  }
}

// Several threads intern overlapping entries and decode while others write: each entry gets
// one signature, whichever thread stored it.
TEST(DenseRegistryTest, ConcurrentInternAndLookup) {
  DenseRegistry reg;
  constexpr int kThreads = 4, kPerThread = 20000;
  std::vector<std::vector<std::uint32_t>> sigs(kThreads);
  std::vector<int> mismatches(kThreads, 0);
  std::vector<std::thread> threads;
  for (int t = 0; t < kThreads; ++t) {
    threads.emplace_back([&, t] {
      std::mt19937 rng(99);  // the same sequence on every thread
      for (int i = 0; i < kPerThread; ++i) {
        const PairSet p = testing::from_ref(testing::random_set(rng, 4, 10));
        const std::uint32_t entity = rng() % 32, chain = rng() % 32;
        const std::uint32_t w = encode_dense(p, entity, chain, false, 0, reg);
        const DecodedWord d = decode(w, reg);
        if (!(d.pairs == p) || d.entity != entity || d.chain != chain) ++mismatches[t];
        sigs[t].push_back(w);
      }
    });
  }
  for (auto& th : threads) th.join();
  for (int t = 0; t < kThreads; ++t) {
    EXPECT_EQ(mismatches[t], 0);
    EXPECT_EQ(sigs[t], sigs[0]);
  }
}

}  // namespace
}  // namespace korval
