// First-generation model loading: the configuration from the safetensors
// metadata, its checks, and the walk over tensor names that fills the model
// (linear weights taken pre-quantised or quantised here, defaults for missing
// tensors, the optional contrastive head). Warnings go to standard error, one
// line each, in reading order.
#pragma once

#include <cstdint>
#include <expected>
#include <string>
#include <unordered_map>

#include "vorpel/engine/load_error.hpp"
#include "vorpel/safetensors/safetensors.hpp"
#include "vorpel/v1/errors.hpp"
#include "vorpel/v1/model.hpp"

namespace vorpel::v1 {

// Metadata texts to configuration: unsigned values are decimal ("+" allowed);
// absent or unreadable values take their defaults; "no_feedforward" is true
// for "1", "True" or "true" and when absent, false for any other text.
V1Config read_config(const std::unordered_map<std::string, std::string>& metadata);

// The configuration checks, in their fixed order.
std::expected<void, V1Error> validate_config(const V1Config& c);

// Bytes the model's block weights take in memory for this configuration
// (packed linears, scales, norms and records; saturating). Missing tensors
// are zeros of full size, so this does not depend on the file's content.
uint64_t weight_memory_bytes(const V1Config& c);
// The most weight memory a file of data_bytes may ask for: four times its
// data plus 64 MiB. Present weights always fit (the packed form is at most
// 1.25 times the smallest stored form); the allowance bounds what metadata
// alone can demand through zero-filled missing tensors.
uint64_t weight_memory_limit(uint64_t data_bytes);

// Builds the model from a parsed file.
std::expected<V1Model, LoadError> build_model(const st::SafetensorsFile& file);

}  // namespace vorpel::v1
