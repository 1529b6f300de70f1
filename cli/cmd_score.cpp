// `vorpel score`: the head outputs of a second-generation container for a
// text, a completion, or a retrieval, printed as one JSON object.
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "command.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/text/json_out.hpp"
#include "vorpel/io/read_file.hpp"
#include "vorpel/engine/open.hpp"
#include "vorpel/v2_engine/v2_engine.hpp"
#include "vorpel/v3/loader.hpp"
#include "vorpel/v3_engine/v3_engine.hpp"

namespace {

using vorpel::message;

using vorpel::json::json_float;
using vorpel::json::json_string;
using vorpel::json::json_uint;

constexpr const char* kUsage =
    "score FILE.trov (--text T | --contrastive T | --query Q (--tools-file F | --tools JSON) --completion C | "
    "--retrieve Q --descriptions-file F [--top-k K]) [--depth N]   head outputs as JSON (descriptions: one per "
    "line; a third-generation container scores completions only)";

int usage_error(const std::string& what) {
  std::fprintf(stderr, "vorpel score: %s\nusage: vorpel %s\n", what.c_str(), kUsage);
  return vorpel::cli::kExitUsage;
}

std::optional<std::string> read_text(const std::string& path) { return vorpel::cli::read_text_file(path); }

void opt_float(std::string& out, std::optional<float> v) {
  if (v) json_float(out, *v); else out += "null";
}

void float_list(std::string& out, const std::optional<std::vector<float>>& v) {
  if (!v) {
    out += "null";
    return;
  }
  out += '[';
  for (size_t i = 0; i < v->size(); ++i) {
    if (i) out += ',';
    json_float(out, (*v)[i]);
  }
  out += ']';
}

int run(const vorpel::cli::Args& args) {
  std::optional<std::string> path, text, contrastive, query, tools_file, tools_inline, completion, retrieve,
      descriptions_file;
  uint64_t top_k = 5;
  std::optional<uint64_t> depth;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (!a.starts_with("--")) {
      if (path) return usage_error("more than one container path");
      path = a;
      continue;
    }
    if (i + 1 >= args.size()) return usage_error("missing value for '" + a + "'");
    const std::string& v = args[++i];
    std::optional<std::string>* slot = a == "--text"                ? &text
                                       : a == "--contrastive"       ? &contrastive
                                       : a == "--query"             ? &query
                                       : a == "--tools-file"        ? &tools_file
                                       : a == "--tools"             ? &tools_inline
                                       : a == "--completion"        ? &completion
                                       : a == "--retrieve"          ? &retrieve
                                       : a == "--descriptions-file" ? &descriptions_file
                                                                    : nullptr;
    if (a == "--depth") {
      uint64_t d = 0;
      auto r = std::from_chars(v.data(), v.data() + v.size(), d);
      if (v.empty() || r.ec != std::errc() || r.ptr != v.data() + v.size()) return usage_error("bad --depth '" + v + "'");
      depth = d;
      continue;
    }
    if (a == "--top-k") {
      try {
        size_t used = 0;
        top_k = std::stoull(v, &used);
        if (used != v.size() || v.starts_with('-')) return usage_error("bad --top-k '" + v + "'");
      } catch (const std::exception&) {
        return usage_error("bad --top-k '" + v + "'");
      }
      continue;
    }
    if (!slot) return usage_error("unknown argument '" + a + "'");
    *slot = v;
  }
  if (!path) return usage_error("a container path is required");
  const int modes = !!text + !!contrastive + !!completion + !!retrieve;
  if (modes != 1) return usage_error("give exactly one of --text, --contrastive, --completion, --retrieve");

  auto bytes = vorpel::io::read_file(*path);
  if (!bytes) {
    std::fprintf(stderr, "%s: %s\n", path->c_str(), message(bytes.error()).c_str());
    return vorpel::cli::kExitLoad;
  }
  auto tools_text = [&] { return vorpel::cli::read_tools(tools_file, tools_inline); };
  if (vorpel::engine::detect_generation(*bytes) == vorpel::engine::Generation::Third) {
    if (!completion || !query || tools_file.has_value() == tools_inline.has_value())
      return usage_error("a third-generation container scores --completion with --query and --tools-file or --tools");
    auto bundle = vorpel::v3::load_v3(std::move(*bytes), depth);
    if (!bundle) {
      std::fprintf(stderr, "%s\n", message(bundle.error()).c_str());
      return vorpel::cli::kExitLoad;
    }
    const vorpel::v3::V3Engine engine(std::make_shared<const vorpel::v3::V3Bundle>(std::move(*bundle)));
    auto tools = tools_text();
    if (!tools) return vorpel::cli::kExitLoad;
    std::string out = "{\"confidence_for\":";
    opt_float(out, engine.confidence_for(*query, *tools, *completion));
    out += "}\n";
    std::fwrite(out.data(), 1, out.size(), stdout);
    return 0;
  }
  if (depth) return usage_error("--depth applies to third-generation containers");
  auto engine = vorpel::v2::V2Engine::from_bytes(std::move(*bytes));
  if (!engine) {
    std::fprintf(stderr, "%s\n", message(engine.error()).c_str());
    return vorpel::cli::kExitLoad;
  }

  std::string out = "{";
  if (text) {
    out += "\"confidence\":";
    opt_float(out, engine->confidence(*text));
    out += ",\"confidence_probability\":";
    opt_float(out, engine->confidence_probability(*text));
    out += ",\"contrastive\":";
    float_list(out, engine->encode_contrastive(*text));
    out += ",\"contrastive_dim\":";
    json_uint(out, engine->contrastive_dim());
  } else if (contrastive) {
    out += "\"contrastive\":";
    float_list(out, engine->encode_contrastive(*contrastive));
  } else if (completion) {
    if (!query || tools_file.has_value() == tools_inline.has_value())
      return usage_error("--completion needs --query and one of --tools-file, --tools");
    auto tools = tools_text();
    if (!tools) return vorpel::cli::kExitLoad;
    out += "\"confidence_for\":";
    opt_float(out, engine->confidence_for(*query, *tools, *completion));
  } else {
    if (!descriptions_file) return usage_error("--retrieve needs --descriptions-file");
    auto all = read_text(*descriptions_file);
    if (!all) return vorpel::cli::kExitLoad;
    std::vector<std::string> descriptions;
    size_t start = 0;
    while (start < all->size()) {
      size_t end = all->find('\n', start);
      if (end == std::string::npos) end = all->size();
      descriptions.emplace_back(all->substr(start, end - start));
      start = end + 1;
    }
    out += "\"retrieve\":[";
    const auto ranked = engine->retrieve_tools(*retrieve, descriptions, top_k);
    for (size_t i = 0; i < ranked.size(); ++i) {
      if (i) out += ',';
      out += '[';
      json_uint(out, ranked[i].first);
      out += ',';
      json_float(out, ranked[i].second);
      out += ']';
    }
    out += ']';
  }
  out += "}\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

vorpel::cli::Registration reg{{"score", kUsage, &run}};

}  // namespace
