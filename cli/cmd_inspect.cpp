// `vorpel inspect FILE [--tensor N]`: a container's header, codebook and
// directory as JSON, or the values of one tensor.
#include <charconv>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "command.hpp"
#include "vorpel/text/json_out.hpp"
#include "vorpel/core/le_bytes.hpp"
#include "vorpel/io/read_file.hpp"
#include "vorpel/trov/header_layout.hpp"
#include "vorpel/trov/trov_image.hpp"

namespace {

using vorpel::trov::TrovImage;
using vorpel::trov::Version;

using Kind = vorpel::trov::FieldKind;
using vorpel::trov::kV2Header;
using vorpel::trov::kV3Header;

void uint_list(std::string& out, const std::vector<uint32_t>& v) {
  out += '[';
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) out += ", ";
    vorpel::json::json_uint(out, v[i]);
  }
  out += ']';
}

void float_list(std::string& out, const std::vector<float>& v) {
  out += '[';
  for (size_t i = 0; i < v.size(); ++i) {
    if (i) out += ", ";
    vorpel::json::json_float(out, v[i]);
  }
  out += ']';
}

void dims_list(std::string& out, const vorpel::trov::TensorEntry& e) {
  out += '[';
  for (size_t d = 0; d < e.ndim; ++d) {
    if (d) out += ", ";
    vorpel::json::json_uint(out, e.dims[d]);
  }
  out += ']';
}

std::string describe(const TrovImage& img) {
  using vorpel::json::json_string;
  using vorpel::json::json_uint;
  const bool v2 = img.version() == Version::V2;
  std::string out = "{\"version\": ";
  out += v2 ? "2" : "3";
  out += ", \"header\": {";
  bool first = true;
  auto emit = [&](const vorpel::trov::HeaderField& f) {
    if (!first) out += ", ";
    first = false;
    json_string(out, f.name);
    out += ": ";
    switch (f.kind) {
      case Kind::U32: json_uint(out, img.header_u32(f.offset)); break;
      case Kind::U64: json_uint(out, img.header_u64(f.offset)); break;
      case Kind::F32: vorpel::json::json_float(out, img.header_f32(f.offset)); break;
      case Kind::FirstList: uint_list(out, img.first_list()); break;
      case Kind::SecondList: uint_list(out, img.second_list()); break;
      case Kind::Flags: {
        std::vector<uint32_t> flags;
        for (size_t i = 0; i < 4; ++i) flags.push_back(img.header_u8(f.offset + i));
        uint_list(out, flags);
        break;
      }
    }
  };
  if (v2) {
    for (const auto& f : kV2Header) emit(f);
  } else {
    for (const auto& f : kV3Header) emit(f);
  }
  out += "}, \"codebook\": ";
  float_list(out, img.codebook());
  out += ", \"tensors\": [";
  for (size_t i = 0; i < img.tensor_count(); ++i) {
    const auto& e = img.entries()[i];
    if (i) out += ", ";
    out += "{\"index\": " + std::to_string(i) + ", \"dtype\": " + std::to_string(e.dtype) +
           ", \"ndim\": " + std::to_string(e.ndim) + ", \"dims\": ";
    dims_list(out, e);
    out += ", \"offset\": " + std::to_string(e.offset) + ", \"nbytes\": " +
           std::to_string(e.nbytes) + ", \"cq_block\": " + std::to_string(e.cq_block) +
           ", \"cq_bits\": " + std::to_string(e.cq_bits) + "}";
  }
  out += "]}\n";
  return out;
}

int fail_load(const std::string& msg) {
  std::fprintf(stderr, "%s\n", msg.c_str());
  return vorpel::cli::kExitLoad;
}

int usage_error(const std::string& msg) {
  std::fprintf(stderr, "vorpel inspect: %s\nusage: vorpel inspect FILE [--tensor N]\n",
               msg.c_str());
  return vorpel::cli::kExitUsage;
}

int run(const vorpel::cli::Args& args) {
  std::optional<std::string> path;
  std::optional<std::string> tensor_arg;
  for (size_t i = 0; i < args.size(); ++i) {
    const std::string& a = args[i];
    if (a == "--tensor") {
      if (i + 1 >= args.size()) return usage_error("--tensor needs an index");
      tensor_arg = args[++i];
    } else if (a.rfind("--tensor=", 0) == 0) {
      tensor_arg = a.substr(9);
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return usage_error("unknown option " + a);
    } else if (!path) {
      path = a;
    } else {
      return usage_error("more than one FILE");
    }
  }
  if (!path) return usage_error("missing FILE");
  std::optional<size_t> index;
  if (tensor_arg) {
    size_t v = 0;
    const char* b = tensor_arg->data();
    const char* e = b + tensor_arg->size();
    auto r = std::from_chars(b, e, v);
    if (tensor_arg->empty() || r.ec != std::errc() || r.ptr != e)
      return usage_error("--tensor wants a non-negative integer, got '" + *tensor_arg + "'");
    index = v;
  }

  auto bytes = vorpel::io::read_file(*path);
  if (!bytes) return fail_load(*path + ": " + vorpel::io::message(bytes.error()));
  // The tag picks the reader; anything that is not the third-generation tag
  // goes through the second-generation one and fails there if it is neither.
  const bool v3 = bytes->size() >= 4 && vorpel::load_u32(bytes->data()) == vorpel::trov::kTagV3;
  auto img = v3 ? TrovImage::parse_v3(std::move(*bytes)) : TrovImage::parse_v2(std::move(*bytes));
  if (!img) return fail_load(vorpel::trov::message(img.error()));

  std::string out;
  if (!index) {
    out = describe(*img);
  } else {
    if (*index >= img->tensor_count())
      return usage_error("tensor " + std::to_string(*index) + " is out of range (" +
                         std::to_string(img->tensor_count()) + " tensors)");
    const auto& e = img->entries()[*index];
    out = "{\"dims\": ";
    dims_list(out, e);
    if (e.dtype == vorpel::trov::kDtypeBytes) {
      auto raw = img->bytes(*index);
      if (!raw) return fail_load(vorpel::trov::message(raw.error()));
      out += ", \"nbytes\": " + std::to_string(raw->size()) + "}\n";
    } else {
      auto values = e.dtype == vorpel::trov::kDtypeCq ? img->dense_cq(*index) : img->floats(*index);
      if (!values) return fail_load(vorpel::trov::message(values.error()));
      out += ", \"values\": ";
      float_list(out, *values);
      out += "}\n";
    }
  }
  std::fwrite(out.data(), 1, out.size(), stdout);
  return 0;
}

static vorpel::cli::Registration reg{
    {"inspect", "inspect FILE [--tensor N]   container header, codebook and directory as JSON", &run}};

}  // namespace
