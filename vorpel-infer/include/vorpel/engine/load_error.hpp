// Why a model failed to load, for every generation: the file, the container
// framing, the embedded tokenizer or the generation's own model checks. Each
// cause is a typed value; message() renders the one text the front ends show.
#pragma once

#include <string>
#include <variant>

#include "vorpel/io/read_file.hpp"
#include "vorpel/safetensors/safetensors_error.hpp"
#include "vorpel/sp_tokenizer/sp_tokenizer.hpp"
#include "vorpel/trov/trov_error.hpp"
#include "vorpel/v1/errors.hpp"
#include "vorpel/v2/errors.hpp"
#include "vorpel/v3/errors.hpp"
#include "vorpel/v3/model.hpp"

namespace vorpel {

using LoadError = std::variant<io::IoError, trov::TrovError, sp::TokenizerError, v2::ModelError, v3::V3Error,
                               v3::ConstructionError, st::SafetensorsError, v1::V1Error>;

std::string message(const LoadError& e);

}  // namespace vorpel
