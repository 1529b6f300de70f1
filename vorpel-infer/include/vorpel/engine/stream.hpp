// Streaming text: what each newly kept token adds to the decoded output,
// defined on full decodes so that tokens which rewrite earlier bytes (byte
// pieces completing a multi-byte character) are handled exactly. The second
// generation reports a delta per token; the third delivers only text that can
// no longer change, so its pieces concatenate to the final text.
#pragma once

#include <string>
#include <string_view>

#include "vorpel/sp_tokenizer/sp_tokenizer.hpp"

namespace vorpel::engine {

// Delta between the decode of the first n-1 ids (prev) and of the first n ids
// (cur): the bytes of cur after prev when prev is a byte prefix of cur
// (possibly empty), otherwise all of cur. For n = 1, pass an empty prev.
std::string_view stream_delta(std::string_view prev, std::string_view cur);

// Keeps the previous full decode between tokens. `next` takes D(n) and
// returns the delta; the view stays valid until the following call.
class StreamDelta {
 public:
  std::string_view next(std::string decoded);
  const std::string& text() const { return cur_; }

 private:
  std::string prev_, cur_;
};

// The same deltas computed incrementally, for a piece tokenizer: each id's
// raw bytes go through a UTF-8 decoder that commits finished characters and
// holds back an unfinished one (shown as U+FFFD, as the full decode shows
// it). Each push costs the new bytes only, except when held-back bytes turn
// out differently than shown, where the rule asks for the whole text.
class StreamDecoder {
 public:
  explicit StreamDecoder(const sp::Tokenizer& tok) : tok_(tok) {}

  // Appends one id; returns D(n) against D(n-1). Valid until the next push.
  std::string_view push(uint32_t id);
  // D(n): equal to the tokenizer's decode of every id pushed so far.
  std::string text() const;
  // The finished characters of D(n): a prefix of every later D(m), since
  // only a held-back unfinished character can still change.
  const std::string& committed() const { return committed_; }

 private:
  void commit_char(std::string_view ch);
  void feed(std::string_view raw);

  const sp::Tokenizer& tok_;
  std::string committed_;  // text of every finished character
  std::string pending_;    // raw bytes of an unfinished character (at most 3)
  bool at_start_ = true;   // no character committed yet (leading-space rule)
  std::string delta_;
};

// Delivers the decode of a growing token list as it becomes final: after each
// token, the finished characters past what was already delivered; an
// unfinished UTF-8 sequence at the end is held back until later bytes settle
// it. finish() delivers the rest, so the pieces concatenate to the decode of
// the whole list exactly and never split a character.
class TailStream {
 public:
  explicit TailStream(const sp::Tokenizer& tok) : dec_(tok) {}

  // The new piece after appending id (empty when nothing settled).
  std::string_view push(uint32_t id);
  // Whatever was held back at the end.
  std::string_view finish();

 private:
  StreamDecoder dec_;
  size_t delivered_ = 0;
  std::string tail_;
};

}  // namespace vorpel::engine
