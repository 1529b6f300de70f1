// Tools JSON scanning, name normalisation, the constraint tracker fed
// arbitrary bytes, prompt compaction and the completion extractions. The
// input is split at the first 0xff byte: tools JSON before, model output after.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "vorpel/chat/extract.hpp"
#include "vorpel/chat/prompt.hpp"
#include "vorpel/constrained/tool_constraint.hpp"
#include "vorpel/constrained/tool_parse.hpp"

using namespace vorpel;

namespace {

// A small vocabulary of JSON-ish fragments, single bytes and the empty token.
std::shared_ptr<const constrained::TokenBytesIndex> make_index() {
  std::vector<std::string> bytes;
  for (int c = 0; c < 256; ++c) bytes.emplace_back(1, static_cast<char>(c));
  for (const char* s : {"", "{\"", "\":", "\"name\"", "\"arguments\"", ": {\"", "\",", "get", "_weather",
                        "city", "\"}", "}}", "\\\"", "\xe2\x96\x81", "na", "me"})
    bytes.emplace_back(s);
  return std::make_shared<const constrained::TokenBytesIndex>(std::move(bytes));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  static const auto index = make_index();
  std::string_view all(reinterpret_cast<const char*>(data), size);
  const size_t cut = all.find('\xff');
  std::string_view tools = all.substr(0, cut);
  std::string_view output = cut == std::string_view::npos ? std::string_view{} : all.substr(cut + 1);

  volatile size_t sink = 0;
  for (const auto& rec : constrained::parse_tools(tools)) {
    if (rec.normalized != constrained::normalize_name(rec.name)) std::abort();
    sink += rec.keys.size();
  }
  sink += constrained::normalize_name(tools).size();
  sink += constrained::normalize_name(output).size();

  auto c = constrained::make_tool_constraint(tools, index);
  if (c) {
    c->set_used_key_filter(!output.empty() && (output[0] & 1));
    std::vector<float> bias(index->size() + 3);
    for (size_t i = 0; i < output.size(); ++i) {
      const uint8_t b = static_cast<uint8_t>(output[i]);
      if (b >= 0xf0) c->feed(static_cast<uint32_t>(256 + (b - 0xf0) * 3));  // some ids past the table
      else if (b >= 0xe0) c->feed(256 + (b & 0x0f));
      else c->feed_bytes(output.substr(i, 1));
      if (i % 7 == 0) {
        c->bias(bias);
        // Each value is 0 or the mask; restricting() tells whether any id of
        // the table is masked, and a restricting bias leaves some id allowed.
        bool masked = false, allowed = false;
        for (size_t id = 0; id < bias.size(); ++id) {
          if (bias[id] != 0.0f && bias[id] != constrained::kMasked) std::abort();
          if (id < index->size()) (bias[id] == 0.0f ? allowed : masked) = true;
        }
        if (masked != c->restricting() || !allowed) std::abort();
        for (size_t id = index->size(); id < bias.size(); ++id)
          if ((bias[id] == constrained::kMasked) != masked) std::abort();
      }
    }
    c->bias(bias);
    sink += c->capture().size() + c->depth();
  }

  sink += chat::compact_tools(tools).size();
  sink += chat::build_prompt(output, tools, output).size();
  for (auto s : {chat::extract_tool_call(output), chat::extract_thinking(output),
                 chat::extract_tool_call_trimmed(output), chat::extract_reasoning_trimmed(output)})
    if (s) sink += s->size();
  sink += chat::trim_unicode_whitespace(output).size();
  sink += chat::extract_between(output, tools.substr(0, 4), tools.substr(std::min<size_t>(4, tools.size()), 3))
              .value_or("")
              .size();
  return 0;
}
