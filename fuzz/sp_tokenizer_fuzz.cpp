// Tokenizer blobs and text: a 4-byte little-endian blob length, the blob, then
// text. A blob that parses encodes the text both ways (they must agree), and
// decodes the ids and the raw text bytes read as ids.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string_view>
#include <vector>

#include "vorpel/sp_tokenizer/sp_tokenizer.hpp"

using vorpel::sp::Tokenizer;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 4) return 0;
  uint32_t n;
  std::memcpy(&n, data, 4);
  n = static_cast<uint32_t>(std::min<size_t>(n, size - 4));
  std::span<const uint8_t> blob(data + 4, n);
  std::string_view text(reinterpret_cast<const char*>(data + 4 + n), size - 4 - n);

  auto tok = Tokenizer::parse(blob);
  if (!tok) return 0;
  volatile size_t sink = 0;
  for (uint32_t id = 0; id < tok->piece_count(); ++id) {
    sink += tok->piece_text(id).size() + tok->piece_kind(id);
    sink += static_cast<size_t>(tok->piece_score(id) > 0);
    auto back = tok->piece_id(tok->piece_text(id));
    if (!back) std::abort();  // every piece text must be found again
  }
  sink += tok->piece_bytes().size();

  std::vector<uint32_t> ids = tok->encode(text);
  if (text.size() <= 512) {
    std::vector<uint32_t> ref = tok->encode_reference(text);
    if (ref != ids) {
      std::fprintf(stderr, "encode and encode_reference disagree\n");
      std::abort();
    }
  }
  for (uint32_t id : ids)
    if (id >= tok->piece_count()) std::abort();
  sink += tok->decode(ids).size();

  std::vector<uint32_t> raw((text.size() + 1) / 2);
  for (size_t i = 0; i < raw.size(); ++i) {
    uint32_t v = static_cast<uint8_t>(text[2 * i]);
    if (2 * i + 1 < text.size()) v |= uint32_t{static_cast<uint8_t>(text[2 * i + 1])} << 8;
    raw[i] = v;
  }
  sink += tok->decode(raw).size();
  return 0;
}
