// The V2Engine class: the second-generation engine's method table over the
// shared binding frame, and the conversion of its results.
#include <string>
#include <utility>
#include <vector>

#include "classes.hpp"
#include "frame.hpp"
#include "vorpel/v2_engine/v2_engine.hpp"

namespace vorpel::py {
namespace {

using vorpel::v2::V2Engine;

PyObject* v2_load(Call& c) { return wrap_loaded(c, V2Engine::load(c.text(0))); }

PyObject* v2_from_bytes(Call& c) { return wrap_loaded(c, V2Engine::from_bytes(std::move(c.bytes(0)))); }

PyObject* v2_run(Call& c) { return to_str(c.engine<V2Engine>().run(c.text(0), c.text(1), c.hooks())); }

PyObject* v2_run_json(Call& c) { return to_opt_str(c.engine<V2Engine>().run_json(c.text(0), c.text(1), c.hooks())); }

PyObject* v2_generate(Call& c) {
  const auto opt = generation_options<vorpel::v2::GenerateOptions>(c);
  const vorpel::v2::GenerationResult r = c.engine<V2Engine>().generate(c.text(0), c.text(1), opt, c.hooks());
  return to_dict(to_record(r));
}

PyObject* v2_run_stream(Call& c) {
  PyObject* callback = c.callable(2);
  const vorpel::v2::StreamCallback on_token = [callback](uint32_t token_id, std::string_view piece) {
    Ref id(to_int(token_id));
    Ref text(to_str(piece));
    invoke_callback(callback, PyTuple_Pack(2, id.get(), text.get()));
  };
  return to_str(c.engine<V2Engine>().run_stream(c.text(0), c.text(1), on_token, c.hooks()));
}

PyObject* v2_run_batch(Call& c) {
  const std::vector<std::string> out = c.engine<V2Engine>().run_batch(c.text_pairs(0), c.hooks());
  Ref list(checked(PyList_New(static_cast<Py_ssize_t>(out.size()))));
  for (size_t i = 0; i < out.size(); ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_str(out[i]));
  return list.release();
}

PyObject* v2_encode_contrastive(Call& c) {
  const auto emb = c.engine<V2Engine>().encode_contrastive(c.text(0), c.hooks());
  if (!emb) return none();
  return to_float_list(*emb);
}

PyObject* v2_contrastive_dim(Call& c) { return to_int(c.engine<V2Engine>().contrastive_dim()); }

PyObject* opt_float(const std::optional<float>& v) { return v ? to_float(*v) : none(); }

PyObject* v2_confidence_for(Call& c) {
  return opt_float(c.engine<V2Engine>().confidence_for(c.text(0), c.text(1), c.text(2), c.hooks()));
}

PyObject* v2_confidence(Call& c) { return opt_float(c.engine<V2Engine>().confidence(c.text(0), c.hooks())); }

PyObject* v2_confidence_probability(Call& c) {
  return opt_float(c.engine<V2Engine>().confidence_probability(c.text(0), c.hooks()));
}

PyObject* v2_retrieve_tools(Call& c) {
  return to_ranking(c.engine<V2Engine>().retrieve_tools(c.text(0), c.text_seq(1), c.count(2), c.hooks()));
}

PyObject* v2_config(Call& c) { return to_dict(to_record(c.engine<V2Engine>().config())); }

constexpr Param kTrovPath[] = {required("trov_path", Kind::Text)};
constexpr Param kTrovBytes[] = {required("trov_bytes", Kind::Bytes)};
constexpr Param kQueryTools[] = {required("query", Kind::Text), required("tools_json", Kind::Text)};
constexpr Param kGenerate[] = {
    required("query", Kind::Text),      required("tools_json", Kind::Text), with_count("max_new_tokens", 128),
    with_real("temperature", 0.0),      with_count("seed", 0),              with_none("system", Kind::OptText),
    with_flag("constrain", false),
};
constexpr Param kStream[] = {required("query", Kind::Text), required("tools_json", Kind::Text),
                             required("callback", Kind::Callable)};
constexpr Param kExamples[] = {required("examples", Kind::TextPairSeq)};
constexpr Param kText[] = {required("text", Kind::Text)};
constexpr Param kConfidenceFor[] = {required("query", Kind::Text), required("tools_json", Kind::Text),
                                    required("completion", Kind::Text)};
constexpr Param kRetrieve[] = {required("query", Kind::Text), required("tool_descriptions", Kind::TextSeq),
                               required("top_k", Kind::Count)};

constexpr MethodSpec kMethods[] = {
    {"load", true, kTrovPath, "Load a `.trov` model from disk.", &v2_load},
    {"from_bytes", true, kTrovBytes, "Load a `.trov` model from an in-memory image.", &v2_from_bytes},
    {"run", false, kQueryTools, "Greedy tool call. Returns the full decoded text.", &v2_run},
    {"run_json", false, kQueryTools, "Just the `<tool_call>` payload, or None if the model emitted no call.",
     &v2_run_json},
    {"generate", false, kGenerate,
     "Generation with explicit settings.\n"
     "\n"
     "Returns a dict: `text`, `tool_call`, `thinking`, `token_ids`,\n"
     "`prompt_tokens`, `stop_reason`.",
     &v2_generate},
    {"run_stream", false, kStream, "Streaming generation. `callback(token_id: int, piece: str)` per token.",
     &v2_run_stream},
    {"run_batch", false, kExamples, "Run several queries in sequence, reusing one KV cache.", &v2_run_batch},
    {"encode_contrastive", false, kText, "L2-normalised contrastive embedding, or None without such a head.",
     &v2_encode_contrastive},
    {"contrastive_dim", false, {}, "Width of the contrastive embedding (0 if absent).", &v2_contrastive_dim},
    {"confidence_for", false, kConfidenceFor,
     "Probability in (0, 1) that `completion` is the right answer for this\n"
     "query, or None without a confidence head.\n"
     "\n"
     "The confidence head scores a judgement already made, so it needs the\n"
     "completion: pass what `run()` returned. Gate on it \u2014 act above a\n"
     "threshold you pick, escalate below it.",
     &v2_confidence_for},
    {"confidence", false, kText,
     "Raw confidence logit for an arbitrary string, or None without the head.\n"
     "\n"
     "The primitive. A bare query reads near zero however answerable it is,\n"
     "because the completion is what gets scored \u2014 prefer `confidence_for`.",
     &v2_confidence},
    {"confidence_probability", false, kText, "`confidence()` as a probability in (0, 1).",
     &v2_confidence_probability},
    {"retrieve_tools", false, kRetrieve, "Rank tool descriptions by cosine similarity to `query`.",
     &v2_retrieve_tools},
    {"config", false, {}, "Model geometry, as a dict.", &v2_config},
};

constexpr ClassSpec kV2Class = {
    "V2Engine",
    "Vorpel v2. A `.trov` container carries its weights, geometry and tokenizer,\n"
    "so `load` takes one path and there is no vocabulary argument.",
    kMethods,
    {},
};

}  // namespace

PyObject* make_v2_engine_type(PyObject* module) { return create_type<kV2Class>(module); }

}  // namespace vorpel::py
