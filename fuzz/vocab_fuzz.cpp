// Vocabulary files and text: a 2-byte little-endian vocabulary length, the
// vocabulary text, then the text to encode (any bytes, as the C++ API allows).
// The heap merge must equal the literal rescan, ids stay in range, and white
// space added around the text changes nothing.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

#include "vorpel/vocab_tokenizer/vocab.hpp"

using vorpel::vocab::Vocab;

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "vocab_fuzz: %s\n", what);
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 2) return 0;
  const size_t n = std::min<size_t>(data[0] | (size_t{data[1]} << 8), size - 2);
  const std::string_view file(reinterpret_cast<const char*>(data + 2), n);
  // Encoding is cubic in the worst case by definition; keep the slice short.
  std::string_view text(reinterpret_cast<const char*>(data + 2 + n), size - 2 - n);
  text = text.substr(0, 1024);

  const Vocab v = Vocab::load(file);
  volatile size_t sink = 0;
  for (uint32_t id = 0; id < v.size(); ++id) {
    const auto back = v.lookup(v.piece(id));
    if (!back || *back < id || v.piece(*back) != v.piece(id)) fail("lookup does not find the last equal piece");
    sink = sink + v.piece_text(id).size() + static_cast<size_t>(v.score(id) > 0);
  }
  if (!v.piece_text(v.size()).empty()) fail("piece_text outside the vocabulary");

  const std::vector<uint32_t> ids = v.encode(text);
  for (uint32_t id : ids)
    if (id >= v.size() && id != vorpel::vocab::kFallbackId) fail("id out of range");
  if (text.size() <= 256 && v.encode_reference(text) != ids) fail("encode and encode_reference disagree");
  if (v.encode(" \t" + std::string(text) + "\xE3\x80\x80") != ids) fail("surrounding white space changed the ids");
  sink = sink + v.decode(ids).size();
  return 0;
}
