// Vocabulary file loading, normalisation, the two encoders and decoding.
// Text that is not UTF-8 (load() and encode() accept any bytes) is read with
// each ill-formed byte as a character of its own.
#include "vorpel/vocab_tokenizer/vocab.hpp"

#include <algorithm>
#include <limits>
#include <queue>

#include "vorpel/chat/unicode.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/io/read_file.hpp"
#include "vorpel/text/decimal.hpp"
#include "vorpel/text/utf8.hpp"
#include "vorpel/text/word_marker.hpp"

namespace vorpel::vocab {

namespace {

constexpr std::string_view kMark = text::kWordMarker;

size_t char_len(std::string_view s, size_t i) {
  const text::Utf8Scan sc = text::scan_utf8(s, i);
  return sc.kind == text::Utf8::Complete ? sc.len : 1;
}

bool is_space_at(std::string_view s, size_t i, size_t& len) {
  const text::Utf8Scan sc = text::scan_utf8(s, i);
  len = sc.kind == text::Utf8::Complete ? sc.len : 1;
  return sc.kind == text::Utf8::Complete && chat::is_white_space(sc.cp);
}

// Unicode White_Space removed at the start, and at the end when both is set.
std::string_view trim(std::string_view s, bool both) {
  size_t first = s.size(), last = s.size();
  for (size_t i = 0, len = 0; i < s.size(); i += len) {
    if (!is_space_at(s, i, len)) {
      if (first == s.size()) {
        first = i;
        if (!both) break;
      }
      last = i + len;
    }
  }
  return first == s.size() ? std::string_view{} : s.substr(first, last - first);
}

bool is_continuation(char c) { return (static_cast<uint8_t>(c) & 0xC0) == 0x80; }

std::string byte_piece(uint8_t b) {
  static constexpr char kHex[] = "0123456789ABCDEF";
  return std::string{'<', '0', 'x', kHex[b >> 4], kHex[b & 15], '>'};
}

}  // namespace

struct Vocab::Symbol {
  std::string text;
  uint32_t id = 0;
  uint32_t version = 0;  // bumped when the text grows by a merge
  uint32_t prev = 0, next = 0;
  bool alive = true;
};

Vocab Vocab::load(std::string_view text) {
  Vocab v;
  bool any_tab = false;
  auto add = [&](std::string_view line) {
    VORPEL_CHECK(v.pieces_.size() < std::numeric_limits<uint32_t>::max(),
                 "vocabulary has more lines than 32-bit ids can number");
    const auto id = static_cast<uint32_t>(v.pieces_.size());
    const size_t tab = line.find('\t');
    float score = 0.0f;
    if (tab != std::string_view::npos) {
      any_tab = true;
      score = text::parse_f32(trim(line.substr(tab + 1), true)).value_or(0.0f);
      line = line.substr(0, tab);
    }
    v.scores_.push_back(score);
    v.pieces_.emplace_back(line);
    v.ids_.insert_or_assign(std::string(line), id);
    v.max_piece_len_ = std::max(v.max_piece_len_, line.size());
  };
  for (size_t pos = 0; pos < text.size();) {
    const size_t nl = text.find('\n', pos);
    if (nl == std::string_view::npos) {
      add(text.substr(pos));
      break;
    }
    std::string_view line = text.substr(pos, nl - pos);
    if (!line.empty() && line.back() == '\r') line.remove_suffix(1);
    add(line);
    pos = nl + 1;
  }
  // Without a single tab the file has no scores and encodes by greedy match.
  if (!any_tab) v.scores_ = {};
  std::vector<bool> seen(v.max_piece_len_ + 1, false);
  for (const auto& p : v.pieces_) seen[p.size()] = true;
  for (size_t len = v.max_piece_len_; len > 0; --len)
    if (seen[len]) v.lengths_desc_.push_back(len);
  return v;
}

std::expected<Vocab, std::string> Vocab::load_file(const std::string& path) {
  auto bytes = io::read_file(path);
  if (!bytes) return std::unexpected(std::move(bytes.error().text));
  const std::string_view content(reinterpret_cast<const char*>(bytes->data()), bytes->size());
  if (!text::is_valid_utf8(content)) return std::unexpected(std::string("stream did not contain valid UTF-8"));
  return load(content);
}

std::optional<uint32_t> Vocab::lookup(std::string_view piece) const {
  const auto it = ids_.find(piece);
  if (it == ids_.end()) return std::nullopt;
  return it->second;
}

std::string_view Vocab::piece(uint32_t id) const {
  VORPEL_CHECK(id < pieces_.size(), "vocabulary id " + std::to_string(id) + " out of range (" +
                                        std::to_string(pieces_.size()) + " pieces)");
  return pieces_[id];
}

float Vocab::score(uint32_t id) const {
  VORPEL_CHECK(id < pieces_.size(), "vocabulary id " + std::to_string(id) + " out of range (" +
                                        std::to_string(pieces_.size()) + " pieces)");
  return scores_.empty() ? 0.0f : scores_[id];
}

std::string Vocab::piece_text(uint32_t id) const {
  return id < pieces_.size() ? text::marker_to_space(pieces_[id]) : std::string();
}

std::string Vocab::decode(std::span<const uint32_t> ids) const {
  std::string out;
  for (uint32_t id : ids)
    if (id < pieces_.size()) out += text::marker_to_space(pieces_[id]);
  return std::string(trim(out, false));
}

std::string Vocab::normalize(std::string_view text) const {
  text = trim(text, true);
  if (text.empty()) return {};
  std::string out(kMark);
  out.reserve(text.size() + kMark.size());
  bool in_space = false;
  for (size_t i = 0, len = 0; i < text.size(); i += len) {
    if (is_space_at(text, i, len)) {
      if (!in_space) out += kMark;
      in_space = true;
    } else {
      out.append(text.substr(i, len));
      in_space = false;
    }
  }
  return out;
}

uint32_t Vocab::byte_fallback_id(uint8_t byte) const {
  return lookup(byte_piece(byte)).value_or(kFallbackId);
}

std::optional<float> Vocab::merge_score(std::string_view text, uint32_t& id) const {
  const auto k = lookup(text);
  if (!k) return std::nullopt;
  const float s = scores_[*k];
  if (!(s > -std::numeric_limits<float>::infinity())) return std::nullopt;
  id = *k;
  return s;
}

std::vector<Vocab::Symbol> Vocab::initial_symbols(std::string_view norm) const {
  std::vector<Symbol> syms;
  for (size_t i = 0, len = 0; i < norm.size(); i += len) {
    len = char_len(norm, i);
    const std::string_view ch = norm.substr(i, len);
    if (const auto id = lookup(ch)) {
      syms.push_back(Symbol{std::string(ch), *id});
    } else {
      for (char c : ch) {
        const auto b = static_cast<uint8_t>(c);
        syms.push_back(Symbol{byte_piece(b), byte_fallback_id(b)});
      }
    }
  }
  return syms;
}

// Equivalent to rescanning every adjacent pair after each merge: a pair's
// score depends only on its two texts, so each pair is scored once when it
// forms, and a heap ordered by (score descending, left position ascending)
// yields the pair the rescan would pick. Symbols keep their index when they
// absorb a right neighbour, so index order is position order.
std::vector<uint32_t> Vocab::encode_merge(std::string_view norm) const {
  std::vector<Symbol> syms = initial_symbols(norm);
  const auto count = static_cast<uint32_t>(syms.size());
  constexpr uint32_t kNone = std::numeric_limits<uint32_t>::max();
  for (uint32_t i = 0; i < count; ++i) {
    syms[i].prev = i == 0 ? kNone : i - 1;
    syms[i].next = i + 1 == count ? kNone : i + 1;
  }

  struct Cand {
    float score;
    uint32_t left, right, id, left_version, right_version;
  };
  auto lower = [](const Cand& a, const Cand& b) {
    return a.score < b.score || (a.score == b.score && a.left > b.left);
  };
  std::priority_queue<Cand, std::vector<Cand>, decltype(lower)> heap(lower);
  std::string scratch;
  auto consider = [&](uint32_t l, uint32_t r) {
    if (l == kNone || r == kNone) return;
    scratch.assign(syms[l].text);
    scratch.append(syms[r].text);
    uint32_t id = 0;
    if (const auto s = merge_score(scratch, id)) heap.push({*s, l, r, id, syms[l].version, syms[r].version});
  };
  for (uint32_t i = 0; i + 1 < count; ++i) consider(i, i + 1);

  while (!heap.empty()) {
    const Cand c = heap.top();
    heap.pop();
    Symbol& l = syms[c.left];
    Symbol& r = syms[c.right];
    if (!l.alive || !r.alive || l.next != c.right || l.version != c.left_version ||
        r.version != c.right_version)
      continue;
    l.text += r.text;
    l.id = c.id;
    ++l.version;
    r.alive = false;
    r.text.clear();
    l.next = r.next;
    if (r.next != kNone) syms[r.next].prev = c.left;
    consider(l.prev, c.left);
    consider(c.left, l.next);
  }

  std::vector<uint32_t> out;
  for (uint32_t i = count == 0 ? kNone : 0; i != kNone; i = syms[i].next) out.push_back(syms[i].id);
  return out;
}

// Longest match from each position. The candidates are the ends that lie on
// a character start (or the end of the text) within the longest piece length,
// tried longest first; only lengths some piece has can match, so those are
// the only ones looked up, which keeps one long piece from making every
// position scan thousands of candidates.
std::vector<uint32_t> Vocab::encode_greedy(std::string_view norm) const {
  std::vector<uint32_t> out;
  const size_t n = norm.size();
  for (size_t i = 0; i < n;) {
    bool matched = false;
    for (size_t len : lengths_desc_) {
      if (len > n - i) continue;
      const size_t e = i + len;
      if (e < n && is_continuation(norm[e])) continue;
      const std::string_view cand = norm.substr(i, len);
      // The hash lookup usually fails first; validity is checked only on a hit.
      if (const auto id = lookup(cand); id && text::is_valid_utf8(cand)) {
        out.push_back(*id);
        i = e;
        matched = true;
        break;
      }
    }
    if (!matched) {
      // From inside a character, its remaining bytes fall back one by one too.
      out.push_back(byte_fallback_id(static_cast<uint8_t>(norm[i])));
      ++i;
    }
  }
  return out;
}

std::vector<uint32_t> Vocab::encode(std::string_view text) const {
  const std::string norm = normalize(text);
  if (norm.empty()) return {};
  return has_scores() ? encode_merge(norm) : encode_greedy(norm);
}

std::vector<uint32_t> Vocab::encode_reference(std::string_view text) const {
  const std::string normalized = normalize(text);
  const std::string_view norm = normalized;  // substr() must give views, not copies
  if (norm.empty()) return {};
  if (!has_scores()) {
    // Every character-aligned end from the longest piece length down.
    std::vector<uint32_t> out;
    const size_t n = norm.size();
    for (size_t i = 0; i < n;) {
      size_t e = std::min(i + max_piece_len_, n);
      while (e > i && e < n && is_continuation(norm[e])) --e;
      bool matched = false;
      while (e > i) {
        const std::string_view cand = norm.substr(i, e - i);
        if (text::is_valid_utf8(cand)) {
          if (const auto id = lookup(cand)) {
            out.push_back(*id);
            i = e;
            matched = true;
            break;
          }
        }
        --e;
        while (e > i && is_continuation(norm[e])) --e;
      }
      if (!matched) out.push_back(byte_fallback_id(static_cast<uint8_t>(norm[i++])));
    }
    return out;
  }
  std::vector<Symbol> syms = initial_symbols(norm);
  while (syms.size() >= 2) {
    float best = -std::numeric_limits<float>::infinity();
    size_t best_at = syms.size();
    uint32_t best_id = 0;
    for (size_t i = 0; i + 1 < syms.size(); ++i) {
      const std::string joined = syms[i].text + syms[i + 1].text;
      if (const auto k = lookup(joined); k && scores_[*k] > best) {
        best = scores_[*k];
        best_at = i;
        best_id = *k;
      }
    }
    if (best_at == syms.size()) break;
    syms[best_at].text += syms[best_at + 1].text;
    syms[best_at].id = best_id;
    syms.erase(syms.begin() + static_cast<std::ptrdiff_t>(best_at) + 1);
  }
  std::vector<uint32_t> out;
  for (const Symbol& s : syms) out.push_back(s.id);
  return out;
}

}  // namespace vorpel::vocab
