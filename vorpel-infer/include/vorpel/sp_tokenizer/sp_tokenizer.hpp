// The piece tokenizer carried inside second- and third-generation containers:
// blob parsing and validation, encoding by score-driven pair merging over
// Unicode scalars (user-defined pieces matched first), decoding, and the
// per-id byte table used by constrained decoding.
#pragma once

#include <array>
#include <cstdint>
#include <expected>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vorpel::sp {

// Piece kinds as stored in the blob; any other value behaves like kNormal.
inline constexpr uint8_t kKindNormal = 0;
inline constexpr uint8_t kKindControl = 1;
inline constexpr uint8_t kKindUnknown = 2;
inline constexpr uint8_t kKindUserDefined = 3;
inline constexpr uint8_t kKindByte = 4;

// Why a tokenizer blob was rejected; message() gives the exact text.
struct TokenizerError {
  enum class Kind : uint8_t {
    Truncated,         // a = bytes needed so far, b = blob length
    BadText,           // a = piece id
    NoPieces,          //
    SpecialOutOfRange, // label = pad/eos/bos/unk, a = id, b = piece count
    BadBytePiece,      // a = piece id
    EmptyUserPiece,    // a = piece id (it would match everywhere without advancing)
  };
  Kind kind;
  uint64_t a = 0, b = 0;
  const char* label = "";
};
std::string message(const TokenizerError& e);

class Tokenizer {
 public:
  // Validates the blob.
  static std::expected<Tokenizer, TokenizerError> parse(std::span<const uint8_t> blob);

  // Text to ids; adds no bos/eos. Never fails: invalid UTF-8 bytes are taken
  // as one-byte scalars.
  std::vector<uint32_t> encode(std::string_view text) const;
  // Same ids as encode(), by rescanning all adjacent pairs after every merge
  // (quadratic). Kept as the executable definition the fast path is tested against.
  std::vector<uint32_t> encode_reference(std::string_view text) const;

  // Ids to text: ids out of range and kinds 1, 2 are skipped, bytes of kind-4
  // pieces assembled, invalid UTF-8 replaced by U+FFFD, "\u2581" by a space,
  // and with add_dummy_prefix one leading space removed.
  std::string decode(std::span<const uint32_t> ids) const;

  // For every id in order, the bytes it adds to the output: empty for kinds
  // 1 and 2; the single byte for kind 4 (empty if its text does not parse);
  // otherwise the text with every "\u2581" replaced by a space. Never strips
  // a leading space. Computed once at parse.
  const std::vector<std::string>& piece_bytes() const { return piece_bytes_; }

  // Exact whole-piece lookup; when several pieces share a text the last id wins.
  std::optional<uint32_t> piece_id(std::string_view text) const;

  uint32_t piece_count() const { return static_cast<uint32_t>(texts_.size()); }
  uint32_t pad_id() const { return pad_id_; }
  uint32_t eos_id() const { return eos_id_; }
  uint32_t bos_id() const { return bos_id_; }
  uint32_t unk_id() const { return unk_id_; }
  bool add_dummy_prefix() const { return add_dummy_prefix_; }
  bool byte_fallback() const { return byte_fallback_; }

  // Preconditions: id < piece_count() (violations throw vorpel::Panic).
  std::string_view piece_text(uint32_t id) const;
  float piece_score(uint32_t id) const;
  uint8_t piece_kind(uint32_t id) const;

 private:
  // Open-addressing text -> id table (power-of-two size, linear probing); a
  // slot keeps the full hash so most probes never touch the piece text.
  struct Slot {
    uint64_t hash = 0;
    uint32_t id = kEmpty;
  };
  static constexpr uint32_t kEmpty = UINT32_MAX;
  static uint64_t hash_text(std::string_view s);

  struct Scratch;  // per-call merge buffers, reused across segments

  Tokenizer() = default;
  std::optional<uint32_t> lookup(std::string_view s) const;
  std::vector<uint32_t> encode_impl(std::string_view text, bool reference) const;
  void emit_symbol(std::string_view sym, std::vector<uint32_t>& out) const;
  void merge_segment(std::string_view seg, Scratch& scratch, std::vector<uint32_t>& out) const;
  void merge_segment_reference(std::string_view seg, std::vector<uint32_t>& out) const;

  std::vector<std::string> texts_;  // (piece_count)
  std::vector<float> scores_;       // (piece_count)
  std::vector<uint8_t> kinds_;      // (piece_count)
  std::vector<std::string> piece_bytes_;  // (piece_count)
  std::vector<Slot> slots_;
  uint64_t slot_mask_ = 0;
  std::array<uint32_t, 256> single_byte_ids_{};  // id of each one-byte text, or kEmpty
  // Kind-3 pieces as (text, id), longest first, equal lengths in id order.
  std::vector<std::pair<std::string, uint32_t>> user_pieces_;
  // For each first byte, indices into user_pieces_ in the same order.
  std::array<std::vector<uint32_t>, 256> user_by_first_byte_;
  std::array<std::optional<uint32_t>, 256> byte_ids_;
  uint32_t pad_id_ = 0, eos_id_ = 0, bos_id_ = 0, unk_id_ = 0;
  bool add_dummy_prefix_ = false, byte_fallback_ = false;
  // A NaN score makes "highest score, leftmost on ties" order-dependent; such
  // vocabularies merge by rescanning so they keep that exact behaviour.
  bool any_nan_score_ = false;
  // True when no piece holds a marker right after a non-marker character: then
  // no merge crosses the start of a word ("x|\u2581"), and each word can be
  // merged on its own, which keeps the heaps small.
  bool words_independent_ = false;
};

}  // namespace vorpel::sp
