// `vorpel logits`: runs token ids through a second-generation model and prints
// the logits of the last position (or of every position) as JSON.
#include <charconv>
#include <cstdio>
#include <string>
#include <vector>

#include "command.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/text/json_out.hpp"
#include "vorpel/v2/batch.hpp"
#include "vorpel/v2/bundle.hpp"
#include "vorpel/v2/forward.hpp"

namespace {

using vorpel::message;

using vorpel::cli::Args;

constexpr const char* kUsage = "logits FILE.trov --tokens ID,ID,... [--mode step|prefill] [--all]";

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

void append_list(std::string& out, const std::vector<float>& v) {
  out += '[';
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) out += ", ";
    vorpel::json::json_float(out, v[i]);
  }
  out += ']';
}

int usage_error(const char* why) {
  std::fprintf(stderr, "vorpel logits: %s\nusage: vorpel %s\n", why, kUsage);
  return vorpel::cli::kExitUsage;
}

int run(const Args& args) {
  std::string path, mode = "step";
  std::vector<uint32_t> tokens;
  bool have_tokens = false, all = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--tokens" && i + 1 < args.size()) {
      if (!parse_tokens(args[++i], tokens)) return usage_error("--tokens takes comma-separated 32-bit ids");
      have_tokens = true;
    } else if (a == "--mode" && i + 1 < args.size()) {
      mode = args[++i];
      if (mode != "step" && mode != "prefill") return usage_error("--mode is step or prefill");
    } else if (a == "--all") {
      all = true;
    } else if (path.empty() && !a.starts_with("--")) {
      path = a;
    } else {
      return usage_error(("unexpected argument '" + a + "'").c_str());
    }
  }
  if (path.empty() || !have_tokens) return usage_error("a container path and --tokens are required");
  if (all && mode != "step") return usage_error("--all needs --mode step");

  auto bundle = vorpel::v2::load_v2_bundle_file(path);
  if (!bundle) {
    std::fprintf(stderr, "%s\n", message(bundle.error()).c_str());
    return vorpel::cli::kExitLoad;
  }
  const vorpel::v2::V2Model& m = bundle->model;
  auto state = vorpel::v2::V2State::for_generation(m);
  std::vector<float> logits;
  std::string out;
  if (mode == "prefill") {
    if (!tokens.empty()) logits.assign(m.geom.vocab, 0.0f);
    auto ok = vorpel::v2::prefill(m, state, tokens, std::span<float>(logits));
    if (!ok) {
      std::fprintf(stderr, "%s\n", message(ok.error()).c_str());
      return vorpel::cli::kExitLoad;
    }
    append_list(out, logits);
  } else {
    logits.assign(m.geom.vocab, 0.0f);
    if (all) out += '[';
    for (size_t i = 0; i < tokens.size(); ++i) {
      auto ok = vorpel::v2::step(m, state, tokens[i], logits);
      if (!ok) {
        std::fprintf(stderr, "%s\n", message(ok.error()).c_str());
        return vorpel::cli::kExitLoad;
      }
      if (all) {
        if (i) out += ", ";
        append_list(out, logits);
      }
    }
    if (all)
      out += ']';
    else if (tokens.empty())
      out += "[]";
    else
      append_list(out, logits);
  }
  out += '\n';
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

vorpel::cli::Registration reg{{"logits", kUsage, &run}};

}  // namespace
