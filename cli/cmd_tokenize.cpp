// `vorpel tokenize` / `vorpel detokenize`: the tokenizer embedded in a .trov
// container (second or third generation) or a first-generation vocabulary
// file (--vocab), applied to a text or a list of ids.
#include <chrono>
#include <ctime>
#include <cstdio>
#include <optional>
#include <string>
#include <variant>

#include "command.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/text/json_out.hpp"
#include "vorpel/core/le_bytes.hpp"
#include "vorpel/io/read_file.hpp"
#include "vorpel/sp_tokenizer/sp_tokenizer.hpp"
#include "vorpel/trov/trov_image.hpp"
#include "vorpel/vocab_tokenizer/vocab.hpp"

namespace {

using vorpel::message;

using vorpel::cli::Args;

// Reads the container, picks the parser by the tag at offset 0 and parses
// the tokenizer entry: the last entry in a second-generation container (when
// it holds raw bytes), the first raw-bytes entry in a third-generation one.
std::optional<vorpel::sp::Tokenizer> load_tokenizer(const std::string& path) {
  auto file = vorpel::io::read_file(path);
  if (!file) {
    std::fprintf(stderr, "%s: %s\n", path.c_str(), message(file.error()).c_str());
    return std::nullopt;
  }
  const bool v3 = file->size() >= 4 && vorpel::load_u32(file->data()) == vorpel::trov::kTagV3;
  auto image = v3 ? vorpel::trov::TrovImage::parse_v3(std::move(*file))
                  : vorpel::trov::TrovImage::parse_v2(std::move(*file));
  if (!image) {
    std::fprintf(stderr, "%s\n", vorpel::trov::message(image.error()).c_str());
    return std::nullopt;
  }
  const auto& entries = image->entries();
  std::optional<size_t> index;
  if (v3) {
    for (size_t i = 0; i < entries.size() && !index; ++i) {
      if (entries[i].dtype == vorpel::trov::kDtypeBytes) index = i;
    }
  } else if (!entries.empty() && entries.back().dtype == vorpel::trov::kDtypeBytes) {
    index = entries.size() - 1;
  }
  if (!index) {
    std::fprintf(stderr, "container has no tokenizer entry\n");
    return std::nullopt;
  }
  auto blob = image->bytes(*index);
  if (!blob) {
    std::fprintf(stderr, "%s\n", vorpel::trov::message(blob.error()).c_str());
    return std::nullopt;
  }
  auto tok = vorpel::sp::Tokenizer::parse(*blob);
  if (!tok) {
    std::fprintf(stderr, "%s\n", message(tok.error()).c_str());
    return std::nullopt;
  }
  return std::move(*tok);
}

std::optional<uint64_t> parse_uint(const std::string& s, uint64_t max) {
  if (s.empty() || s.size() > 20) return std::nullopt;
  uint64_t v = 0;
  for (const char c : s) {
    if (c < '0' || c > '9') return std::nullopt;
    const uint64_t d = static_cast<uint64_t>(c - '0');
    if (v > (max - d) / 10) return std::nullopt;
    v = v * 10 + d;
  }
  return v;
}

// Either generation's tokenizer behind one encode/decode.
struct AnyTokenizer {
  std::variant<vorpel::sp::Tokenizer, vorpel::vocab::Vocab> t;
  std::vector<uint32_t> encode(std::string_view text, bool reference) const {
    if (const auto* sp = std::get_if<vorpel::sp::Tokenizer>(&t)) return reference ? sp->encode_reference(text) : sp->encode(text);
    const auto& v = std::get<vorpel::vocab::Vocab>(t);
    return reference ? v.encode_reference(text) : v.encode(text);
  }
  std::string decode(std::span<const uint32_t> ids) const {
    return std::visit([&](const auto& x) { return x.decode(ids); }, t);
  }
};

// The container's tokenizer, or the vocabulary file's when `vocab` is given.
std::optional<AnyTokenizer> open_tokenizer(const std::optional<std::string>& container,
                                           const std::optional<std::string>& vocab) {
  if (vocab) {
    auto v = vorpel::vocab::Vocab::load_file(*vocab);
    if (!v) {
      std::fprintf(stderr, "%s: %s\n", vocab->c_str(), v.error().c_str());
      return std::nullopt;
    }
    return AnyTokenizer{std::move(*v)};
  }
  auto tok = load_tokenizer(*container);
  if (!tok) return std::nullopt;
  return AnyTokenizer{std::move(*tok)};
}

constexpr const char* kTokenizeUsage =
    "tokenize (FILE.trov | --vocab VOCAB.txt) (TEXT | --text-file F) [--repeat N] [--reference]";

// Prints the ids as one JSON list. --repeat N encodes N times and reports the
// time of those encodes on stderr as JSON, so process start-up is excluded;
// --reference encodes with the rescanning merge instead of the heap.
int run_tokenize(const Args& args) {
  std::optional<std::string> path, text, text_file, vocab;
  uint64_t repeat = 1;
  bool reference = false;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--text-file" && i + 1 < args.size()) {
      text_file = args[++i];
    } else if (a == "--vocab" && i + 1 < args.size()) {
      vocab = args[++i];
    } else if (a == "--repeat" && i + 1 < args.size()) {
      const auto n = parse_uint(args[++i], UINT32_MAX);
      if (!n || *n == 0) {
        std::fprintf(stderr, "--repeat needs a positive integer\nusage: vorpel %s\n", kTokenizeUsage);
        return vorpel::cli::kExitUsage;
      }
      repeat = *n;
    } else if (a == "--reference") {
      reference = true;
    } else if (!path && !vocab) {
      path = a;
    } else if (!text) {
      text = a;
    } else {
      std::fprintf(stderr, "usage: vorpel %s\n", kTokenizeUsage);
      return vorpel::cli::kExitUsage;
    }
  }
  if (path.has_value() == vocab.has_value() || text.has_value() == text_file.has_value()) {
    std::fprintf(stderr, "usage: vorpel %s\n", kTokenizeUsage);
    return vorpel::cli::kExitUsage;
  }
  if (text_file) {
    auto bytes = vorpel::io::read_file(*text_file);
    if (!bytes) {
      std::fprintf(stderr, "%s: %s\n", text_file->c_str(), message(bytes.error()).c_str());
      return vorpel::cli::kExitLoad;
    }
    text.emplace(bytes->begin(), bytes->end());
  }
  const auto tok = open_tokenizer(path, vocab);
  if (!tok) return vorpel::cli::kExitLoad;

  std::vector<uint32_t> ids;
  // CPU time as well as wall time: on a loaded machine the former still measures the encoder.
  const auto cpu_now = [] {
    timespec ts{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + 1e-9 * static_cast<double>(ts.tv_nsec);
  };
  const double cpu_start = cpu_now();
  const auto start = std::chrono::steady_clock::now();
  for (uint64_t r = 0; r < repeat; ++r) ids = tok->encode(*text, reference);
  const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  const double cpu_seconds = cpu_now() - cpu_start;

  std::string out = "[";
  for (size_t i = 0; i < ids.size(); ++i) {
    if (i) out += ", ";
    vorpel::json::json_uint(out, ids[i]);
  }
  out += "]\n";
  std::fwrite(out.data(), 1, out.size(), stdout);
  if (repeat > 1) {
    std::string t = "{\"repeat\": ";
    vorpel::json::json_uint(t, repeat);
    t += ", \"bytes\": ";
    vorpel::json::json_uint(t, text->size());
    t += ", \"seconds\": " + std::to_string(seconds) + ", \"cpu_seconds\": " + std::to_string(cpu_seconds) + "}\n";
    std::fputs(t.c_str(), stderr);
  }
  return 0;
}

constexpr const char* kDetokenizeUsage = "detokenize (FILE.trov | --vocab VOCAB.txt) ID...";

// Prints the decoded text's exact bytes followed by one newline.
int run_detokenize(const Args& args) {
  std::optional<std::string> container, vocab;
  size_t first_id = 1;
  if (args.size() >= 2 && args[0] == "--vocab") {
    vocab = args[1];
    first_id = 2;
  } else if (!args.empty()) {
    container = args[0];
  }
  if (args.size() < first_id) {
    std::fprintf(stderr, "usage: vorpel %s\n", kDetokenizeUsage);
    return vorpel::cli::kExitUsage;
  }
  std::vector<uint32_t> ids;
  for (size_t i = first_id; i < args.size(); ++i) {
    const auto v = parse_uint(args[i], UINT32_MAX);
    if (!v) {
      std::fprintf(stderr, "not a token id: '%s'\nusage: vorpel %s\n", args[i].c_str(), kDetokenizeUsage);
      return vorpel::cli::kExitUsage;
    }
    ids.push_back(static_cast<uint32_t>(*v));
  }
  const auto tok = open_tokenizer(container, vocab);
  if (!tok) return vorpel::cli::kExitLoad;
  std::string text = tok->decode(ids);
  text += '\n';
  std::fwrite(text.data(), 1, text.size(), stdout);
  return 0;
}

vorpel::cli::Registration reg_tokenize{{"tokenize", kTokenizeUsage, &run_tokenize}};
vorpel::cli::Registration reg_detokenize{{"detokenize", kDetokenizeUsage, &run_detokenize}};

}  // namespace
