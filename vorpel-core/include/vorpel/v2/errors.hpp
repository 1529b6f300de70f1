// Error values of the second-generation model: the checks of a loaded model
// against its geometry, and the preconditions of a step or prompt pass.
#pragma once

#include <cstdint>
#include <string>

namespace vorpel::v2 {

enum class ModelError : uint8_t {
  HeadCounts,
  HeadsNotDivisible,
  HeadDimOdd,
  WidthsZero,
  HadaN,
  VocabOrContextZero,
  EngramIncomplete,
  TablesNotDivisible,
  EngramSiteBeyondLayers,
  EngramFetchedWidth,
  LayerCount,
  EngramCount,
  FinalNormWidth,
  HadaNotRounded,
  EmbeddingShape,
  MhcA,
  MhcB,
  MhcPhiRows,
  MhcPhiWidth,
  HadamardDiagonal,
  QkNormWidth,
  EngramTaps,
  EngramTableWidth,
  NormWidths,
  AttnGate,
  ProjectionShape,
  EngramProjectionShape,
  HeadProbes,
  HeadProj,
  HeadBias,
};
std::string message(ModelError e);

enum class StepError : uint8_t {
  SequenceTooLong,   // "sequence exceeds max_seq_len"
  TokenOutsideVocab, // "token id outside vocabulary"
  LogitsLength,      // "logits buffer is not vocab_size long"
};
std::string message(StepError e);

}  // namespace vorpel::v2
