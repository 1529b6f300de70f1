// Byte-level constraint on tool calls: a tracker follows the JSON the model
// writes and, while a tool name or an argument key is being typed, masks every
// token whose bytes would leave the allowed spellings.
#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

#include "vorpel/constrained/tool_parse.hpp"

namespace vorpel::constrained {

inline constexpr float kMasked = -1e9f;

// Byte trie over a set of spellings; node 0 is the root. Children are kept
// sorted by byte (tries here are small: a few hundred nodes at most).
class ByteTrie {
 public:
  static constexpr uint32_t kNone = UINT32_MAX;

  ByteTrie();
  void insert(std::string_view s);  // the empty string marks the root terminal
  uint32_t child(uint32_t node, uint8_t byte) const;  // kNone when absent
  bool terminal(uint32_t node) const { return nodes_[node].terminal; }
  std::span<const std::pair<uint8_t, uint32_t>> children(uint32_t node) const { return nodes_[node].children; }
  size_t node_count() const { return nodes_.size(); }

 private:
  struct Node {
    std::vector<std::pair<uint8_t, uint32_t>> children;  // sorted by byte
    bool terminal = false;
  };
  std::vector<Node> nodes_;
};

// The bytes each token id adds to the output, with token ids grouped by first
// byte so a bias only visits tokens that can continue the current trie node.
// Built once per engine; immutable and shared by every constraint of it.
class TokenBytesIndex {
 public:
  explicit TokenBytesIndex(std::vector<std::string> bytes_by_id);
  // Table length = highest listed id + 1; unlisted ids have empty bytes; a
  // repeated id keeps its last bytes.
  static TokenBytesIndex from_pairs(std::span<const std::pair<uint32_t, std::string>> pairs);

  size_t size() const { return bytes_.size(); }
  std::string_view bytes(uint32_t id) const { return bytes_[id]; }
  // Ids whose bytes start with `first`, ascending.
  std::span<const uint32_t> starting_with(uint8_t first) const {
    return {bucket_ids_.data() + bucket_start_[first], bucket_start_[first + 1] - bucket_start_[first]};
  }
  std::span<const uint32_t> empty_ids() const { return empty_ids_; }

 private:
  std::vector<std::string> bytes_;
  std::array<uint32_t, 257> bucket_start_{};
  std::vector<uint32_t> bucket_ids_;
  std::vector<uint32_t> empty_ids_;
};

enum class CaptureMode : uint8_t { None = 0, Name = 1, Key = 2 };

// Per-call constraint state. Not thread-safe (bias() caches per capture
// position); owned by one generation call.
class ToolConstraint {
 public:
  ToolConstraint(const std::vector<ToolRecord>& tools, std::shared_ptr<const TokenBytesIndex> index);

  // When on, a key capture offers only the keys of the last named tool not yet
  // used in this call (all of them again once every key has been used).
  void set_used_key_filter(bool on);

  // Writes out.size() values (the vocabulary size n), each 0.0f or kMasked.
  // All zeros outside a capture, when the capture left the trie, or when no
  // token would be allowed. Ids at or beyond the table but below n are masked
  // while restricting.
  void bias(std::span<float> out) const;
  // Convenience: a fresh vector of n values.
  std::vector<float> bias(size_t n) const;
  // True when bias() over the table's size would not be all zeros.
  bool restricting() const;

  // Feeds the token's bytes to the tracker; ids beyond the table are ignored.
  void feed(uint32_t token_id);
  void feed_bytes(std::string_view bytes);

  // Introspection.
  CaptureMode mode() const { return mode_; }
  std::string_view capture() const { return buffer_; }
  const std::string& last_tool_name() const { return last_tool_name_; }
  const std::vector<std::string>& used_keys() const { return used_keys_; }
  uint64_t depth() const { return depth_; }
  bool in_arguments() const { return in_arguments_; }
  bool in_string() const { return in_string_; }
  std::string_view tail() const { return {tail_.data(), tail_len_}; }
  const TokenBytesIndex& index() const { return *index_; }

 private:
  static constexpr size_t kTail = 13;
  enum class Active : uint8_t { None, Name, Key, Temp };

  void feed_byte(uint8_t c);
  void push_tail(uint8_t c);
  bool tail_ends_with(std::string_view s) const;
  void start_capture(CaptureMode m);
  void resolve_trie();  // picks the trie for the current capture and walks the buffer
  const ByteTrie* active_trie() const;
  const std::vector<uint32_t>& allowed() const;  // cached for the current node

  std::shared_ptr<const TokenBytesIndex> index_;
  ByteTrie name_trie_;
  std::vector<ByteTrie> key_tries_;  // one per distinct normalised name
  std::vector<std::vector<std::string>> key_lists_;
  std::unordered_map<std::string, size_t> tool_slot_;  // normalised name -> slot
  bool used_key_filter_ = false;

  // Tracker.
  CaptureMode mode_ = CaptureMode::None;
  std::string buffer_;
  std::string last_tool_name_;
  std::vector<std::string> used_keys_;
  std::array<char, kTail> tail_{};
  size_t tail_len_ = 0;
  uint64_t depth_ = 0;
  bool in_arguments_ = false;
  uint64_t arguments_depth_ = 0;
  bool in_string_ = false;
  bool escape_pending_ = false;

  // Current capture: which trie, and the node the buffer reached (kNone = off the trie).
  Active active_ = Active::None;
  size_t active_slot_ = 0;
  ByteTrie temp_trie_;
  uint32_t node_ = ByteTrie::kNone;

  mutable bool allowed_valid_ = false;
  mutable std::vector<uint32_t> allowed_;
};

// The constraint for one call's tools JSON, or nullopt when the text yields
// no tool (generation then runs unconstrained).
std::optional<ToolConstraint> make_tool_constraint(std::string_view tools_json,
                                                   std::shared_ptr<const TokenBytesIndex> index);

}  // namespace vorpel::constrained
