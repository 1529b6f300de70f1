// `vorpel run`: one generation on a second-generation container, printed as
// the same record the module's generate() returns, as one JSON object.
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "vorpel/v3/loader.hpp"

#include "command.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/text/json_out.hpp"
#include "vorpel/io/read_file.hpp"
#include "vorpel/engine/open.hpp"
#include "vorpel/v1_engine/v1_engine.hpp"
#include "vorpel/v2_engine/v2_engine.hpp"
#include "vorpel/v3_engine/v3_engine.hpp"

namespace {

using vorpel::message;

using vorpel::json::json_string;
using vorpel::json::json_uint;

constexpr const char* kUsage =
    "run FILE.trov --query Q (--tools-file F | --tools JSON) [--max-new-tokens N] [--temperature T] "
    "[--seed S] [--system S] [--constrain] [--stream] [--depth N] [--kv-int8] [--vocab V]   generate; prints the "
    "result as JSON (--stream: one JSON line per streamed piece on stderr first; --depth, --kv-int8: third "
    "generation; a first-generation FILE.safetensors needs --vocab and takes no generation settings)";

bool parse_u64(const std::string& s, uint64_t& out) {
  auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && !s.empty();
}

bool parse_f32(const std::string& s, float& out) {
  auto r = std::from_chars(s.data(), s.data() + s.size(), out);
  return r.ec == std::errc() && r.ptr == s.data() + s.size() && !s.empty();
}

int usage_error(const std::string& what) {
  std::fprintf(stderr, "vorpel run: %s\nusage: vorpel %s\n", what.c_str(), kUsage);
  return vorpel::cli::kExitUsage;
}

// --stream: one JSON line per generated piece on stderr, as it comes.
void print_piece(uint32_t id, std::string_view piece) {
  std::string line = "{\"token_id\":";
  json_uint(line, id);
  line += ",\"piece\":";
  json_string(line, piece);
  line += "}\n";
  std::fwrite(line.data(), 1, line.size(), stderr);
  std::fflush(stderr);
}

int run_first(const std::string& weights_path, const std::string& vocab_path, const std::string& query,
              const std::string& tools, bool stream) {
  // The engine's own loader reads both files, so its messages are the module's.
  auto engine = vorpel::v1::V1Engine::load(weights_path, vocab_path);
  if (!engine) {
    std::fprintf(stderr, "%s\n", message(engine.error()).c_str());
    return vorpel::cli::kExitLoad;
  }
  const vorpel::v1::StreamCallback printer = print_piece;
  const vorpel::v1::V1RunResult res = engine->generate(query, tools, stream ? &printer : nullptr);
  std::string out = vorpel::engine::to_json(to_record(res)) + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

int run_third(std::vector<uint8_t> bytes, const std::string& query, const std::string& tools,
              const vorpel::v2::GenerateOptions& o, uint64_t max_new, std::optional<uint64_t> depth, bool kv_int8,
              bool stream) {
  auto bundle = vorpel::v3::load_v3(std::move(bytes), depth);
  if (!bundle) {
    std::fprintf(stderr, "%s\n", message(bundle.error()).c_str());
    return vorpel::cli::kExitLoad;
  }
  const vorpel::v3::V3Engine engine(std::make_shared<const vorpel::v3::V3Bundle>(std::move(*bundle)));
  vorpel::v3::V3GenerateOptions opt;
  opt.max_new_tokens = max_new;  // 0: the generation's default budget
  opt.temperature = o.temperature;
  opt.seed = o.seed;
  opt.system = o.system;
  opt.constrain = o.constrain;
  opt.kv_int8 = kv_int8;
  vorpel::v3::V3Result res;
  if (stream) {
    res = engine.generate_stream(query, tools, opt, [](std::string_view piece) {
      std::string line = "{\"piece\":";
      json_string(line, piece);
      line += "}\n";
      std::fwrite(line.data(), 1, line.size(), stderr);
      std::fflush(stderr);
    });
  } else {
    res = engine.generate(query, tools, opt);
  }
  std::string out = vorpel::engine::to_json(to_record(res)) + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

int run(const vorpel::cli::Args& args) {
  std::optional<std::string> path, query, tools_file, tools_inline, vocab;
  vorpel::v2::GenerateOptions opt;
  bool stream = false, kv_int8 = false;
  std::optional<uint64_t> depth, max_new;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--constrain") {
      opt.constrain = true;
      continue;
    }
    if (a == "--stream") {
      stream = true;
      continue;
    }
    if (a == "--kv-int8") {
      kv_int8 = true;
      continue;
    }
    if (!a.starts_with("--")) {
      if (path) return usage_error("more than one container path");
      path = a;
      continue;
    }
    if (i + 1 >= args.size()) return usage_error("missing value for '" + a + "'");
    const std::string& v = args[++i];
    if (a == "--query") {
      query = v;
    } else if (a == "--tools-file") {
      tools_file = v;
    } else if (a == "--tools") {
      tools_inline = v;
    } else if (a == "--vocab") {
      vocab = v;
    } else if (a == "--system") {
      opt.system = v;
    } else if (a == "--max-new-tokens") {
      uint64_t n = 0;
      if (!parse_u64(v, n)) return usage_error("bad --max-new-tokens '" + v + "'");
      opt.max_new_tokens = n;
      max_new = n;
    } else if (a == "--seed") {
      if (!parse_u64(v, opt.seed)) return usage_error("bad --seed '" + v + "'");
    } else if (a == "--depth") {
      uint64_t d = 0;
      if (!parse_u64(v, d)) return usage_error("bad --depth '" + v + "'");
      depth = d;
    } else if (a == "--temperature") {
      if (!parse_f32(v, opt.temperature)) return usage_error("bad --temperature '" + v + "'");
    } else {
      return usage_error("unknown argument '" + a + "'");
    }
  }
  if (!path || !query) return usage_error("a container path and --query are required");
  if (tools_file.has_value() == tools_inline.has_value())
    return usage_error("exactly one of --tools-file and --tools is required");

  const auto tools_text = vorpel::cli::read_tools(tools_file, tools_inline);
  if (!tools_text) return vorpel::cli::kExitLoad;
  const std::string& tools = *tools_text;

  auto bytes = vorpel::io::read_file(*path);
  if (!bytes) {
    std::fprintf(stderr, "%s: %s\n", path->c_str(), message(bytes.error()).c_str());
    return vorpel::cli::kExitLoad;
  }
  // With --vocab the file is a first-generation model unless it carries a container tag.
  if (vocab && vorpel::engine::has_container_tag(*bytes))
    return usage_error("--vocab applies to first-generation weights files, not to .trov containers");
  const auto generation = vocab ? vorpel::engine::Generation::First : vorpel::engine::detect_generation(*bytes);
  if (generation == vorpel::engine::Generation::First) {
    if (!vocab) return usage_error("a first-generation weights file needs --vocab FILE");
    return run_first(*path, *vocab, *query, tools, stream);
  }
  if (generation == vorpel::engine::Generation::Third)
    return run_third(std::move(*bytes), *query, tools, opt, max_new.value_or(0), depth, kv_int8, stream);
  if (depth || kv_int8) return usage_error("--depth and --kv-int8 apply to third-generation containers");

  auto engine = vorpel::v2::V2Engine::from_bytes(std::move(*bytes));
  if (!engine) {
    std::fprintf(stderr, "%s\n", message(engine.error()).c_str());
    return vorpel::cli::kExitLoad;
  }

  vorpel::v2::GenerationResult res;
  if (stream) {
    res = engine->generate_stream(*query, tools, opt, print_piece);
  } else {
    res = engine->generate(*query, tools, opt);
  }

  // The same record, keys in the same order, as the module's generate().
  std::string out = vorpel::engine::to_json(to_record(res)) + "\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

vorpel::cli::Registration reg{{"run", kUsage, &run}};

}  // namespace
