// The strict UTF-8 scanner against a reference built by encoding every
// scalar value: a byte string is well-formed exactly when it is one of those
// encodings, and a maximal ill-formed subpart is the longest prefix of one.
#include "vorpel/text/utf8.hpp"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using vorpel::text::append_utf8_lossy;
using vorpel::text::is_valid_utf8;
using vorpel::text::scan_utf8;
using vorpel::text::Utf8;
using vorpel::text::Utf8Scan;

// Continuation bytes carry six bits each from the low end; the lead byte has
// as many high ones as the sequence has bytes.
std::string encode(uint32_t cp) {
  if (cp < 0x80) return std::string(1, static_cast<char>(cp));
  const int n = cp < 0x800 ? 2 : cp < 0x10000 ? 3 : 4;
  std::string out(static_cast<size_t>(n), '\0');
  for (int k = n - 1; k > 0; --k) {
    out[static_cast<size_t>(k)] = static_cast<char>(0x80 | (cp & 0x3F));
    cp >>= 6;
  }
  out[0] = static_cast<char>(((0xFF00u >> n) & 0xFF) | cp);
  return out;
}

bool is_scalar(uint32_t cp) { return cp <= 0x10FFFF && (cp < 0xD800 || cp > 0xDFFF); }

// Byte strings of up to four bytes packed with their length as one key.
uint64_t key(std::string_view b) {
  uint64_t k = b.size();
  for (unsigned char c : b) k = (k << 8) | c;
  return k;
}

struct Reference {
  std::vector<uint64_t> full;      // every encoding
  std::vector<uint64_t> prefixes;  // every proper prefix of one
  std::vector<uint32_t> value;     // scalar of full[j]

  Reference() {
    std::vector<std::pair<uint64_t, uint32_t>> f;
    for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
      if (!is_scalar(cp)) continue;
      const std::string e = encode(cp);
      f.emplace_back(key(e), cp);
      for (size_t n = 1; n < e.size(); ++n) prefixes.push_back(key(std::string_view(e).substr(0, n)));
    }
    std::sort(f.begin(), f.end());
    for (auto& [k, v] : f) {
      full.push_back(k);
      value.push_back(v);
    }
    std::sort(prefixes.begin(), prefixes.end());
    prefixes.erase(std::unique(prefixes.begin(), prefixes.end()), prefixes.end());
  }

  Utf8Scan scan(std::string_view s, size_t i) const {
    for (size_t n = 1; n <= 4; ++n) {
      if (i + n > s.size()) return {Utf8::Incomplete, n - 1, 0};
      const uint64_t k = key(s.substr(i, n));
      const auto it = std::lower_bound(full.begin(), full.end(), k);
      if (it != full.end() && *it == k) return {Utf8::Complete, n, value[it - full.begin()]};
      if (!std::binary_search(prefixes.begin(), prefixes.end(), k)) {
        return {Utf8::Invalid, std::max<size_t>(n - 1, 1), 0};
      }
    }
    return {Utf8::Invalid, 4, 0};  // no encoding is longer than four bytes
  }
};

const Reference& reference() {
  static const Reference r;
  return r;
}

std::string hex(std::string_view s) {
  static const char* d = "0123456789ABCDEF";
  std::string out;
  for (unsigned char c : s) {
    out += d[c >> 4];
    out += d[c & 15];
    out += ' ';
  }
  return out;
}

void expect_same(std::string_view s, size_t i) {
  const Utf8Scan want = reference().scan(s, i);
  const Utf8Scan got = scan_utf8(s, i);
  ASSERT_EQ(static_cast<int>(got.kind), static_cast<int>(want.kind)) << hex(s) << "at " << i;
  ASSERT_EQ(got.len, want.len) << hex(s) << "at " << i;
  ASSERT_EQ(got.cp, want.cp) << hex(s) << "at " << i;
}

TEST(Utf8Scan, EveryScalarDecodes) {
  for (uint32_t cp = 0; cp <= 0x10FFFF; ++cp) {
    if (!is_scalar(cp)) continue;
    const std::string e = encode(cp);
    const Utf8Scan sc = scan_utf8(e, 0);
    ASSERT_EQ(static_cast<int>(sc.kind), static_cast<int>(Utf8::Complete)) << std::hex << cp;
    ASSERT_EQ(sc.len, e.size()) << std::hex << cp;
    ASSERT_EQ(sc.cp, cp) << std::hex << cp;
    // Cut short it is an unfinished sequence of what is there.
    for (size_t n = 1; n < e.size(); ++n) {
      const Utf8Scan cut = scan_utf8(std::string_view(e).substr(0, n), 0);
      ASSERT_EQ(static_cast<int>(cut.kind), static_cast<int>(Utf8::Incomplete)) << std::hex << cp;
      ASSERT_EQ(cut.len, n) << std::hex << cp;
    }
  }
}

TEST(Utf8Scan, EveryTwoByteString) {
  for (unsigned a = 0; a < 256; ++a) {
    for (unsigned b = 0; b < 256; ++b) {
      const std::string s{static_cast<char>(a), static_cast<char>(b)};
      expect_same(s, 0);
      expect_same(s, 1);
    }
  }
}

TEST(Utf8Scan, RandomStringsMatchReference) {
  // Bytes at the edges of the lead and continuation ranges, plus any byte.
  const unsigned char edges[] = {0x00, 0x41, 0x7F, 0x80, 0x8F, 0x90, 0x9F, 0xA0, 0xBF, 0xC0, 0xC1, 0xC2,
                                 0xDF, 0xE0, 0xE1, 0xEC, 0xED, 0xEE, 0xEF, 0xF0, 0xF1, 0xF3, 0xF4, 0xF5,
                                 0xF7, 0xF8, 0xFE, 0xFF};
  for (uint32_t seed = 1; seed <= 40; ++seed) {
    std::mt19937 rng(seed);
    std::string s;
    const size_t n = 1 + rng() % 64;
    for (size_t j = 0; j < n; ++j) {
      const uint32_t r = rng();
      s += static_cast<char>(r % 3 == 0 ? r >> 8 : edges[(r >> 8) % sizeof edges]);
    }
    SCOPED_TRACE("seed " + std::to_string(seed));
    std::string want_lossy;
    bool want_valid = true;
    for (size_t i = 0; i < s.size(); ++i) expect_same(s, i);
    for (size_t i = 0; i < s.size();) {
      const Utf8Scan w = reference().scan(s, i);
      if (w.kind == Utf8::Complete) {
        want_lossy += s.substr(i, w.len);
      } else {
        want_lossy += "\xEF\xBF\xBD";
        want_valid = false;
      }
      i += w.len;
    }
    std::string got = "prefix";
    append_utf8_lossy(got, s);
    EXPECT_EQ(got, "prefix" + want_lossy) << hex(s);
    EXPECT_EQ(is_valid_utf8(s), want_valid) << hex(s);
  }
}

TEST(Utf8Scan, Examples) {
  const std::string r = "\xEF\xBF\xBD";
  std::string out;
  append_utf8_lossy(out, "a\xC0\xAF\xE2\x96x\xF0\x9F\x98\x80\xED\xA0\x80\xF4\x90\xE2\x96");
  // Overlong lead bytes and a surrogate one replacement per byte; a cut
  // sequence one in all; the unfinished tail one.
  EXPECT_EQ(out, "a" + r + r + r + "x\xF0\x9F\x98\x80" + r + r + r + r + r + r);
  EXPECT_TRUE(is_valid_utf8(""));
  EXPECT_TRUE(is_valid_utf8("\xE2\x96\x81 plain \xF4\x8F\xBF\xBF"));
  EXPECT_FALSE(is_valid_utf8("\xE2\x96"));
  static_assert(scan_utf8("\xC3\xA9", 0).cp == 0xE9);
}

}  // namespace
