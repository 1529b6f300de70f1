// Safetensors files: the input is the whole file. A file that parses has
// every tensor requested through get_f32 and raw, and the two must agree on
// the byte range and on the element count it gives for each dtype.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "vorpel/safetensors/safetensors.hpp"

using namespace vorpel::st;

namespace {

[[noreturn]] void fail(const char* what) {
  std::fprintf(stderr, "safetensors_fuzz: %s\n", what);
  std::abort();
}

uint64_t expected_count(Dtype d, uint64_t bytes) {
  switch (d) {
    case Dtype::F32: return bytes / 4;
    case Dtype::BF16:
    case Dtype::F16: return bytes / 2;
    case Dtype::I8: return bytes;
    case Dtype::I4: return 2 * bytes;
  }
  return 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  auto parsed = SafetensorsFile::parse(std::vector<uint8_t>(data, data + size));
  if (!parsed) {
    (void)message(parsed.error());
    return 0;
  }
  const SafetensorsFile& file = *parsed;
  if (file.data().size() > size) fail("data section larger than the input");
  volatile uint64_t sink = 0;
  for (const auto& [key, value] : file.metadata()) sink = sink + key.size() + value.size();
  for (const auto& [name, info] : file.tensors()) {
    if (file.info(name) != &info) fail("info() does not find a table entry");
    sink = sink + info.shape.size();
    auto raw = file.raw(name);
    auto floats = file.get_f32(name);
    if (raw.has_value() != floats.has_value()) fail("raw and get_f32 disagree on the range");
    if (!raw) {
      (void)message(raw.error());
      if (info.begin <= info.end && info.end <= file.data().size()) fail("a valid range was rejected");
      continue;
    }
    if (raw->size() != info.end - info.begin) fail("raw size differs from the range");
    if (raw->data() < file.data().data() || raw->data() + raw->size() > file.data().data() + file.data().size())
      fail("raw view outside the data section");
    if (*floats) {
      if ((*floats)->size() != expected_count(info.dtype, raw->size())) fail("element count not from the range");
      for (float f : **floats) sink = sink + static_cast<uint64_t>(f == 0.0f);
    } else if (info.dtype != Dtype::I4) {
      fail("a present tensor other than I4 came back empty");
    }
  }
  if (file.get_f32("\x01 no such tensor")->has_value()) fail("absent name found");
  return 0;
}
