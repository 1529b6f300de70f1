// Piece tokenizer: blob parser, encoder (user-defined pieces, then pair
// merging per segment) and decoder.
#include "vorpel/sp_tokenizer/sp_tokenizer.hpp"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "vorpel/core/le_bytes.hpp"
#include "vorpel/core/panic.hpp"
#include "vorpel/text/utf8.hpp"
#include "vorpel/text/word_marker.hpp"

namespace vorpel::sp {

namespace {

constexpr size_t kHeaderBytes = 24;
constexpr size_t kRecordBytes = 7;  // score f32, kind u8, length u16
constexpr std::string_view kMarker = text::kWordMarker;

// Length of the scalar at s[i], taking an ill-formed byte as a scalar of one byte.
size_t scalar_len(std::string_view s, size_t i) {
  const text::Utf8Scan sc = text::scan_utf8(s, i);
  return sc.kind == text::Utf8::Complete ? sc.len : 1;
}

// splitmix64's finaliser.
uint64_t mix64(uint64_t x) {
  x *= 0xBF58476D1CE4E5B9ull;
  x ^= x >> 31;
  x *= 0x94D049BB133111EBull;
  return x ^ (x >> 29);
}

bool is_continuation(char c) { return (static_cast<uint8_t>(c) & 0xC0) == 0x80; }

int hex_digit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// "<0xNN>": the two characters at byte offsets 3..4 as a hexadecimal number
// ("+N" with one digit also reads as N); the rest of the text is not checked.
std::optional<uint8_t> parse_byte_piece(std::string_view t) {
  if (t.size() < 5 || is_continuation(t[3]) || (t.size() > 5 && is_continuation(t[5]))) return std::nullopt;
  if (t[3] == '+') {
    const int d = hex_digit(t[4]);
    if (d < 0) return std::nullopt;
    return static_cast<uint8_t>(d);
  }
  const int hi = hex_digit(t[3]), lo = hex_digit(t[4]);
  if (hi < 0 || lo < 0) return std::nullopt;
  return static_cast<uint8_t>(hi * 16 + lo);
}


std::unexpected<TokenizerError> truncated(size_t need, size_t got) {
  return std::unexpected(TokenizerError{TokenizerError::Kind::Truncated, need, got});
}

}  // namespace

std::string message(const TokenizerError& e) {
  using K = TokenizerError::Kind;
  switch (e.kind) {
    case K::Truncated:
      return "tokenizer blob truncated: need " + std::to_string(e.a) + " bytes, got " + std::to_string(e.b);
    case K::BadText: return "piece " + std::to_string(e.a) + " is not valid UTF-8";
    case K::NoPieces: return "tokenizer blob declares zero pieces";
    case K::SpecialOutOfRange:
      return std::string("header ") + e.label + "=" + std::to_string(e.a) + " is outside the " + std::to_string(e.b) +
             "-piece table";
    case K::BadBytePiece: return "byte piece " + std::to_string(e.a) + " is not of the form <0xNN>";
    case K::EmptyUserPiece: return "user-defined piece " + std::to_string(e.a) + " has empty text";
  }
  return "tokenizer blob is malformed";
}

std::expected<Tokenizer, TokenizerError> Tokenizer::parse(std::span<const uint8_t> blob) {
  const size_t n = blob.size();
  if (n < kHeaderBytes) return truncated(kHeaderBytes, n);
  const uint8_t* p = blob.data();
  const uint32_t count = load_u32(p);
  if (count == 0) return std::unexpected(TokenizerError{TokenizerError::Kind::NoPieces});

  Tokenizer t;
  t.pad_id_ = load_u32(p + 4);
  t.eos_id_ = load_u32(p + 8);
  t.bos_id_ = load_u32(p + 12);
  t.unk_id_ = load_u32(p + 16);
  t.add_dummy_prefix_ = p[20] != 0;
  t.byte_fallback_ = p[21] != 0;

  // Each record takes at least 7 bytes, so a count the blob cannot hold fails
  // below with the truncation message instead of reserving for it.
  const size_t room = std::min<size_t>(count, (n - kHeaderBytes) / kRecordBytes);
  t.texts_.reserve(room);
  t.scores_.reserve(room);
  t.kinds_.reserve(room);

  size_t c = kHeaderBytes;
  for (uint32_t id = 0; id < count; ++id) {
    if (n < c + kRecordBytes) return truncated(c + kRecordBytes, n);
    const float score = load_f32(p + c);
    const uint8_t kind = p[c + 4];
    const size_t len = load_u16(p + c + 5);
    if (n < c + kRecordBytes + len) return truncated(c + kRecordBytes + len, n);
    std::string_view text(reinterpret_cast<const char*>(p + c + kRecordBytes), len);
    if (!text::is_valid_utf8(text)) return std::unexpected(TokenizerError{TokenizerError::Kind::BadText, id});
    t.texts_.emplace_back(text);
    t.scores_.push_back(score);
    t.kinds_.push_back(kind);
    if (std::isnan(score)) t.any_nan_score_ = true;
    c += kRecordBytes + len;
  }

  const std::pair<const char*, uint32_t> specials[] = {
      {"pad", t.pad_id_}, {"eos", t.eos_id_}, {"bos", t.bos_id_}, {"unk", t.unk_id_}};
  for (const auto& [label, id] : specials) {
    if (id >= count) {
      return std::unexpected(TokenizerError{TokenizerError::Kind::SpecialOutOfRange, id, count, label});
    }
  }

  // At most half full, so probe runs stay short; a later id with the same text replaces the earlier.
  size_t cap = 16;
  while (cap < 2 * static_cast<size_t>(count)) cap *= 2;
  t.slots_.assign(cap, Slot{});
  t.slot_mask_ = cap - 1;
  for (uint32_t id = 0; id < count; ++id) {
    const uint64_t h = hash_text(t.texts_[id]);
    for (uint64_t i = h & t.slot_mask_;; i = (i + 1) & t.slot_mask_) {
      Slot& slot = t.slots_[i];
      if (slot.id == kEmpty || (slot.hash == h && t.texts_[slot.id] == t.texts_[id])) {
        slot = Slot{h, id};
        break;
      }
    }
  }

  for (uint32_t id = 0; id < count; ++id) {
    if (t.kinds_[id] != kKindByte) continue;
    const auto b = parse_byte_piece(t.texts_[id]);
    if (!b) return std::unexpected(TokenizerError{TokenizerError::Kind::BadBytePiece, id});
    t.byte_ids_[*b] = id;
  }

  for (uint32_t id = 0; id < count; ++id) {
    if (t.kinds_[id] != kKindUserDefined) continue;
    // An empty piece would match everywhere without advancing the scan.
    if (t.texts_[id].empty()) return std::unexpected(TokenizerError{TokenizerError::Kind::EmptyUserPiece, id});
    t.user_pieces_.emplace_back(t.texts_[id], id);
  }
  std::stable_sort(t.user_pieces_.begin(), t.user_pieces_.end(),
                   [](const auto& a, const auto& b) { return a.first.size() > b.first.size(); });
  for (uint32_t i = 0; i < t.user_pieces_.size(); ++i) {
    t.user_by_first_byte_[static_cast<uint8_t>(t.user_pieces_[i].first[0])].push_back(i);
  }

  t.single_byte_ids_.fill(kEmpty);
  for (uint32_t b = 0; b < 256; ++b) {
    const char c = static_cast<char>(b);
    if (const auto id = t.lookup(std::string_view(&c, 1))) t.single_byte_ids_[b] = *id;
  }

  t.words_independent_ = true;
  for (const auto& text : t.texts_) {
    for (size_t k = text.find(kMarker, 1); k != std::string::npos; k = text.find(kMarker, k + 1)) {
      if (k < kMarker.size() || text.compare(k - kMarker.size(), kMarker.size(), kMarker) != 0) {
        t.words_independent_ = false;
      }
    }
  }

  t.piece_bytes_.reserve(count);
  for (uint32_t id = 0; id < count; ++id) {
    const uint8_t kind = t.kinds_[id];
    if (kind == kKindControl || kind == kKindUnknown) {
      t.piece_bytes_.emplace_back();
    } else if (kind == kKindByte) {
      const auto b = parse_byte_piece(t.texts_[id]);
      t.piece_bytes_.emplace_back(b ? std::string(1, static_cast<char>(*b)) : std::string());
    } else {
      t.piece_bytes_.push_back(text::marker_to_space(t.texts_[id]));
    }
  }
  return t;
}

// Eight bytes at a time through a multiply-xorshift mix; the tail (and any
// text under 8 bytes, the common case) is read with overlapping loads rather
// than a byte loop.
uint64_t Tokenizer::hash_text(std::string_view s) {
  const auto* p = reinterpret_cast<const uint8_t*>(s.data());
  size_t n = s.size();
  uint64_t h = 0x9E3779B97F4A7C15ull ^ n;
  for (; n > 8; n -= 8, p += 8) h = mix64(h ^ load_u64(p));
  uint64_t w;
  if (n >= 4) {
    w = static_cast<uint64_t>(load_u32(p)) | static_cast<uint64_t>(load_u32(p + n - 4)) << 32;
  } else if (n > 0) {
    w = static_cast<uint64_t>(p[0]) | static_cast<uint64_t>(p[n / 2]) << 8 | static_cast<uint64_t>(p[n - 1]) << 16;
  } else {
    w = 0;
  }
  return mix64(h ^ w);
}

std::optional<uint32_t> Tokenizer::lookup(std::string_view s) const {
  const uint64_t h = hash_text(s);
  for (uint64_t i = h & slot_mask_;; i = (i + 1) & slot_mask_) {
    const Slot& slot = slots_[i];
    if (slot.id == kEmpty) return std::nullopt;
    if (slot.hash == h && texts_[slot.id] == s) return slot.id;
  }
}

std::optional<uint32_t> Tokenizer::piece_id(std::string_view text) const { return lookup(text); }

std::string_view Tokenizer::piece_text(uint32_t id) const {
  VORPEL_CHECK(id < texts_.size(), "piece id out of range");
  return texts_[id];
}
float Tokenizer::piece_score(uint32_t id) const {
  VORPEL_CHECK(id < scores_.size(), "piece id out of range");
  return scores_[id];
}
uint8_t Tokenizer::piece_kind(uint32_t id) const {
  VORPEL_CHECK(id < kinds_.size(), "piece id out of range");
  return kinds_[id];
}

void Tokenizer::emit_symbol(std::string_view sym, std::vector<uint32_t>& out) const {
  if (const auto id = lookup(sym)) {
    out.push_back(*id);
  } else if (byte_fallback_) {
    for (const char ch : sym) {
      const auto& b = byte_ids_[static_cast<uint8_t>(ch)];
      out.push_back(b ? *b : unk_id_);
    }
  } else {
    out.push_back(unk_id_);
  }
}

// Definition of the merge: after every merge rescan all adjacent pairs, take
// the highest score, the leftmost pair on equal scores.
void Tokenizer::merge_segment_reference(std::string_view seg, std::vector<uint32_t>& out) const {
  std::vector<std::pair<size_t, size_t>> sym;  // byte ranges [first, second)
  for (size_t i = 0; i < seg.size();) {
    const size_t len = scalar_len(seg, i);
    sym.emplace_back(i, i + len);
    i += len;
  }
  while (sym.size() > 1) {
    size_t best = sym.size();
    float best_score = 0;
    for (size_t i = 0; i + 1 < sym.size(); ++i) {
      const auto id = lookup(seg.substr(sym[i].first, sym[i + 1].second - sym[i].first));
      if (!id) continue;
      if (best == sym.size() || scores_[*id] > best_score) {
        best = i;
        best_score = scores_[*id];
      }
    }
    if (best == sym.size()) break;
    sym[best].second = sym[best + 1].second;
    sym.erase(sym.begin() + static_cast<ptrdiff_t>(best) + 1);
  }
  for (const auto& [a, b] : sym) emit_symbol(seg.substr(a, b - a), out);
}

// The same merge in O(n log n): symbols form a linked list; every adjacent
// pair that is a piece sits in a max-heap keyed by (score, leftmost start).
// Merges leave stale entries behind, recognised on pop because the left
// symbol's extent or its neighbour has changed since the entry was pushed.
struct Tokenizer::Scratch {
  struct Sym {
    size_t start, end;  // byte range in the segment; end == start marks a merged-away symbol
    size_t prev, next;  // neighbours, kNone at the ends
    uint32_t id;        // piece with this text, or kEmpty
  };
  struct Cand {
    float score;
    uint32_t id;  // the merged piece
    size_t left_start, left_end, right_end;
    size_t left, right;
  };
  struct Lower {  // heap order: higher score first, then smaller start
    bool operator()(const Cand& a, const Cand& b) const {
      if (a.score < b.score) return true;
      if (b.score < a.score) return false;
      return a.left_start > b.left_start;
    }
  };
  static constexpr size_t kNone = SIZE_MAX;
  std::vector<Sym> syms;
  std::vector<Cand> heap;
};

void Tokenizer::merge_segment(std::string_view seg, Scratch& s, std::vector<uint32_t>& out) const {
  using Sym = Scratch::Sym;
  constexpr size_t kNone = Scratch::kNone;
  auto& syms = s.syms;
  auto& heap = s.heap;
  syms.clear();
  heap.clear();
  for (size_t i = 0; i < seg.size();) {
    const size_t len = scalar_len(seg, i);
    const uint32_t id = len == 1 ? single_byte_ids_[static_cast<uint8_t>(seg[i])]
                                 : lookup(seg.substr(i, len)).value_or(kEmpty);
    syms.push_back(Sym{i, i + len, syms.empty() ? kNone : syms.size() - 1, kNone, id});
    if (syms.size() > 1) syms[syms.size() - 2].next = syms.size() - 1;
    i += len;
  }
  if (syms.empty()) return;

  const auto push_pair = [&](size_t l, size_t r) {
    const Sym& a = syms[l];
    const Sym& b = syms[r];
    const uint32_t id = lookup(seg.substr(a.start, b.end - a.start)).value_or(kEmpty);
    if (id == kEmpty) return;
    heap.push_back({scores_[id], id, a.start, a.end, b.end, l, r});
    std::push_heap(heap.begin(), heap.end(), Scratch::Lower{});
  };
  for (size_t i = 0; i + 1 < syms.size(); ++i) push_pair(i, i + 1);

  while (!heap.empty()) {
    std::pop_heap(heap.begin(), heap.end(), Scratch::Lower{});
    const Scratch::Cand c = heap.back();
    heap.pop_back();
    Sym& l = syms[c.left];
    if (l.end != c.left_end || l.next != c.right || syms[c.right].end != c.right_end) continue;
    Sym& r = syms[c.right];
    l.end = r.end;
    l.id = c.id;
    l.next = r.next;
    if (r.next != kNone) syms[r.next].prev = c.left;
    r.end = r.start;
    if (l.prev != kNone) push_pair(l.prev, c.left);
    if (l.next != kNone) push_pair(c.left, l.next);
  }
  for (size_t i = 0; i != kNone; i = syms[i].next) {
    if (syms[i].id != kEmpty) {
      out.push_back(syms[i].id);
    } else {
      emit_symbol(seg.substr(syms[i].start, syms[i].end - syms[i].start), out);
    }
  }
}

std::vector<uint32_t> Tokenizer::encode_impl(std::string_view text, bool reference) const {
  std::vector<uint32_t> out;
  if (text.empty()) return out;
  std::string norm;
  norm.reserve(text.size() + kMarker.size());
  if (add_dummy_prefix_) norm += kMarker;
  for (const char ch : text) {
    if (ch == ' ') {
      norm += kMarker;
    } else {
      norm += ch;
    }
  }
  const std::string_view s = norm;
  out.reserve(s.size() / 3 + 4);

  Scratch scratch;
  const bool rescan = reference || any_nan_score_;
  const auto flush = [&](size_t from, size_t to) {
    if (from == to) return;
    if (rescan) {
      merge_segment_reference(s.substr(from, to - from), out);
      return;
    }
    if (words_independent_) {
      // Cut before every marker that follows a non-marker character.
      size_t word = from;
      for (size_t k = s.find(kMarker, from + 1); k < to; k = s.find(kMarker, k + 1)) {
        if (k - from >= kMarker.size() && s.compare(k - kMarker.size(), kMarker.size(), kMarker) == 0) continue;
        merge_segment(s.substr(word, k - word), scratch, out);
        word = k;
      }
      from = word;
    }
    merge_segment(s.substr(from, to - from), scratch, out);
  };

  size_t pending = 0;
  for (size_t i = 0; i < s.size();) {
    bool matched = false;
    for (const uint32_t k : user_by_first_byte_[static_cast<uint8_t>(s[i])]) {
      const auto& [ut, uid] = user_pieces_[k];
      if (s.size() - i >= ut.size() && std::memcmp(s.data() + i, ut.data(), ut.size()) == 0) {
        flush(pending, i);
        out.push_back(uid);
        i += ut.size();
        pending = i;
        matched = true;
        break;
      }
    }
    if (!matched) i += scalar_len(s, i);
  }
  flush(pending, s.size());
  return out;
}

std::vector<uint32_t> Tokenizer::encode(std::string_view text) const { return encode_impl(text, false); }

std::vector<uint32_t> Tokenizer::encode_reference(std::string_view text) const {
  return encode_impl(text, true);
}

std::string Tokenizer::decode(std::span<const uint32_t> ids) const {
  std::string raw;
  for (const uint32_t id : ids) {
    if (id >= texts_.size()) continue;
    const uint8_t kind = kinds_[id];
    if (kind == kKindControl || kind == kKindUnknown) continue;
    if (kind == kKindByte) {
      raw += piece_bytes_[id];  // the byte itself, or nothing for an unparsable text
    } else {
      raw += texts_[id];
    }
  }
  std::string text;
  text.reserve(raw.size());
  text::append_utf8_lossy(text, raw);
  std::string spaced = text::marker_to_space(text);
  if (add_dummy_prefix_ && !spaced.empty() && spaced[0] == ' ') spaced.erase(0, 1);
  return spaced;
}

}  // namespace vorpel::sp
