// Tracker, tries and the logit mask of constrained tool-call decoding.
#include "vorpel/constrained/tool_constraint.hpp"

#include <algorithm>

#include "vorpel/chat/unicode.hpp"
#include "vorpel/core/panic.hpp"

namespace vorpel::constrained {

// ---- ByteTrie ----

ByteTrie::ByteTrie() : nodes_(1) {}

void ByteTrie::insert(std::string_view s) {
  uint32_t node = 0;
  for (char ch : s) {
    const auto b = static_cast<uint8_t>(ch);
    auto& kids = nodes_[node].children;
    auto it = std::lower_bound(kids.begin(), kids.end(), b,
                               [](const std::pair<uint8_t, uint32_t>& e, uint8_t v) { return e.first < v; });
    if (it != kids.end() && it->first == b) {
      node = it->second;
      continue;
    }
    const auto next = static_cast<uint32_t>(nodes_.size());
    kids.insert(it, {b, next});
    nodes_.emplace_back();  // invalidates `kids`; not used after this
    node = next;
  }
  nodes_[node].terminal = true;
}

uint32_t ByteTrie::child(uint32_t node, uint8_t byte) const {
  // Few children per node: a linear scan beats a binary search here.
  for (const auto& [b, n] : nodes_[node].children) {
    if (b == byte) return n;
    if (b > byte) break;
  }
  return kNone;
}

// ---- TokenBytesIndex ----

TokenBytesIndex::TokenBytesIndex(std::vector<std::string> bytes_by_id) : bytes_(std::move(bytes_by_id)) {
  VORPEL_CHECK(bytes_.size() < UINT32_MAX, "token byte table too large");
  std::array<uint32_t, 256> counts{};
  for (const auto& b : bytes_) {
    if (!b.empty()) ++counts[static_cast<uint8_t>(b[0])];
  }
  uint32_t sum = 0;
  for (size_t i = 0; i < 256; ++i) {
    bucket_start_[i] = sum;
    sum += counts[i];
  }
  bucket_start_[256] = sum;
  bucket_ids_.resize(sum);
  std::array<uint32_t, 256> fill{};
  for (size_t i = 0; i < 256; ++i) fill[i] = bucket_start_[i];
  for (uint32_t id = 0; id < bytes_.size(); ++id) {
    if (bytes_[id].empty()) {
      empty_ids_.push_back(id);
    } else {
      bucket_ids_[fill[static_cast<uint8_t>(bytes_[id][0])]++] = id;
    }
  }
}

TokenBytesIndex TokenBytesIndex::from_pairs(std::span<const std::pair<uint32_t, std::string>> pairs) {
  uint64_t len = 0;
  for (const auto& p : pairs) len = std::max<uint64_t>(len, uint64_t{p.first} + 1);
  // The table is dense over ids, so a stray huge id would allocate for every
  // id below it; real vocabularies are nowhere near this bound.
  VORPEL_CHECK(len <= (uint64_t{1} << 26), "token id too large for the token byte table");
  std::vector<std::string> bytes(len);
  for (const auto& [id, b] : pairs) bytes[id] = b;
  return TokenBytesIndex(std::move(bytes));
}

// ---- ToolConstraint ----

ToolConstraint::ToolConstraint(const std::vector<ToolRecord>& tools, std::shared_ptr<const TokenBytesIndex> index)
    : index_(std::move(index)) {
  VORPEL_CHECK(index_ != nullptr, "tool constraint needs a token byte table");
  for (const auto& t : tools) {
    name_trie_.insert(t.normalized);
    ByteTrie keys;
    for (const auto& k : t.keys) keys.insert(k);
    auto [it, fresh] = tool_slot_.try_emplace(t.normalized, key_tries_.size());
    if (fresh) {
      key_tries_.push_back(std::move(keys));
      key_lists_.push_back(t.keys);
    } else {  // a later tool with the same normalised name replaces the earlier one
      key_tries_[it->second] = std::move(keys);
      key_lists_[it->second] = t.keys;
    }
  }
}

void ToolConstraint::set_used_key_filter(bool on) {
  used_key_filter_ = on;
  if (mode_ == CaptureMode::Key) resolve_trie();
}

void ToolConstraint::feed(uint32_t token_id) {
  if (token_id >= index_->size()) return;
  feed_bytes(index_->bytes(token_id));
}

void ToolConstraint::feed_bytes(std::string_view bytes) {
  for (char c : bytes) feed_byte(static_cast<uint8_t>(c));
}

void ToolConstraint::push_tail(uint8_t c) {
  if (tail_len_ == kTail) {
    std::copy(tail_.begin() + 1, tail_.end(), tail_.begin());
    --tail_len_;
  }
  tail_[tail_len_++] = static_cast<char>(c);
}

bool ToolConstraint::tail_ends_with(std::string_view s) const { return tail().ends_with(s); }

void ToolConstraint::start_capture(CaptureMode m) {
  mode_ = m;
  buffer_.clear();
  if (m == CaptureMode::Name) used_keys_.clear();
  resolve_trie();
}

void ToolConstraint::feed_byte(uint8_t c) {
  if (mode_ != CaptureMode::None) {
    if (c == '"') {
      if (mode_ == CaptureMode::Name) {
        last_tool_name_ = chat::utf8_lossy(buffer_);
      } else if (!buffer_.empty() &&
                 std::find(used_keys_.begin(), used_keys_.end(), buffer_) == used_keys_.end()) {
        used_keys_.push_back(buffer_);
      }
      mode_ = CaptureMode::None;
      buffer_.clear();
      active_ = Active::None;
      node_ = ByteTrie::kNone;
    } else {
      buffer_ += static_cast<char>(c);
      if (node_ != ByteTrie::kNone) node_ = active_trie()->child(node_, c);
    }
    allowed_valid_ = false;
    return;
  }

  push_tail(c);

  if (in_string_) {
    if (escape_pending_) {
      escape_pending_ = false;
    } else if (c == '"') {
      in_string_ = false;
    } else if (c == '\\') {
      escape_pending_ = true;
    }
    return;
  }

  if (c == ']') {
    if (depth_ > 0) --depth_;
    return;
  }
  if (c == '}') {
    if (depth_ > 0) --depth_;
    if (in_arguments_ && depth_ < arguments_depth_) in_arguments_ = false;
    return;
  }
  if (c == '{' || c == '[') ++depth_;

  const auto before = [&] { return static_cast<uint8_t>(tail_[tail_len_ - 2]); };
  if (tail_len_ >= 8) {
    if (!in_arguments_ && tail_ends_with("\"name\":\"")) {
      start_capture(CaptureMode::Name);
      return;
    }
    if (tail_ends_with("\"arguments\":{")) {
      in_arguments_ = true;
      arguments_depth_ = depth_;
      return;
    }
    if (in_arguments_ && depth_ == arguments_depth_ && c == '"' && (before() == '{' || before() == ',')) {
      start_capture(CaptureMode::Key);
      return;
    }
  }
  if (c == '"' && tail_len_ >= 2 && before() == ':') in_string_ = true;
}

void ToolConstraint::resolve_trie() {
  allowed_valid_ = false;
  active_ = Active::None;
  node_ = ByteTrie::kNone;
  if (mode_ == CaptureMode::Name) {
    active_ = Active::Name;
  } else if (mode_ == CaptureMode::Key) {
    const auto it = tool_slot_.find(last_tool_name_);
    if (it != tool_slot_.end()) {
      active_slot_ = it->second;
      active_ = Active::Key;
      if (used_key_filter_) {
        // Only unused keys; when none is left, every key is offered again.
        ByteTrie unused;
        bool any = false;
        for (const auto& k : key_lists_[active_slot_]) {
          if (std::find(used_keys_.begin(), used_keys_.end(), k) != used_keys_.end()) continue;
          unused.insert(k);
          any = true;
        }
        if (any) {
          temp_trie_ = std::move(unused);
          active_ = Active::Temp;
        }
      }
    }
  }
  if (active_ == Active::None) return;
  const ByteTrie* trie = active_trie();
  node_ = 0;
  for (char ch : buffer_) {
    node_ = trie->child(node_, static_cast<uint8_t>(ch));
    if (node_ == ByteTrie::kNone) break;
  }
}

const ByteTrie* ToolConstraint::active_trie() const {
  switch (active_) {
    case Active::Name: return &name_trie_;
    case Active::Key: return &key_tries_[active_slot_];
    case Active::Temp: return &temp_trie_;
    case Active::None: break;
  }
  return nullptr;
}

const std::vector<uint32_t>& ToolConstraint::allowed() const {
  if (allowed_valid_) return allowed_;
  allowed_.clear();
  allowed_valid_ = true;
  if (node_ == ByteTrie::kNone) return allowed_;
  const ByteTrie& trie = *active_trie();
  const TokenBytesIndex& idx = *index_;

  // A token can only pass if its first byte is a child of the node, or a
  // quote at a terminal node; empty tokens always pass.
  auto walk = [&](std::string_view b) {
    uint32_t n = node_;
    for (char ch : b) {
      const auto byte = static_cast<uint8_t>(ch);
      if (byte == '"' && trie.terminal(n)) return true;  // the rest is not examined
      n = trie.child(n, byte);
      if (n == ByteTrie::kNone) return false;
    }
    return true;
  };
  const auto empties = idx.empty_ids();
  allowed_.insert(allowed_.end(), empties.begin(), empties.end());
  bool quote_visited = false;
  for (const auto& [b, child] : trie.children(node_)) {
    if (b == '"') quote_visited = true;
    for (uint32_t id : idx.starting_with(b)) {
      if (walk(idx.bytes(id))) allowed_.push_back(id);
    }
  }
  if (trie.terminal(node_) && !quote_visited) {
    const auto q = idx.starting_with('"');
    allowed_.insert(allowed_.end(), q.begin(), q.end());
  }
  return allowed_;
}

void ToolConstraint::bias(std::span<float> out) const {
  const size_t n = out.size();
  bool any = false;
  if (mode_ != CaptureMode::None && node_ != ByteTrie::kNone) {
    for (uint32_t id : allowed()) any |= id < n;
  }
  if (!any) {  // outside a capture, off the trie, or giving way rather than blocking
    std::fill(out.begin(), out.end(), 0.0f);
    return;
  }
  std::fill(out.begin(), out.end(), kMasked);
  for (uint32_t id : allowed_) {
    if (id < n) out[id] = 0.0f;
  }
}

std::vector<float> ToolConstraint::bias(size_t n) const {
  std::vector<float> out(n);
  bias(out);
  return out;
}

bool ToolConstraint::restricting() const {
  if (mode_ == CaptureMode::None || node_ == ByteTrie::kNone) return false;
  const size_t allowed_count = allowed().size();  // distinct ids, all below the table size
  return allowed_count > 0 && allowed_count < index_->size();
}

std::optional<ToolConstraint> make_tool_constraint(std::string_view tools_json,
                                                   std::shared_ptr<const TokenBytesIndex> index) {
  const auto tools = parse_tools(tools_json);
  if (tools.empty()) return std::nullopt;
  return ToolConstraint(tools, std::move(index));
}

}  // namespace vorpel::constrained
