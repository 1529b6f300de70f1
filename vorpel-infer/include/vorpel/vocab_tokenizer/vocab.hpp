// The first generation's vocabulary: a text file with one piece per line
// (optionally "piece<TAB>score"), encoding by score-ordered pair merging when
// any line carries a score and by greedy longest match otherwise, with byte
// fallback, and decoding back to text.
#pragma once

#include <cstdint>
#include <expected>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace vorpel::vocab {

// Used when the byte-fallback piece ("<0xNN>") a byte needs is missing.
inline constexpr uint32_t kFallbackId = 3;

class Vocab {
 public:
  // Any text is accepted. Lines end at "\n" or "\r\n"; a line's id is its
  // zero-based number; text after the last line end adds no entry.
  static Vocab load(std::string_view text);
  // The whole file; OS errors as "{strerror} (os error N)", content that is
  // not UTF-8 as "stream did not contain valid UTF-8".
  static std::expected<Vocab, std::string> load_file(const std::string& path);

  // White space trimmed, runs of it turned into one U+2581, a leading U+2581
  // added; then merging (has_scores()) or greedy longest match.
  std::vector<uint32_t> encode(std::string_view text) const;
  // Same ids as encode(), by the literal algorithms: a rescan of every adjacent
  // pair after each merge (cubic), or every character-aligned candidate end
  // from the longest piece length down. Kept as the definition the fast paths
  // are tested against.
  std::vector<uint32_t> encode_reference(std::string_view text) const;
  // Pieces of the ids in range, U+2581 as a space, leading white space removed.
  std::string decode(std::span<const uint32_t> ids) const;

  // The piece with U+2581 as a space; "" for an id outside the vocabulary.
  std::string piece_text(uint32_t id) const;
  // For a piece held by several lines, the last line's id.
  std::optional<uint32_t> lookup(std::string_view piece) const;
  uint32_t size() const { return static_cast<uint32_t>(pieces_.size()); }
  // Precondition: id < size() (violations throw vorpel::Panic).
  std::string_view piece(uint32_t id) const;
  // Precondition: id < size(). 0.0 for lines without a score.
  float score(uint32_t id) const;
  bool has_scores() const { return !scores_.empty(); }

 private:
  struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view s) const { return std::hash<std::string_view>{}(s); }
  };

  Vocab() = default;
  std::string normalize(std::string_view text) const;
  uint32_t byte_fallback_id(uint8_t byte) const;
  // The score of a piece that may be merged: nullopt for a text that is not a
  // piece, or whose score is -inf or NaN (never chosen by "strictly greater").
  std::optional<float> merge_score(std::string_view text, uint32_t& id) const;
  struct Symbol;
  std::vector<Symbol> initial_symbols(std::string_view norm) const;
  std::vector<uint32_t> encode_merge(std::string_view norm) const;
  std::vector<uint32_t> encode_greedy(std::string_view norm) const;

  std::vector<std::string> pieces_;  // (size) by id, duplicates kept
  std::unordered_map<std::string, uint32_t, StringHash, std::equal_to<>> ids_;
  std::vector<float> scores_;  // (size), or empty when no line holds a tab
  size_t max_piece_len_ = 0;   // bytes
  // Distinct non-zero piece lengths in bytes, longest first: greedy matching
  // only looks up candidates of these lengths.
  std::vector<size_t> lengths_desc_;
};

}  // namespace vorpel::vocab
