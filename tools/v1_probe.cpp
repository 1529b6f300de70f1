// Development probe of the first-generation engine for comparisons with the
// numpy reference (tools/v1_agreement.py). Loads WEIGHTS and VOCAB, then
// answers one request per stdin line with one or more stdout lines:
//   enc ID...                  encoder output, M rows of d_model floats
//   dec ID... | ID...          decoder logits after each decoder id (encoder ids first)
//   run HEXQUERY HEXTOOLS      generated ids, then the result text in hex
//   con HEXTEXT                contrastive embedding, or "none"
//   ret K HEXQUERY HEXDESC...  "index score" pairs on one line
// Texts travel as "h" followed by their bytes in hex (so "h" is the empty text).
// Build against a build tree:
//   g++ -std=c++23 -O2 -Ivorpel-core/include -Ivorpel-infer/include tools/v1_probe.cpp \
//       build/vorpel-infer/libvorpel-infer.a build/vorpel-core/libvorpel-core.a -lpthread -o build/v1_probe
#include <cstdio>
#include <iostream>
#include <sstream>
#include <string>
#include <vector>

#include "vorpel/v1/forward.hpp"
#include "vorpel/v1_engine/v1_engine.hpp"

namespace {

std::string unhex(const std::string& h) {
  std::string out;
  for (size_t i = 1; i + 1 < h.size(); i += 2) out.push_back(static_cast<char>(std::stoi(h.substr(i, 2), nullptr, 16)));
  return out;
}

std::string hex(const std::string& s) {
  static const char* d = "0123456789abcdef";
  std::string out = "h";
  for (unsigned char c : s) {
    out.push_back(d[c >> 4]);
    out.push_back(d[c & 15]);
  }
  return out;
}

void print_row(const float* v, size_t n) {
  for (size_t i = 0; i < n; ++i) std::printf(i ? " %.9g" : "%.9g", v[i]);
  std::printf("\n");
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: v1_probe WEIGHTS VOCAB\n");
    return 2;
  }
  auto eng = vorpel::v1::V1Engine::load(argv[1], argv[2]);
  if (!eng) {
    std::printf("error %s\n", vorpel::message(eng.error()).c_str());
    return 0;
  }
  std::printf("ok\n");
  std::fflush(stdout);
  const auto& m = eng->model();
  std::string line;
  while (std::getline(std::cin, line)) {
    std::istringstream in(line);
    std::string op;
    in >> op;
    if (op == "enc" || op == "dec") {
      std::vector<uint32_t> enc, dec;
      std::string tok;
      bool second = false;
      while (in >> tok) {
        if (tok == "|") second = true;
        else (second ? dec : enc).push_back(static_cast<uint32_t>(std::stoul(tok)));
      }
      const std::vector<float> e = vorpel::v1::encode(m, enc);
      if (op == "enc") {
        for (size_t i = 0; i < enc.size(); ++i) print_row(e.data() + i * m.config.d_model, m.config.d_model);
      } else {
        vorpel::v1::V1Decoder d(m, e, enc.size(), m.config.max_dec_len);
        std::vector<float> logits(m.config.vocab_size);
        for (uint32_t t : dec) {
          d.step(t, logits);
          print_row(logits.data(), logits.size());
        }
      }
    } else if (op == "run") {
      std::string q, t;
      in >> q >> t;
      const auto r = eng->generate(unhex(q), unhex(t), nullptr);
      for (size_t i = 0; i < r.token_ids.size(); ++i) std::printf(i ? " %u" : "%u", r.token_ids[i]);
      std::printf("\n%s\n", hex(r.text).c_str());
    } else if (op == "con") {
      std::string t;
      in >> t;
      const auto z = eng->encode_contrastive(unhex(t));
      if (!z) std::printf("none\n");
      else print_row(z->data(), z->size());
    } else if (op == "ret") {
      uint64_t k;
      std::string q, d;
      in >> k >> q;
      std::vector<std::string> descs;
      while (in >> d) descs.push_back(unhex(d));
      const auto r = eng->retrieve_tools(unhex(q), descs, k);
      for (size_t i = 0; i < r.size(); ++i) std::printf(i ? " %zu %.9g" : "%zu %.9g", static_cast<size_t>(r[i].first), r[i].second);
      std::printf("\n");
    } else {
      std::printf("unknown\n");
    }
    std::fflush(stdout);
  }
  return 0;
}
