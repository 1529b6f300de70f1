// Streaming text deltas: what each newly kept token adds to the decoded
// output, defined on full decodes so that tokens which rewrite earlier bytes
// (byte pieces completing a multi-byte character) are handled exactly.
#pragma once

#include <string>
#include <string_view>

namespace vorpel::v2 {

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

// Text form of an error message inside a stop reason: double quotes around
// it; quote, backslash and control characters escaped with a backslash.
std::string quote_message(std::string_view message);

}  // namespace vorpel::v2
