// Safetensors parsing with a fixed-format header scanner, and the per-dtype
// widening to floats. Nothing sized by a header number is allocated before
// that number has been checked against the buffer.
#include "vorpel/safetensors/safetensors.hpp"

#include <algorithm>
#include <bit>
#include <limits>
#include <utility>

#include "vorpel/chat/unicode.hpp"
#include "vorpel/core/diagnostic.hpp"
#include "vorpel/core/half.hpp"
#include "vorpel/core/le_bytes.hpp"
#include "vorpel/text/decimal.hpp"
#include "vorpel/text/utf8.hpp"

namespace vorpel::st {

namespace {

using K = SafetensorsError::Kind;

std::unexpected<SafetensorsError> fail(K kind, std::string_view label = {}) {
  return std::unexpected(SafetensorsError::of(kind, label));
}

// The scanner's white space: tab, line feed, form feed, carriage return, space.
bool is_scan_space(char c) { return c == '\t' || c == '\n' || c == '\f' || c == '\r' || c == ' '; }

// Unicode White_Space trimmed at both ends; s is valid UTF-8.
std::string_view trim_unicode(std::string_view s) {
  size_t first = s.size(), last = 0;
  for (size_t i = 0; i < s.size();) {
    const text::Utf8Scan sc = text::scan_utf8(s, i);
    const bool space = sc.kind == text::Utf8::Complete && chat::is_white_space(sc.cp);
    if (!space) {
      if (first == s.size()) first = i;
      last = i + sc.len;
    }
    i += sc.len;
  }
  return first == s.size() ? std::string_view{} : s.substr(first, last - first);
}

struct Entry {
  std::string_view key, value;
};

// Top-level entries of the text between an object's braces. Keys run between
// double quotes (a backslash skips the next character, escapes stay as
// written); a string value keeps its quotes; a value opening with "{" runs to
// its matching bracket, counting {[ and }] alike and ignoring strings; any
// other value runs to the next "," or "}". Anything that is not a key where
// one is expected (or a key without a colon) ends the scan.
std::vector<Entry> split_entries(std::string_view s) {
  std::vector<Entry> out;
  const size_t n = s.size();
  size_t i = 0;
  for (;;) {
    while (i < n && (is_scan_space(s[i]) || s[i] == ',')) ++i;
    if (i >= n || s[i] != '"') break;
    const size_t key_begin = ++i;
    while (i < n && s[i] != '"') i += s[i] == '\\' ? 2 : 1;
    if (i >= n) break;
    const std::string_view key = s.substr(key_begin, i - key_begin);
    const size_t colon = s.find(':', i + 1);
    if (colon == std::string_view::npos) break;
    i = colon + 1;
    while (i < n && is_scan_space(s[i])) ++i;
    const size_t value_begin = i;
    if (i < n && s[i] == '"') {
      ++i;
      while (i < n && s[i] != '"') i += s[i] == '\\' ? 2 : 1;
      i = i < n ? i + 1 : n;
    } else if (i < n && s[i] == '{') {
      size_t depth = 0;
      for (; i < n; ++i) {
        if (s[i] == '{' || s[i] == '[') {
          ++depth;
        } else if ((s[i] == '}' || s[i] == ']') && --depth == 0) {
          ++i;
          break;
        }
      }
    } else {
      while (i < n && s[i] != ',' && s[i] != '}') ++i;
    }
    out.push_back({key, s.substr(value_begin, i - value_begin)});
  }
  return out;
}

// The inside of a trimmed {...} text, or nullopt when it is not one.
std::optional<std::string_view> object_body(std::string_view s) {
  s = trim_unicode(s);
  if (s.size() < 2 || s.front() != '{' || s.back() != '}') return std::nullopt;
  return s.substr(1, s.size() - 2);
}

// The string value of "key" inside a tensor's value text.
std::optional<std::string_view> find_string_field(std::string_view v, std::string_view quoted_key) {
  size_t at = v.find(quoted_key);
  if (at == std::string_view::npos) return std::nullopt;
  at = v.find(':', at + quoted_key.size());
  if (at == std::string_view::npos) return std::nullopt;
  ++at;
  while (at < v.size() && is_scan_space(v[at])) ++at;
  if (at >= v.size() || v[at] != '"') return std::nullopt;
  const size_t close = v.find('"', at + 1);
  if (close == std::string_view::npos) return std::nullopt;
  return v.substr(at + 1, close - at - 1);
}

// The list of "key" inside a tensor's value text: the text between the next
// "[" and the following "]", split at commas, each piece (white space around
// it dropped) an unsigned decimal. "[]" is the empty list.
std::optional<std::vector<uint64_t>> find_list_field(std::string_view v, std::string_view quoted_key) {
  const size_t at = v.find(quoted_key);
  if (at == std::string_view::npos) return std::nullopt;
  const size_t open = v.find('[', at + quoted_key.size());
  if (open == std::string_view::npos) return std::nullopt;
  const size_t close = v.find(']', open + 1);
  if (close == std::string_view::npos) return std::nullopt;
  const std::string_view body = v.substr(open + 1, close - open - 1);
  std::vector<uint64_t> out;
  if (trim_unicode(body).empty()) return out;
  for (size_t start = 0;;) {
    const size_t comma = body.find(',', start);
    const std::string_view piece =
        body.substr(start, comma == std::string_view::npos ? std::string_view::npos : comma - start);
    const auto value = text::parse_u64(trim_unicode(piece));
    if (!value) return std::nullopt;
    out.push_back(*value);
    if (comma == std::string_view::npos) break;
    start = comma + 1;
  }
  return out;
}

std::optional<Dtype> dtype_of(std::string_view s) {
  if (s == "F32") return Dtype::F32;
  if (s == "BF16") return Dtype::BF16;
  if (s == "F16") return Dtype::F16;
  if (s == "I8") return Dtype::I8;
  if (s == "I4") return Dtype::I4;
  return std::nullopt;
}

std::string shape_text(const std::vector<uint64_t>& shape) {
  std::string s = "[";
  for (size_t i = 0; i < shape.size(); ++i) {
    if (i) s += ", ";
    s += std::to_string(shape[i]);
  }
  return s + "]";
}

// Product of the dimensions (1 for an empty shape), nullopt past 64 bits.
std::optional<uint64_t> volume(const std::vector<uint64_t>& shape) {
  uint64_t v = 1;
  for (uint64_t d : shape) {
    if (d != 0 && v > std::numeric_limits<uint64_t>::max() / d) return std::nullopt;
    v *= d;
  }
  return v;
}

void add_metadata(std::string_view value, std::unordered_map<std::string, std::string>& out) {
  const auto body = object_body(value);
  if (!body) return;
  for (const Entry& e : split_entries(*body)) {
    std::string_view v = e.value;
    if (v.size() >= 2 && v.front() == '"' && v.back() == '"') v = v.substr(1, v.size() - 2);
    out.insert_or_assign(std::string(e.key), std::string(v));
  }
}

}  // namespace

std::expected<SafetensorsFile, SafetensorsError> SafetensorsFile::parse(std::vector<uint8_t> buffer) {
  if (buffer.size() <= 7) return fail(K::BufferTooShort);
  // Compared against what follows the length word, so a length near 2^64 cannot wrap.
  const uint64_t header_len = load_u64(buffer.data());
  if (header_len > buffer.size() - 8) return fail(K::TruncatedHeader);
  const std::string_view header(reinterpret_cast<const char*>(buffer.data() + 8),
                                static_cast<size_t>(header_len));
  if (!text::is_valid_utf8(header)) return fail(K::InvalidUtf8Header);
  const auto body = object_body(header);
  if (!body) return fail(K::ExpectedObject);

  SafetensorsFile file;
  for (const Entry& e : split_entries(*body)) {
    if (e.key == "__metadata__") {
      add_metadata(e.value, file.metadata_);
      continue;
    }
    const auto dtype_text = find_string_field(e.value, "\"dtype\"");
    if (!dtype_text) return fail(K::MissingDtype, e.key);
    auto shape = find_list_field(e.value, "\"shape\"");
    if (!shape) return fail(K::MissingShape, e.key);
    const auto offsets = find_list_field(e.value, "\"data_offsets\"");
    if (!offsets) return fail(K::MissingDataOffsets, e.key);
    if (offsets->size() != 2) return fail(K::DataOffsetsCount);
    const auto dtype = dtype_of(*dtype_text);
    if (!dtype) return fail(K::UnknownDtype, *dtype_text);
    file.tensors_.insert_or_assign(std::string(e.key),
                                   TensorInfo{*dtype, std::move(*shape), (*offsets)[0], (*offsets)[1]});
  }

  // The data section moves to the front of the same allocation: no second
  // copy of the file is ever held.
  const size_t skip = static_cast<size_t>(8 + header_len);
  buffer.erase(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(skip));
  if (skip > buffer.size()) buffer.shrink_to_fit();  // a header-heavy file gives its memory back
  file.data_ = std::move(buffer);
  return file;
}

const TensorInfo* SafetensorsFile::info(std::string_view name) const {
  const auto it = tensors_.find(name);
  return it == tensors_.end() ? nullptr : &it->second;
}

std::expected<std::span<const uint8_t>, SafetensorsError> SafetensorsFile::bytes_of(
    std::string_view name, const TensorInfo& t) const {
  if (t.begin > t.end) return std::unexpected(SafetensorsError::range_reversed(name, t.begin, t.end));
  if (t.end > data_.size())
    return std::unexpected(SafetensorsError::range_outside_data(name, t.begin, t.end, data_.size()));
  return std::span<const uint8_t>(data_).subspan(static_cast<size_t>(t.begin),
                                                 static_cast<size_t>(t.end - t.begin));
}

std::expected<std::span<const uint8_t>, SafetensorsError> SafetensorsFile::raw(
    std::string_view name) const {
  const TensorInfo* t = info(name);
  if (!t) return fail(K::NoSuchTensor, name);
  return bytes_of(name, *t);
}

std::expected<std::optional<std::vector<float>>, SafetensorsError> SafetensorsFile::get_f32(
    std::string_view name) const {
  const TensorInfo* t = info(name);
  if (!t) return std::optional<std::vector<float>>{};
  auto bytes = bytes_of(name, *t);
  if (!bytes) return std::unexpected(std::move(bytes.error()));
  const uint8_t* src = bytes->data();
  const size_t len = bytes->size();

  // Every output length below comes from the byte range, which lies inside
  // the data section; the shape is only compared, never used to size.
  std::vector<float> out;
  switch (t->dtype) {
    case Dtype::F32:
      out.resize(len / 4);
      for (size_t i = 0; i < out.size(); ++i) out[i] = load_f32(src + 4 * i);
      break;
    case Dtype::BF16:
      out.resize(len / 2);
      for (size_t i = 0; i < out.size(); ++i)
        out[i] = std::bit_cast<float>(static_cast<uint32_t>(load_u16(src + 2 * i)) << 16);
      break;
    case Dtype::F16:
      out.resize(len / 2);
      for (size_t i = 0; i < out.size(); ++i) out[i] = half_to_float(load_u16(src + 2 * i));
      break;
    case Dtype::I8:
      out.resize(len);
      for (size_t i = 0; i < len; ++i) out[i] = static_cast<float>(static_cast<int8_t>(src[i]));
      break;
    case Dtype::I4: {
      // len is at most the buffer size, so 2 * len cannot wrap.
      const uint64_t values = 2 * static_cast<uint64_t>(len);
      const auto vol = volume(t->shape);
      if (!vol || *vol != values) {
        diagnostic_line("[vorpel] I4 tensor shape mismatch: bytes*2=" + std::to_string(values) +
                        " but shape=" + shape_text(t->shape) +
                        " (vol=" + (vol ? std::to_string(*vol) : std::string("overflow")) +
                        "); returning empty");
        return std::optional<std::vector<float>>{};
      }
      out.resize(values);
      for (size_t i = 0; i < len; ++i) {
        const auto b = static_cast<int8_t>(src[i]);
        // Shifting the low nibble to the top and back sign-extends it.
        out[2 * i] = static_cast<float>(static_cast<int8_t>(static_cast<uint8_t>(src[i] << 4)) >> 4);
        out[2 * i + 1] = static_cast<float>(b >> 4);
      }
      break;
    }
  }
  return std::optional<std::vector<float>>(std::move(out));
}

}  // namespace vorpel::st
