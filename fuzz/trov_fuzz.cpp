// Container parsing: the first byte picks the generation, the rest is the file.
// Every tensor of a parsed container is read through every accessor.
#include <cstddef>
#include <cstdint>
#include <vector>

#include "field_mutator.hpp"
#include "vorpel/trov/trov_image.hpp"

using namespace vorpel::trov;

extern "C" size_t LLVMFuzzerCustomMutator(uint8_t* data, size_t size, size_t max_size, unsigned seed) {
  return mutate_container_word(data, size, max_size, seed, 1);
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size < 1) return 0;
  const bool v3 = data[0] & 1;
  std::vector<uint8_t> image(data + 1, data + size);
  auto parsed = v3 ? TrovImage::parse_v3(std::move(image)) : TrovImage::parse_v2(std::move(image));
  if (!parsed) {
    (void)message(parsed.error());
    return 0;
  }
  const TrovImage& img = *parsed;
  volatile uint64_t sink = 0;
  for (size_t off = 0; off + 8 <= img.header_size(); ++off) {
    sink += img.header_u8(off) + img.header_u32(off) + img.header_u64(off);
    sink += static_cast<uint64_t>(img.header_f32(off) == 0.0f);
  }
  sink += img.first_list().size() + img.second_list().size() + img.codebook().size();
  for (size_t i = 0; i < img.tensor_count(); ++i) {
    const TensorEntry& e = img.entry(i);
    sink += e.ndim;
    if (auto f = img.floats(i)) sink += f->size(); else (void)message(f.error());
    if (auto c = img.cq_tensor(i)) sink += c->rows(); else (void)message(c.error());
    if (auto d = img.dense_cq(i)) sink += d->size(); else (void)message(d.error());
    if (auto b = img.bytes(i)) sink += b->size(); else (void)message(b.error());
    const uint64_t dims[4] = {e.dims[0], e.dims[1], e.dims[2], e.dims[3]};
    for (size_t n = 0; n <= 4; ++n) {
      auto r = img.check_shape(i, "t", std::span<const uint64_t>(dims, n));
      if (!r) (void)message(r.error());
    }
  }
  return 0;
}
