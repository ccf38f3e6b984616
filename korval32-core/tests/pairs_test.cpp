#include "pairs.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "reference.hpp"
#include "test_util.hpp"

namespace korval {
namespace {

using testing::pairs_of;

TEST(Binomials, MatchTheTextbookLoop) {
  for (std::uint64_t n = 0; n < 4000; ++n) {
    ASSERT_EQ(choose2(n), ref::binom(n, 2)) << n;
    ASSERT_EQ(choose3(n), ref::binom(n, 3)) << n;
  }
  // The largest id a pair set can name.
  EXPECT_EQ(choose3(65535), ref::binom(65535, 3));
}

TEST(Ranks, LargestSetsOfTheFormatFitTheirFields) {
  EXPECT_EQ(rank2(510, 511), 130815u);
  EXPECT_LT(rank2(510, 511), 1u << 17);
  EXPECT_EQ(rank3(509, 510, 511), 22238719u);
  EXPECT_LT(rank3(509, 510, 511), 1u << 25);
}

// Every 17-bit index of a mode-01 word unranks exactly as the upward search does.
TEST(Unrank2, EveryModeTwoIndexMatchesTheUpwardSearch) {
  for (std::uint32_t idx = 0; idx < (1u << 17); ++idx) {
    const Ranked2 r = unrank2(idx);
    ASSERT_EQ((ref::Set{r.a, r.b}), ref::unrank2(idx)) << idx;
    ASSERT_LT(r.a, r.b) << idx;
  }
}

TEST(Unrank2, InvertsRank2ForEveryPairOfIdsBelow512) {
  for (std::uint32_t b = 1; b < 512; ++b) {
    for (std::uint32_t a = 0; a < b; ++a) {
      const Ranked2 r = unrank2(static_cast<std::uint32_t>(rank2(a, b)));
      ASSERT_EQ(r.a, a);
      ASSERT_EQ(r.b, b);
    }
  }
}

// Every 25-bit combo: unrank3 gives a valid set whose rank is the combo. Ranks are a bijection
// between sets and numbers, so this pins unrank3 to the one right answer.
TEST(Unrank3, EveryModeThreeComboRoundTrips) {
  for (std::uint32_t f = 0; f < (1u << 25); ++f) {
    const Ranked3 r = unrank3(f);
    if (!(r.a < r.b && r.b < r.c) || rank3(r.a, r.b, r.c) != f) {
      FAIL() << "combo " << f << " -> {" << r.a << ", " << r.b << ", " << r.c << "}";
    }
  }
}

// The literal search at a stride over all of bits 25-1 and at every boundary.
TEST(Unrank3, MatchesTheUpwardSearch) {
  std::vector<std::uint32_t> combos;
  for (std::uint32_t f = 0; f < (1u << 25); f += 211) combos.push_back(f);
  combos.push_back((1u << 25) - 1);
  for (std::uint64_t n = 3; ref::binom(n, 3) < (1u << 25) + 2; ++n) {
    const std::uint64_t g = ref::binom(n, 3);
    for (std::int64_t d : {-1, 0, 1}) {
      const std::int64_t f = static_cast<std::int64_t>(g) + d;
      if (f >= 0 && f < (1 << 25)) combos.push_back(static_cast<std::uint32_t>(f));
    }
    // the boundaries of the inner two-pair rank within this c
    for (std::uint64_t b = 2; b < n; b += (n / 7) + 1) {
      const std::uint64_t f = g + ref::binom(b, 2);
      for (std::uint64_t x : {f - 1, f, f + 1}) {
        if (x < (1u << 25)) combos.push_back(static_cast<std::uint32_t>(x));
      }
    }
  }
  for (std::uint32_t f : combos) {
    const Ranked3 r = unrank3(f);
    ASSERT_EQ((ref::Set{r.a, r.b, r.c}), ref::unrank3(f)) << f;
  }
}

TEST(LargestChoose, ExactForEvery32BitBoundary) {
  for (std::uint64_t n = 1; choose2(n) <= 0xFFFFFFFFu; ++n) {
    const std::uint64_t g = choose2(n);
    ASSERT_EQ(largest_choose2_at_most(static_cast<std::uint32_t>(g)), n);
    if (g > 0) ASSERT_EQ(largest_choose2_at_most(static_cast<std::uint32_t>(g - 1)), n - 1);
  }
  for (std::uint64_t n = 3; choose3(n) <= 0xFFFFFFFFu; ++n) {
    const std::uint64_t g = choose3(n);
    ASSERT_EQ(largest_choose3_at_most(static_cast<std::uint32_t>(g)), n);
    ASSERT_EQ(largest_choose3_at_most(static_cast<std::uint32_t>(g - 1)), n - 1);
  }
  EXPECT_EQ(largest_choose2_at_most(0xFFFFFFFFu), ref::search_up(0xFFFFFFFFu, 2));
  EXPECT_EQ(largest_choose3_at_most(0xFFFFFFFFu), ref::search_up(0xFFFFFFFFu, 3));
}

TEST(PairSetTest, SortsAndDropsRepeats) {
  const PairSet s = pairs_of({7, 3, 7, 1});
  EXPECT_EQ(testing::to_ref(s), (ref::Set{1, 3, 7}));
  EXPECT_TRUE(s.contains(3));
  EXPECT_FALSE(s.contains(2));
}

TEST(PairSetTest, SpillsToTheHeapAndBack) {
  PairSet s;
  for (PairId i = 0; i < 20; ++i) s.push_back(static_cast<PairId>(i * 2));
  ASSERT_EQ(s.size(), 20u);
  for (PairId i = 0; i < 20; ++i) EXPECT_EQ(s[i], i * 2);
  PairSet copy = s;
  EXPECT_EQ(copy, s);
  s.clear();
  s.push_back(5);
  EXPECT_EQ(testing::to_ref(s), (ref::Set{5}));
  EXPECT_EQ(copy.size(), 20u);
}

TEST(PairSetTest, UnionMatchesStdSet) {
  std::mt19937 rng(7);
  for (int t = 0; t < 2000; ++t) {
    const ref::Set x = testing::random_set(rng, rng() % 12, 40);
    const ref::Set y = testing::random_set(rng, rng() % 12, 40);
    PairSet u;
    set_union(testing::from_ref(x), testing::from_ref(y), u);
    ref::Set expected = x;
    expected.insert(y.begin(), y.end());
    ASSERT_EQ(testing::to_ref(u), expected);
  }
}

}  // namespace
}  // namespace korval
