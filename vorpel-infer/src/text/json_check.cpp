// Recursive-descent JSON syntax check with a bounded depth.
#include "vorpel/text/json_check.hpp"

#include <cctype>
#include <cstdint>
#include <vector>

#include "vorpel/text/utf8.hpp"

namespace vorpel::json {

namespace {

constexpr int kMaxDepth = 512;

class Checker {
 public:
  explicit Checker(std::string_view s) : s_(s) {}

  std::optional<SyntaxError> document() {
    ws();
    if (!value(0)) return err_;
    ws();
    if (i_ != s_.size()) return SyntaxError{i_, "unexpected text after the value"};
    return std::nullopt;
  }

  // Whether each element of a top-level array is an object, in order.
  const std::vector<bool>& element_objects() const { return element_objects_; }

 private:
  bool fail(std::string what) {
    if (!err_) err_ = SyntaxError{i_, std::move(what)};
    return false;
  }
  void ws() {
    while (i_ < s_.size() && (s_[i_] == ' ' || s_[i_] == '\t' || s_[i_] == '\n' || s_[i_] == '\r')) ++i_;
  }
  bool peek(char c) const { return i_ < s_.size() && s_[i_] == c; }

  bool value(int depth) {
    if (depth > kMaxDepth) return fail("nesting too deep");
    if (i_ >= s_.size()) return fail("unexpected end of input");
    switch (s_[i_]) {
      case '{': return object(depth);
      case '[': return array(depth);
      case '"': return string();
      case 't': return literal("true");
      case 'f': return literal("false");
      case 'n': return literal("null");
      default: return number();
    }
  }

  bool literal(std::string_view word) {
    if (s_.substr(i_, word.size()) != word) return fail("expected a value");
    i_ += word.size();
    return true;
  }

  bool digits() {
    const size_t start = i_;
    while (i_ < s_.size() && s_[i_] >= '0' && s_[i_] <= '9') ++i_;
    return i_ > start;
  }

  bool number() {
    if (peek('-')) ++i_;
    if (peek('0')) {
      ++i_;
    } else if (!(i_ < s_.size() && s_[i_] >= '1' && s_[i_] <= '9') || !digits()) {
      return fail("expected a value");
    }
    if (peek('.')) {
      ++i_;
      if (!digits()) return fail("expected digits after '.'");
    }
    if (peek('e') || peek('E')) {
      ++i_;
      if (peek('+') || peek('-')) ++i_;
      if (!digits()) return fail("expected digits in the exponent");
    }
    return true;
  }

  bool string() {
    ++i_;  // the opening quote
    while (i_ < s_.size()) {
      const unsigned char c = static_cast<unsigned char>(s_[i_]);
      if (c == '"') {
        ++i_;
        return true;
      }
      if (c < 0x20) return fail("control character in a string");
      if (c == '\\') {
        ++i_;
        if (i_ >= s_.size()) break;
        const char e = s_[i_];
        if (e == 'u') {
          for (size_t k = 1; k <= 4; ++k)
            if (i_ + k >= s_.size() || !std::isxdigit(static_cast<unsigned char>(s_[i_ + k])))
              return fail("bad \\u escape");
          i_ += 5;
          continue;
        }
        if (std::string_view("\"\\/bfnrt").find(e) == std::string_view::npos) return fail("bad escape");
        ++i_;
        continue;
      }
      if (c < 0x80) {
        ++i_;
        continue;
      }
      const auto sc = text::scan_utf8(s_, i_);
      if (sc.kind != text::Utf8::Complete) return fail("invalid UTF-8");
      i_ += sc.len;
    }
    return fail("unterminated string");
  }

  bool array(int depth) {
    ++i_;
    ws();
    if (peek(']')) {
      ++i_;
      return true;
    }
    for (;;) {
      ws();
      if (depth == 0) element_objects_.push_back(peek('{'));
      if (!value(depth + 1)) return false;
      ws();
      if (peek(',')) {
        ++i_;
        continue;
      }
      if (peek(']')) {
        ++i_;
        return true;
      }
      return fail("expected ',' or ']'");
    }
  }

  bool object(int depth) {
    ++i_;
    ws();
    if (peek('}')) {
      ++i_;
      return true;
    }
    for (;;) {
      ws();
      if (!peek('"')) return fail("expected a string key");
      if (!string()) return false;
      ws();
      if (!peek(':')) return fail("expected ':'");
      ++i_;
      ws();
      if (!value(depth + 1)) return false;
      ws();
      if (peek(',')) {
        ++i_;
        continue;
      }
      if (peek('}')) {
        ++i_;
        return true;
      }
      return fail("expected ',' or '}'");
    }
  }

  std::string_view s_;
  size_t i_ = 0;
  std::optional<SyntaxError> err_;
  std::vector<bool> element_objects_;
};

}  // namespace

std::optional<SyntaxError> check_syntax(std::string_view text) { return Checker(text).document(); }

std::optional<std::string> check_tools_list(std::string_view text) {
  Checker c(text);
  if (auto e = c.document()) return "not valid JSON at byte " + std::to_string(e->offset) + ": " + e->what;
  size_t start = 0;
  while (start < text.size() && (text[start] == ' ' || text[start] == '\t' || text[start] == '\n' || text[start] == '\r'))
    ++start;
  if (start >= text.size() || text[start] != '[') return std::string("not a JSON array");
  if (c.element_objects().empty()) return std::string("an empty array");
  for (size_t k = 0; k < c.element_objects().size(); ++k)
    if (!c.element_objects()[k]) return "element " + std::to_string(k) + " is not an object";
  return std::nullopt;
}

}  // namespace vorpel::json
