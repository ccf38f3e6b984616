#include "encoding.hpp"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "reference.hpp"
#include "test_util.hpp"

namespace korval {
namespace {

using testing::pairs_of;
using testing::to_ref;

struct WordCase {
  std::vector<PairId> pairs;
  std::uint32_t entity, chain;
  bool taint;
  std::uint32_t depth;
  std::uint32_t word;
  // what the word decodes to
  ref::Set decoded_pairs;
  std::uint32_t decoded_entity, decoded_chain, decoded_depth;
  const char* label;
};

void PrintTo(const WordCase& c, std::ostream* os) { *os << "word 0x" << std::hex << c.word; }

class WorkedWords : public ::testing::TestWithParam<WordCase> {};

TEST_P(WorkedWords, EncodeAndDecode) {
  const WordCase& c = GetParam();
  DenseRegistry reg;
  const PairSet pairs = PairSet::from_unsorted(c.pairs.data(), c.pairs.size());
  const std::uint32_t w = encode_dense(pairs, c.entity, c.chain, c.taint, c.depth, reg);
  EXPECT_EQ(w, c.word) << std::hex << w;
  const DecodedWord d = decode(w, reg);
  EXPECT_EQ(to_ref(d.pairs), c.decoded_pairs);
  EXPECT_EQ(d.entity, c.decoded_entity);
  EXPECT_EQ(d.chain, c.decoded_chain);
  EXPECT_EQ(d.taint, c.taint);
  EXPECT_EQ(d.depth, c.decoded_depth);
  EXPECT_STREQ(label_text(d.label), c.label);
}

INSTANTIATE_TEST_SUITE_P(
    Format, WorkedWords,
    ::testing::Values(
        WordCase{{}, 0, 0, false, 0, 0x00000000, {}, 0, 0, 0, "EXACT-0"},
        WordCase{{5}, 0xAB, 0x12, true, 2, 0x2806AB12, {5}, 171, 18, 2, "EXACT-1"},
        WordCase{{7, 3}, 0x1F3, 0x2C, false, 1, 0x4400313C, {3, 7}, 19, 12, 1, "EXACT-2"},
        WordCase{{1, 4, 9}, 0x77, 0x55, true, 3, 0xAC0000B6, {1, 4, 9}, 0, 0, 3, "EXACT-3"},
        WordCase{{0, 1}, 0, 0, false, 0, 0x40000000, {0, 1}, 0, 0, 0, "EXACT-2"},
        WordCase{{0, 1, 2}, 0, 0, false, 0, 0x80000000, {0, 1, 2}, 0, 0, 0, "EXACT-3"},
        WordCase{{511}, 0xFF, 0xFF, true, 7, 0x3E00FFFF, {511}, 255, 255, 7, "EXACT-1"},
        WordCase{{510, 511}, 31, 15, false, 9, 0x5FFDFFFF, {510, 511}, 31, 15, 7, "EXACT-2"},
        WordCase{{509, 510, 511}, 0, 0, false, 0, 0x82A6ABFE, {509, 510, 511}, 0, 0, 0, "EXACT-3"},
        WordCase{{0, 1, 2, 3}, 0, 0, false, 0, 0xC24C5AE7, {0, 1, 2, 3}, 0, 0, 0, "DENSE"},
        WordCase{{2, 3, 5, 7, 11}, 0x1234, 0x5678, true, 4, 0xF2A0004B, {2, 3, 5, 7, 11}, 0x1234,
                 0x5678, 4, "DENSE"},
        // repeated ids count once
        WordCase{{7, 3, 7}, 0x1F3, 0x2C, false, 1, 0x4400313C, {3, 7}, 19, 12, 1, "EXACT-2"},
        // fields are cut to the width of their mode
        WordCase{{}, 0x1FF, 0x1FF, false, 0, 0x0000FFFF, {}, 0xFF, 0xFF, 0, "EXACT-0"},
        WordCase{{0, 1}, 0x1FF, 0x1FF, false, 0, 0x400001FF, {0, 1}, 0x1F, 0xF, 0, "EXACT-2"},
        WordCase{{0, 1, 2}, 0x1FF, 0x1FF, false, 0, 0x80000000, {0, 1, 2}, 0, 0, 0, "EXACT-3"},
        // depth saturates at 7, compared unsigned
        WordCase{{5}, 0, 0, false, 8, 0x1C060000, {5}, 0, 0, 7, "EXACT-1"},
        WordCase{{5}, 0, 0, false, 100, 0x1C060000, {5}, 0, 0, 7, "EXACT-1"},
        WordCase{{5}, 0, 0, false, 4294967295u, 0x1C060000, {5}, 0, 0, 7, "EXACT-1"}));

struct DecodeCase {
  std::uint32_t word;
  ref::Set pairs;
  const char* label;
};

class DecodeOnly : public ::testing::TestWithParam<DecodeCase> {};

TEST_P(DecodeOnly, Pairs) {
  DenseRegistry reg;
  const DecodedWord d = decode(GetParam().word, reg);
  EXPECT_EQ(to_ref(d.pairs), GetParam().pairs);
  EXPECT_STREQ(label_text(d.label), GetParam().label);
}

INSTANTIATE_TEST_SUITE_P(
    Format, DecodeOnly,
    ::testing::Values(DecodeCase{0x40000000, {0, 1}, "EXACT-2"},
                      DecodeCase{0x80000000, {0, 1, 2}, "EXACT-3"},
                      DecodeCase{0x80000001, {0, 1, 2}, "EXACT-3"},  // reserved bit ignored
                      DecodeCase{0x03FF0000, {1022}, "EXACT-1"},     // largest single id
                      DecodeCase{0xC0000000, {}, "DENSE"},           // unknown signature
                      DecodeCase{0xFFFFFFFF, {}, "DENSE"}));

TEST(Decode, UnknownDenseWordKeepsItsHeader) {
  DenseRegistry reg;
  const DecodedWord d = decode(0xF2A0004B, reg);  // made by another registry
  EXPECT_TRUE(d.pairs.empty());
  EXPECT_EQ(d.entity, 0u);
  EXPECT_EQ(d.chain, 0u);
  EXPECT_TRUE(d.taint);
  EXPECT_EQ(d.depth, 4u);
  EXPECT_EQ(d.label, Label::Dense);
}

TEST(EncodeExact, RefusesFourPairs) {
  const PairSet p = pairs_of({0, 1, 2, 3});
  try {
    encode_exact(p, 0, 0, false, 0);
    FAIL() << "no exception";
  } catch (const InternalError& e) {
    EXPECT_STREQ(e.what(), "encode() cannot handle 4 pairs (mode 11). Use encode_dense() with a registry.");
  }
}

TEST(Dense, TaintAndDepthStayOutOfTheSignature) {
  DenseRegistry reg;
  const PairSet p = pairs_of({0, 1, 2, 3});
  const std::uint32_t a = encode_dense(p, 9, 9, false, 0, reg);
  const std::uint32_t b = encode_dense(p, 9, 9, true, 5, reg);
  EXPECT_EQ(a & PAYLOAD_MASK, b & PAYLOAD_MASK);
  EXPECT_NE(a, b);
  EXPECT_EQ(reg.size(), 1u);
}

TEST(Dense, ADifferentChainGivesAnotherDecodableWord) {
  DenseRegistry reg;
  const PairSet p = pairs_of({0, 1, 2, 3});
  const std::uint32_t a = encode_dense(p, 0, 1, false, 0, reg);
  const std::uint32_t b = encode_dense(p, 0, 2, false, 0, reg);
  EXPECT_NE(a, b);
  EXPECT_EQ(decode(a, reg).chain, 1u);
  EXPECT_EQ(decode(b, reg).chain, 2u);
}

// Every word of every mode decodes as the literal model decodes it.
TEST(Decode, RandomWordsMatchTheReference) {
  std::mt19937 rng(11);
  DenseRegistry reg;
  ref::Registry model;
  for (int i = 0; i < 200; ++i) {  // some known dense words
    const ref::Set s = testing::random_set(rng, 4 + rng() % 6);
    const std::uint32_t e = rng(), c = rng();
    const std::uint32_t w = encode_dense(testing::from_ref(s), e, c, false, 0, reg);
    ASSERT_EQ(w, ref::encode(s, e, c, false, 0, model));
  }
  for (int i = 0; i < 1000000; ++i) {
    const std::uint32_t w = static_cast<std::uint32_t>(rng());
    const DecodedWord d = decode(w, reg);
    const ref::Decoded r = ref::decode(w, model);
    ASSERT_EQ(to_ref(d.pairs), r.pairs) << std::hex << w;
    ASSERT_EQ(d.entity, r.entity);
    ASSERT_EQ(d.chain, r.chain);
    ASSERT_EQ(d.depth, r.depth);
    ASSERT_EQ(d.taint, r.taint);
    ASSERT_EQ(label_text(d.label), r.label);
  }
}

// Sets of ids below 512 round-trip in every mode, and the words equal the model's.
TEST(Encode, RandomSetsRoundTripAndMatchTheReference) {
  std::mt19937 rng(5);
  DenseRegistry reg;
  ref::Registry model;
  for (int i = 0; i < 200000; ++i) {
    const ref::Set s = testing::random_set(rng, rng() % 7);
    const std::uint32_t entity = rng(), chain = rng(), depth = rng() % 12;
    const bool taint = rng() & 1;
    const std::uint32_t w = encode_dense(testing::from_ref(s), entity, chain, taint, depth, reg);
    ASSERT_EQ(w, ref::encode(s, entity, chain, taint, depth, model));
    const DecodedWord d = decode(w, reg);
    ASSERT_EQ(to_ref(d.pairs), s);
    ASSERT_EQ(d.taint, taint);
    ASSERT_EQ(d.depth, depth < 7 ? depth : 7);
    if (s.size() >= 4) {
      ASSERT_EQ(d.entity, entity);
      ASSERT_EQ(d.chain, chain);
    }
  }
}

}  // namespace
}  // namespace korval
