// Decimal number parsing shared by the safetensors reader, the vocabulary
// and the first-generation configuration.
#include "vorpel/text/decimal.hpp"

#include <algorithm>
#include <charconv>
#include <limits>

namespace vorpel::text {

namespace {

bool iequals(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (size_t i = 0; i < a.size(); ++i) {
    char c = a[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != b[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<uint64_t> parse_u64(std::string_view s) {
  if (!s.empty() && s.front() == '+') s.remove_prefix(1);
  if (s.empty()) return std::nullopt;
  uint64_t v = 0;
  for (char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (std::numeric_limits<uint64_t>::max() - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

std::optional<float> parse_f32(std::string_view s) {
  bool neg = false;
  if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
    neg = s[0] == '-';
    s.remove_prefix(1);
  }
  constexpr float kInf = std::numeric_limits<float>::infinity();
  if (iequals(s, "inf") || iequals(s, "infinity")) return neg ? -kInf : kInf;
  if (iequals(s, "nan")) return std::numeric_limits<float>::quiet_NaN();

  const size_t n = s.size();
  auto digits = [&](size_t& i) {
    const size_t start = i;
    while (i < n && s[i] >= '0' && s[i] <= '9') ++i;
    return i - start;
  };
  size_t i = 0;
  const size_t int_digits = digits(i);
  size_t frac_digits = 0;
  if (i < n && s[i] == '.') frac_digits = digits(++i);
  if (int_digits + frac_digits == 0) return std::nullopt;
  const size_t mantissa_end = i;
  int64_t exp = 0;
  if (i < n && (s[i] == 'e' || s[i] == 'E')) {
    ++i;
    bool exp_neg = false;
    if (i < n && (s[i] == '+' || s[i] == '-')) exp_neg = s[i++] == '-';
    const size_t exp_start = i;
    if (digits(i) == 0) return std::nullopt;
    for (size_t k = exp_start; k < i; ++k) exp = std::min<int64_t>(exp * 10 + (s[k] - '0'), 1'000'000'000);
    if (exp_neg) exp = -exp;
  }
  if (i != n) return std::nullopt;

  float v = 0;
  const auto [ptr, ec] = std::from_chars(s.data(), s.data() + n, v, std::chars_format::general);
  if (ec == std::errc::result_out_of_range) {
    // Decimal order of the first significant digit decides overflow or underflow.
    int64_t order = 0;
    bool found = false;
    for (size_t k = 0; k < mantissa_end && !found; ++k) {
      if (s[k] < '1' || s[k] > '9') continue;
      found = true;
      // Index int_digits is the point, so the first fraction digit has order -1.
      order = k < int_digits ? static_cast<int64_t>(int_digits - 1 - k)
                             : -static_cast<int64_t>(k - int_digits);
    }
    v = found && order + exp >= 0 ? kInf : 0.0f;
  } else if (ec != std::errc{} || ptr != s.data() + n) {
    return std::nullopt;
  }
  return neg ? -v : v;
}

}  // namespace vorpel::text
