#include "tracker.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "reference.hpp"
#include "test_util.hpp"

namespace korval {
namespace {

using testing::to_ref;

std::uint32_t word(Tracker& t, std::vector<PairId> ids, std::uint32_t entity, std::uint32_t chain,
                   bool taint, std::uint32_t depth) {
  return t.encode(ids, entity, chain, taint, depth);
}

// ---- registry --------------------------------------------------------------------------------

TEST(Registration, IdsAreDenseInOrderOfFirstRegistration) {
  Tracker t;
  EXPECT_EQ(t.register_pair("t", "a", false), 0);
  EXPECT_EQ(t.register_pair("t", "b", false), 1);
  EXPECT_EQ(t.register_pair("t", "a", false), 0);
  EXPECT_EQ(t.register_pair("u", "a", false), 2);
  EXPECT_EQ(t.pair_count(), 3u);
  ASSERT_NE(t.name_of(1), nullptr);
  EXPECT_EQ(t.name_of(1)->table, "t");
  EXPECT_EQ(t.name_of(1)->column, "b");
  EXPECT_EQ(t.name_of(3), nullptr);
  EXPECT_EQ(t.get_id("u", "a"), PairId{2});
  EXPECT_EQ(t.get_id("T", "a"), std::nullopt);  // case-sensitive
  EXPECT_EQ(t.register_pair("", "", false), 3);  // empty names are names
}

TEST(Registration, ProtectionIsNeverCleared) {
  Tracker t;
  t.register_pair("t", "c", true);
  t.register_pair("t", "c", false);
  const std::string_view c = "c", d = "d";
  EXPECT_TRUE(t.is_protected("t", &c));
  EXPECT_FALSE(t.is_protected("t", nullptr));  // no table mark
  EXPECT_FALSE(t.is_protected("t", &d));
}

TEST(Registration, TableMarksNeedNoRegistration) {
  Tracker t;
  t.mark_table_protected("u");
  const std::string_view d = "d";
  EXPECT_TRUE(t.is_protected("u", nullptr));
  EXPECT_TRUE(t.is_protected("u", &d));
  EXPECT_EQ(t.pair_count(), 0u);
}

TEST(Registration, RegisterTableRepeatsIdsOfRepeatedColumns) {
  Tracker t;
  EXPECT_TRUE(t.register_table("t", {}, false).empty());
  EXPECT_EQ(t.register_table("t", {"a", "a", "b"}, true), (std::vector<PairId>{0, 0, 1}));
  const std::string_view b = "b";
  EXPECT_TRUE(t.is_protected("t", &b));
}

TEST(Registration, LimitIs512Pairs) {
  Tracker t;
  for (int i = 0; i < 512; ++i) ASSERT_EQ(t.register_pair("t", std::to_string(i), false), i);
  try {
    t.register_pair("t", "one too many", true);
    FAIL() << "no exception";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "Cannot register more than 512 pairs");
  }
  EXPECT_EQ(t.pair_count(), 512u);
  EXPECT_EQ(t.get_id("t", "one too many"), std::nullopt);
  const std::string_view c = "one too many";
  EXPECT_FALSE(t.is_protected("t", &c));
  EXPECT_EQ(t.register_pair("t", "511", false), 511);  // known pairs still resolve
  EXPECT_EQ(t.name_of(511)->column, "511");
}

TEST(Registration, LimitPartWayThroughATableKeepsTheColumnsBefore) {
  Tracker t;
  for (int i = 0; i < 510; ++i) t.register_pair("t", std::to_string(i), false);
  EXPECT_THROW(t.register_table("u", {"a", "b", "c", "d"}, false), InternalError);
  EXPECT_EQ(t.pair_count(), 512u);
  EXPECT_EQ(t.get_id("u", "b"), PairId{511});
  EXPECT_EQ(t.get_id("u", "c"), std::nullopt);
}

// ---- algebra: worked examples ------------------------------------------------------------------

TEST(Algebra, WorkedExamples) {
  Tracker t;
  const std::uint32_t a = word(t, {3}, 0x12, 0x34, false, 0);
  const std::uint32_t b = word(t, {5}, 0x56, 0x78, true, 2);
  ASSERT_EQ(a, 0x00041234u);
  ASSERT_EQ(b, 0x28065678u);
  EXPECT_EQ(t.combine(a, b, OP_ADD), 0x6C001A45u);
  EXPECT_EQ(t.combine(0, b, OP_ADD), b);
  EXPECT_EQ(t.combine(a, 0, OP_ADD), a);
  EXPECT_EQ(t.update_chain(a, OP_NEG), 0x04041251u);
  EXPECT_EQ(t.update_chain(0, OP_NEG), 0x04000005u);
  EXPECT_EQ(t.update_chain(0xAC0000B6u, OP_ADD), 0xB00000B6u);
  EXPECT_DOUBLE_EQ(risk_score(0x2806AB12u), 1.0 / 3.0);
  const Header h = read_header(0xAC0000B6u);
  EXPECT_EQ(h.mode, 2u);
  EXPECT_TRUE(h.taint);
  EXPECT_EQ(h.depth, 3u);
  EXPECT_EQ(t.combine(0, 0, OP_MUL), 0u);
}

TEST(Algebra, CombiningAWordWithItself) {
  Tracker t;
  const std::uint32_t x = word(t, {4}, 0x9A, 0x33, false, 2);
  const DecodedWord d = t.decode(t.combine(x, x, OP_ADD));
  EXPECT_EQ(to_ref(d.pairs), (ref::Set{4}));
  EXPECT_EQ(d.entity, 0u);
  EXPECT_EQ(d.chain, 1u);
  EXPECT_EQ(d.depth, 3u);
}

struct DepthCase {
  std::uint32_t da, db, expected;
};
class DepthSaturation : public ::testing::TestWithParam<DepthCase> {};
TEST_P(DepthSaturation, MaxPlusOneUpToSeven) {
  Tracker t;
  const auto [da, db, expected] = GetParam();
  const std::uint32_t r = t.combine(word(t, {1}, 0, 0, false, da), word(t, {2}, 0, 0, false, db), OP_ADD);
  EXPECT_EQ(get_depth(r), expected);
}
INSTANTIATE_TEST_SUITE_P(Algebra, DepthSaturation,
                         ::testing::Values(DepthCase{7, 7, 7}, DepthCase{6, 0, 7},
                                           DepthCase{3, 5, 6}, DepthCase{0, 0, 1}));

TEST(Algebra, PairCountPicksTheMode) {
  Tracker t;
  const std::uint32_t ab = word(t, {0, 1}, 3, 3, false, 0), cd = word(t, {2, 3}, 5, 5, false, 0),
                      bc = word(t, {1, 2}, 5, 5, false, 0);
  const std::uint32_t disjoint = t.combine(ab, cd, OP_ADD);
  EXPECT_EQ(mode_of(disjoint), Mode::Dense);
  const DecodedWord dd = t.decode(disjoint);
  EXPECT_EQ(to_ref(dd.pairs), (ref::Set{0, 1, 2, 3}));
  EXPECT_EQ(dd.entity, 3u ^ 5u);
  EXPECT_EQ(dd.chain, (OP_ADD + (3u ^ 5u) * 31u) & 0xFFFFu);
  const DecodedWord three = t.decode(t.combine(ab, bc, OP_ADD));
  EXPECT_EQ(three.label, Label::Exact3);
  EXPECT_EQ(to_ref(three.pairs), (ref::Set{0, 1, 2}));
  EXPECT_EQ(three.entity, 0u);
  EXPECT_EQ(three.chain, 0u);
}

TEST(Algebra, TaintSpreadsExceptThroughTheWordZero) {
  Tracker t;
  const std::uint32_t clean = word(t, {1}, 0, 0, false, 0), dirty = word(t, {2}, 0, 0, true, 0);
  EXPECT_TRUE(is_tainted(t.combine(clean, dirty, OP_SUB)));
  EXPECT_TRUE(is_tainted(t.combine(dirty, clean, OP_SUB)));
  EXPECT_EQ(t.combine(dirty, 0, OP_SUB), dirty);
  // a word with no pair but other bits set is not the identity
  EXPECT_EQ(get_depth(t.combine(0x04000000u, clean, OP_ADD)), 2u);
}

TEST(Algebra, UpdateChainOnThreePairsRaisesOnlyTheDepth) {
  Tracker t;
  const std::uint32_t w = word(t, {1, 4, 9}, 0, 0, false, 2);
  const std::uint32_t u = t.update_chain(w, OP_MAP);
  EXPECT_EQ(u & PAYLOAD_MASK, w & PAYLOAD_MASK);
  EXPECT_EQ(get_depth(u), 3u);
}

TEST(Algebra, UnknownDenseWordAddsTaintAndDepthButNoPairs) {
  Tracker t;
  const std::uint32_t foreign = 0xF2A0004Bu;  // tainted, depth 4, signature unknown here
  const std::uint32_t w = word(t, {3}, 0, 0, false, 0);
  const DecodedWord d = t.decode(t.combine(foreign, w, OP_ADD));
  EXPECT_EQ(to_ref(d.pairs), (ref::Set{3}));
  EXPECT_TRUE(d.taint);
  EXPECT_EQ(d.depth, 5u);
  const std::uint32_t u = t.update_chain(foreign, OP_NEG);
  EXPECT_EQ(mode_of(u), Mode::Single);
  EXPECT_EQ(u, 0x34000005u);
  EXPECT_FALSE(t.contains(foreign, 5));
}

TEST(Algebra, RiskByDepth) {
  const double expected[8] = {1.0, 0.5, 1.0 / 3, 0.25, 0.2, 1.0 / 6, 1.0 / 7, 0.125};
  for (std::uint32_t d = 0; d < 8; ++d) {
    EXPECT_EQ(risk_score(TAINT_MASK | d << DEPTH_SHIFT), expected[d]);
    EXPECT_EQ(risk_score(d << DEPTH_SHIFT), 0.0);
  }
}

TEST(Queries, ContainsHasProtectedExplain) {
  Tracker t;
  const PairId age = t.register_pair("people", "age", true);
  const PairId income = t.register_pair("people", "income", false);
  t.mark_table_protected("loans");
  const PairId amount = t.register_pair("loans", "amount", false);
  const std::uint32_t w = word(t, {income, age}, 0, 0, false, 0);
  EXPECT_TRUE(t.contains(w, age));
  EXPECT_FALSE(t.contains(w, amount));
  EXPECT_TRUE(t.has_protected(w));
  // a table mark does not make its columns protected here
  EXPECT_FALSE(t.has_protected(word(t, {amount}, 0, 0, false, 0)));
  const auto names = t.explain(w);
  ASSERT_EQ(names.size(), 2u);
  EXPECT_EQ(names[0]->column, "age");
  EXPECT_EQ(names[1]->column, "income");
  // pair_data 1023 is id 1022, which has no name
  EXPECT_TRUE(t.explain(0x03FF0000u).empty());
  EXPECT_FALSE(t.has_protected(0x03FF0000u));
  // ids beyond the registered ones are skipped
  const auto partial = t.explain(word(t, {age, 40, 41}, 0, 0, false, 0));
  ASSERT_EQ(partial.size(), 1u);
  EXPECT_EQ(partial[0]->column, "age");
}

// ---- against the literal model -------------------------------------------------------------

// Random chains of combine and update_chain over words of every mode, on a tracker and on the
// model side by side: every word must be the same.
TEST(Algebra, RandomOperationsMatchTheReference) {
  std::mt19937 rng(2024);
  for (int round = 0; round < 20; ++round) {
    Tracker t;
    ref::Registry model;
    std::vector<std::uint32_t> pool{0};
    for (int i = 0; i < 40; ++i) {
      const ref::Set s = testing::random_set(rng, rng() % 5, round % 2 ? 512 : 12);
      const std::uint32_t e = rng(), c = rng(), d = rng() % 9;
      const bool taint = rng() % 4 == 0;
      const std::vector<PairId> ids(s.begin(), s.end());
      const std::uint32_t w = t.encode(ids, e, c, taint, d);
      ASSERT_EQ(w, ref::encode(s, e, c, taint, d, model));
      pool.push_back(w);
    }
    pool.push_back(0xC1234567u);  // a dense word neither side knows
    pool.push_back(static_cast<std::uint32_t>(rng()) & ~MODE_MASK);
    for (int i = 0; i < 4000; ++i) {
      const std::uint32_t op = rng() % 3 == 0 ? static_cast<std::uint32_t>(rng()) : rng() % 16;
      const std::uint32_t a = pool[rng() % pool.size()];
      std::uint32_t got, want;
      if (rng() % 3 == 0) {
        got = t.update_chain(a, op);
        want = ref::update_chain(a, op, model);
      } else {
        const std::uint32_t b = pool[rng() % pool.size()];
        got = t.combine(a, b, op);
        want = ref::combine(a, b, op, model);
      }
      ASSERT_EQ(got, want) << std::hex << "round " << round << " step " << i;
      if (pool.size() < 400) pool.push_back(got);
      else pool[rng() % pool.size()] = got;
    }
  }
}

// ---- batch loops --------------------------------------------------------------------------------

TEST(Batch, LoopsEqualTheScalarOperations) {
  std::mt19937 rng(8);
  Tracker t;
  std::vector<std::uint32_t> a, b;
  for (int i = 0; i < 5000; ++i) {
    const ref::Set s = testing::random_set(rng, rng() % 5, 20);
    a.push_back(t.encode(std::vector<PairId>(s.begin(), s.end()), rng(), rng(), rng() & 1, rng() % 8));
    b.push_back(i % 10 == 0 ? 0 : static_cast<std::uint32_t>(rng()) & ~MODE_MASK);
  }
  std::vector<std::uint32_t> out(a.size());
  t.combine_batch(a, b, OP_MUL, out);
  for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(out[i], t.combine(a[i], b[i], OP_MUL));
  t.update_chain_batch(a, OP_CLIP, out);
  for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(out[i], t.update_chain(a[i], OP_CLIP));
  std::vector<std::uint8_t> flags(a.size());
  std::vector<double> risk(a.size());
  is_tainted_batch(a, flags);
  risk_score_batch(a, risk);
  for (std::size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(flags[i], is_tainted(a[i]) ? 1 : 0);
    ASSERT_EQ(risk[i], risk_score(a[i]));
  }
}

// Mode-00 words take a path of their own, a block at a time; every pair_data value that matters
// (none, the smallest ids, the largest the format names, past it, 1023) against the model.
TEST(Batch, SinglePairWordsMatchTheReference) {
  std::mt19937 rng(12);
  const std::uint32_t pair_data[] = {0, 1, 2, 3, 511, 512, 513, 1022, 1023};
  std::vector<std::uint32_t> a, b;
  for (int i = 0; i < 20000; ++i) {
    auto single = [&]() -> std::uint32_t {
      if (rng() % 17 == 0) return 0;  // the identity
      const std::uint32_t r = static_cast<std::uint32_t>(rng());
      return (r & 1 ? TAINT_MASK : 0u) | (r >> 1 & 7) << DEPTH_SHIFT |
             pair_data[(r >> 4) % std::size(pair_data)] << 16 | (r >> 16);
    };
    a.push_back(single());
    b.push_back(single());
  }
  a[7000] = 0xAC0000B6u;  // one block falls back to the general rule
  Tracker t;
  ref::Registry model;
  std::vector<std::uint32_t> out(a.size());
  for (std::uint32_t op : {0u, 1u, 15u, 0xFFFFFFFFu}) {
    t.combine_batch(a, b, op, out);
    for (std::size_t i = 0; i < a.size(); ++i) {
      ASSERT_EQ(out[i], ref::combine(a[i], b[i], op, model)) << std::hex << a[i] << " " << b[i];
    }
    t.update_chain_batch(a, op, out);
    for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(out[i], ref::update_chain(a[i], op, model));
  }
}

// Dense entries repeat across a batch and are served from its memo; entries of more than eight
// pairs are not remembered. Both must give the model's words, element by element.
TEST(Batch, RepeatedDenseEntriesMatchTheReference) {
  std::mt19937 rng(13);
  Tracker t;
  ref::Registry model;
  std::vector<std::uint32_t> seeds;
  for (int i = 0; i < 30; ++i) {
    const ref::Set s = testing::random_set(rng, 4 + rng() % 9, 40);
    const std::uint32_t e = rng() % 4, c = rng() % 4;
    const std::vector<PairId> ids(s.begin(), s.end());
    seeds.push_back(t.encode(ids, e, c, false, 0));
    ASSERT_EQ(seeds.back(), ref::encode(s, e, c, false, 0, model));
  }
  std::vector<std::uint32_t> a(30000), b(30000), out(30000);
  for (std::size_t i = 0; i < a.size(); ++i) {
    a[i] = seeds[rng() % seeds.size()];
    b[i] = i % 3 ? seeds[rng() % seeds.size()] : static_cast<std::uint32_t>(rng()) & ~MODE_MASK;
  }
  t.combine_batch(a, b, OP_ADD, out);
  for (std::size_t i = 0; i < a.size(); ++i) ASSERT_EQ(out[i], ref::combine(a[i], b[i], OP_ADD, model));
  const std::vector<std::uint32_t> combined = out;
  t.update_chain_batch(combined, OP_MAP, out);
  for (std::size_t i = 0; i < a.size(); ++i) {
    ASSERT_EQ(out[i], ref::update_chain(combined[i], OP_MAP, model));
  }
}

TEST(Batch, CombineStopsAtTheShorterInput) {
  Tracker t;
  const std::vector<std::uint32_t> a(5, 0x00010000u), b(3, 0x00020000u);
  std::vector<std::uint32_t> out(3, 0xDEADBEEFu);
  t.combine_batch(a, b, OP_ADD, out);
  for (std::uint32_t w : out) EXPECT_EQ(w, t.combine(a[0], b[0], OP_ADD));
}

TEST(Batch, EncodeSourceColumn) {
  const std::vector<std::uint32_t> hashes{0x1FF, 7};
  std::vector<std::uint32_t> out(2);
  encode_source_column(4, hashes, true, out);
  EXPECT_EQ(out, (std::vector<std::uint32_t>{0x2005FF00u, 0x20050700u}));
  Tracker t;
  for (std::uint32_t h : {0u, 1u, 0xABCDu, 0xFFFFFFFFu}) {
    const std::vector<std::uint32_t> one{h};
    std::vector<std::uint32_t> w(1);
    encode_source_column(511, one, false, w);
    EXPECT_EQ(w[0], t.encode(std::vector<PairId>{511}, h & 0xFF, 0, false, 0));
  }
}

// ---- borrow flag ---------------------------------------------------------------------------------

TEST(Borrow, ReadersShareWritersExclude) {
  BorrowFlag flag;
  {
    auto r1 = flag.shared();
    auto r2 = flag.shared();
    try {
      auto w = flag.exclusive();
      FAIL();
    } catch (const BorrowError& e) {
      EXPECT_STREQ(e.what(), "Already borrowed");
    }
  }
  {
    auto w = flag.exclusive();
    try {
      auto r = flag.shared();
      FAIL();
    } catch (const BorrowError& e) {
      EXPECT_STREQ(e.what(), "Already mutably borrowed");
    }
    EXPECT_THROW(flag.exclusive(), BorrowError);
  }
  auto w = flag.exclusive();  // everything was released
}

}  // namespace
}  // namespace korval
