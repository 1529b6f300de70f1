// `vorpel logits`: runs token ids through a model (the generation told apart by
// the file) and prints the logits of the last position (or of every position)
// as JSON. A first-generation model encodes the ids and feeds the decoder the
// start token, then --decoder-tokens, printing the logits after each step.
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "command.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/engine/open.hpp"
#include "vorpel/io/read_file.hpp"
#include "vorpel/text/json_out.hpp"
#include "vorpel/v1/forward.hpp"
#include "vorpel/v1_engine/v1_engine.hpp"
#include "vorpel/v2/batch.hpp"
#include "vorpel/v2/bundle.hpp"
#include "vorpel/v2/forward.hpp"
#include "vorpel/v3/forward.hpp"
#include "vorpel/v3/loader.hpp"

namespace {

using vorpel::message;
using vorpel::cli::Args;

constexpr const char* kUsage =
    "logits FILE --tokens ID,ID,... [--mode step|prefill] [--all] [--depth N] [--kv-int8] "
    "[--vocab V --decoder-tokens ID,... --encoder]   (FILE.trov, or a first-generation FILE.safetensors with "
    "--vocab; --encoder prints its encoder's output rows instead)";

bool parse_tokens(const std::string& text, std::vector<uint32_t>& out) {
  if (text.empty()) return true;
  size_t start = 0;
  while (true) {
    const size_t comma = text.find(',', start);
    const size_t end = comma == std::string::npos ? text.size() : comma;
    uint32_t v = 0;
    const char* b = text.data() + start;
    const char* e = text.data() + end;
    auto r = std::from_chars(b, e, v);
    if (b == e || r.ec != std::errc() || r.ptr != e) return false;
    out.push_back(v);
    if (comma == std::string::npos) return true;
    start = comma + 1;
  }
}

void append_list(std::string& out, std::span<const float> v) {
  out += '[';
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) out += ", ";
    vorpel::json::json_float(out, v[i]);
  }
  out += ']';
}

// Rows of `width` logits: one row, or a list of rows with --all.
void append_rows(std::string& out, const std::vector<float>& rows, size_t width, bool all) {
  if (!all) {
    append_list(out, rows);
    return;
  }
  out += '[';
  for (size_t r = 0; width != 0 && r < rows.size() / width; ++r) {
    if (r) out += ", ";
    append_list(out, std::span<const float>(rows).subspan(r * width, width));
  }
  out += ']';
}

int usage_error(const char* why) {
  std::fprintf(stderr, "vorpel logits: %s\nusage: vorpel %s\n", why, kUsage);
  return vorpel::cli::kExitUsage;
}

int fail(const std::string& text) {
  std::fprintf(stderr, "%s\n", text.c_str());
  return vorpel::cli::kExitLoad;
}

int run_v2(std::vector<uint8_t> bytes, const std::vector<uint32_t>& tokens, const std::string& mode, bool all) {
  if (all && mode != "step") return usage_error("--all needs --mode step for a second-generation model");
  auto bundle = vorpel::v2::load_v2_bundle(std::move(bytes));
  if (!bundle) return fail(message(bundle.error()));
  const vorpel::v2::V2Model& m = bundle->model;
  auto state = vorpel::v2::V2State::for_generation(m);
  std::vector<float> logits, rows;
  if (mode == "prefill") {
    if (!tokens.empty()) logits.assign(m.geom.vocab, 0.0f);
    auto ok = vorpel::v2::prefill(m, state, tokens, std::span<float>(logits));
    if (!ok) return fail(message(ok.error()));
    rows = logits;
  } else {
    logits.assign(m.geom.vocab, 0.0f);
    for (uint32_t t : tokens) {
      auto ok = vorpel::v2::step(m, state, t, logits);
      if (!ok) return fail(message(ok.error()));
      if (all) rows.insert(rows.end(), logits.begin(), logits.end());
    }
    if (!all && !tokens.empty()) rows = logits;
  }
  std::string out;
  append_rows(out, rows, m.geom.vocab, all);
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

int run_v3(std::vector<uint8_t> bytes, std::vector<uint32_t> tokens, const std::string& mode, bool all,
           std::optional<uint64_t> depth, bool int8) {
  auto bundle = vorpel::v3::load_v3(std::move(bytes), depth);
  if (!bundle) return fail(message(bundle.error()));
  const vorpel::v3::V3Model& m = bundle->model;
  const uint64_t width = m.geom.logit_rows;
  // The context bounds what one pass can take: the input is cut to it.
  if (tokens.size() > m.geom.max_seq_len) tokens.resize(m.geom.max_seq_len);
  vorpel::v3::V3Session session(m, tokens.size(), int8);
  std::vector<float> rows;
  if (mode == "prefill") {
    using vorpel::v3::LogitsFor;
    const LogitsFor which = tokens.empty() ? LogitsFor::None : all ? LogitsFor::Every : LogitsFor::Last;
    rows.assign(which == LogitsFor::Every ? tokens.size() * width : which == LogitsFor::Last ? width : 0, 0.0f);
    vorpel::v3::prefill(m, session, tokens, which, rows);
  } else {
    std::vector<float> logits(width);
    for (uint32_t t : tokens) {
      vorpel::v3::step(m, session, t, logits);
      if (all) rows.insert(rows.end(), logits.begin(), logits.end());
    }
    if (!all && !tokens.empty()) rows = logits;
  }
  std::string out;
  append_rows(out, rows, width, all);
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

int run_v1(const std::string& path, const std::string& vocab, std::vector<uint32_t> tokens,
           const std::vector<uint32_t>& decoder, bool all, bool encoder_rows) {
  auto engine = vorpel::v1::V1Engine::load(path, vocab);
  if (!engine) return fail(message(engine.error()));
  const vorpel::v1::V1Model& m = engine->model();
  const uint64_t width = m.config.vocab_size;
  // The encoder reaches as far as the rotary tables.
  if (tokens.size() > m.config.rope_positions()) tokens.resize(m.config.rope_positions());
  const std::vector<float> enc = vorpel::v1::encode(m, tokens);
  if (encoder_rows) {
    std::string out;
    append_rows(out, enc, m.config.d_model, true);
    out += '\n';
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
  }
  vorpel::v1::V1Decoder dec(m, enc, tokens.size(), m.config.max_dec_len);
  std::vector<float> logits(width), rows;
  std::vector<uint32_t> feed{vorpel::v1::kDecoderStartId};
  feed.insert(feed.end(), decoder.begin(), decoder.end());
  for (uint32_t t : feed) {
    dec.step(t, logits);
    if (all) rows.insert(rows.end(), logits.begin(), logits.end());
  }
  if (!all) rows = logits;
  std::string out;
  append_rows(out, rows, width, all);
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

int run(const Args& args) {
  std::string path, mode = "step";
  std::optional<std::string> vocab;
  std::vector<uint32_t> decoder;
  bool encoder_rows = false;
  std::vector<uint32_t> tokens;
  std::optional<uint64_t> depth;
  bool have_tokens = false, all = false, int8 = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--tokens" && i + 1 < args.size()) {
      if (!parse_tokens(args[++i], tokens)) return usage_error("--tokens takes comma-separated 32-bit ids");
      have_tokens = true;
    } else if (a == "--mode" && i + 1 < args.size()) {
      mode = args[++i];
      if (mode != "step" && mode != "prefill") return usage_error("--mode is step or prefill");
    } else if (a == "--depth" && i + 1 < args.size()) {
      uint64_t d = 0;
      const std::string& v = args[++i];
      auto r = std::from_chars(v.data(), v.data() + v.size(), d);
      if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size()) return usage_error("--depth takes a count");
      depth = d;
    } else if (a == "--vocab" && i + 1 < args.size()) {
      vocab = args[++i];
    } else if (a == "--decoder-tokens" && i + 1 < args.size()) {
      if (!parse_tokens(args[++i], decoder)) return usage_error("--decoder-tokens takes comma-separated 32-bit ids");
    } else if (a == "--encoder") {
      encoder_rows = true;
    } else if (a == "--all") {
      all = true;
    } else if (a == "--kv-int8") {
      int8 = true;
    } else if (path.empty() && !a.starts_with("--")) {
      path = a;
    } else {
      return usage_error(("unexpected argument '" + a + "'").c_str());
    }
  }
  if (path.empty() || !have_tokens) return usage_error("a container path and --tokens are required");

  auto bytes = vorpel::io::read_file(path);
  if (!bytes) return fail(path + ": " + message(bytes.error()));
  // With --vocab the file is a first-generation model unless it carries a container tag.
  if (vocab && vorpel::engine::has_container_tag(*bytes))
    return usage_error("--vocab applies to first-generation weights files, not to .trov containers");
  const auto generation = vocab ? vorpel::engine::Generation::First : vorpel::engine::detect_generation(*bytes);
  if (generation == vorpel::engine::Generation::First) {
    if (!vocab) return usage_error("a first-generation weights file needs --vocab FILE");
    if (depth || int8 || mode != "step") return usage_error("--depth, --kv-int8 and --mode apply to .trov containers");
    return run_v1(path, *vocab, std::move(tokens), decoder, all, encoder_rows);
  }
  if (vocab || !decoder.empty() || encoder_rows)
    return usage_error("--vocab, --decoder-tokens and --encoder apply to first-generation files");
  if (generation == vorpel::engine::Generation::Third)
    return run_v3(std::move(*bytes), std::move(tokens), mode, all, depth, int8);
  if (depth || int8) return usage_error("--depth and --kv-int8 apply to third-generation containers");
  return run_v2(std::move(*bytes), tokens, mode, all);
}

vorpel::cli::Registration reg{{"logits", kUsage, &run}};

}  // namespace
