// Texts of the second-generation model errors.
#include "vorpel/v2/errors.hpp"

namespace vorpel::v2 {

std::string message(ModelError e) {
  switch (e) {
    case ModelError::HeadCounts: return "head counts must be non-zero";
    case ModelError::HeadsNotDivisible: return "num_heads must be divisible by num_kv_heads";
    case ModelError::HeadDimOdd: return "head_dim must be even (RoPE rotates half-splits)";
    case ModelError::WidthsZero: return "d_model, mhc_lanes and num_layers must be non-zero";
    case ModelError::HadaN: return "hada_n must be a power of two at or above d_model";
    case ModelError::VocabOrContextZero: return "vocab_size and max_seq_len must be non-zero";
    case ModelError::EngramIncomplete: return "engram geometry incomplete";
    case ModelError::TablesNotDivisible: return "num_tables must be divisible by the order count";
    case ModelError::EngramSiteBeyondLayers: return "engram site beyond num_layers";
    case ModelError::EngramFetchedWidth: return "engram fetched_dim must equal d_model";
    case ModelError::LayerCount: return "layer count does not match num_layers";
    case ModelError::EngramCount: return "engram count does not match site count";
    case ModelError::FinalNormWidth: return "final_norm width does not match d_model";
    case ModelError::HadaNotRounded: return "hada_n is not d_model rounded up to a power of two";
    case ModelError::EmbeddingShape: return "embedding shape does not match geometry";
    case ModelError::MhcA: return "mhc a_* length does not match num_layers";
    case ModelError::MhcB: return "mhc b_* length does not match num_layers x lanes";
    case ModelError::MhcPhiRows: return "mhc phi_* row count does not match num_layers x lanes";
    case ModelError::MhcPhiWidth: return "mhc phi_* width does not match lanes x d_model";
    case ModelError::HadamardDiagonal: return "HadamardMLP diagonal width does not match hada_n";
    case ModelError::QkNormWidth: return "q_norm/k_norm width does not match head_dim";
    case ModelError::EngramTaps: return "engram taps shape does not match conv_taps x d_model";
    case ModelError::EngramTableWidth: return "engram table width does not match sub_dim";
    case ModelError::NormWidths: return "norm_in/post_norm/pre_hada width does not match d_model";
    case ModelError::AttnGate: return "attn_gate must hold exactly one value";
    case ModelError::ProjectionShape: return "attention projection shape does not match geometry";
    case ModelError::EngramProjectionShape: return "engram projection shape does not match geometry";
    case ModelError::HeadProbes: return "head probes shape does not match num_probes * d_model";
    case ModelError::HeadProj: return "head proj shape does not match out_dim * num_probes * d_model";
    case ModelError::HeadBias: return "head bias length does not match out_dim";
  }
  return "model does not match its geometry";
}

std::string message(StepError e) {
  switch (e) {
    case StepError::SequenceTooLong: return "sequence exceeds max_seq_len";
    case StepError::TokenOutsideVocab: return "token id outside vocabulary";
    case StepError::LogitsLength: return "logits buffer is not vocab_size long";
  }
  return "step failed";
}

}  // namespace vorpel::v2
