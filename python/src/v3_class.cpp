// The V3Engine class: the third-generation engine's method and property
// tables over the shared binding frame, and the conversion of its results.
#include <string>
#include <utility>

#include "classes.hpp"
#include "frame.hpp"
#include "vorpel/v3_engine/v3_engine.hpp"

namespace vorpel::py {
namespace {

using vorpel::v3::V3Engine;

PyObject* v3_load(Call& c) { return wrap_loaded(c, V3Engine::load(c.text(0))); }

PyObject* v3_from_bytes(Call& c) { return wrap_loaded(c, V3Engine::from_bytes(std::move(c.bytes(0)))); }

PyObject* v3_load_with_depth(Call& c) {
  return wrap_loaded(c, V3Engine::load_with_depth(c.text(0), c.count(1)), /*value_error=*/true);
}

PyObject* v3_run(Call& c) { return to_str(c.engine<V3Engine>().run(c.text(0), c.text(1), c.hooks())); }

PyObject* v3_run_json(Call& c) { return to_opt_str(c.engine<V3Engine>().run_json(c.text(0), c.text(1), c.hooks())); }

PyObject* v3_reasoning(Call& c) { return to_opt_str(V3Engine::reasoning(c.text(0))); }

PyObject* v3_extract_tool_call(Call& c) { return to_opt_str(V3Engine::extract_tool_call(c.text(0))); }

PyObject* v3_generate(Call& c) {
  auto opt = generation_options<vorpel::v3::V3GenerateOptions>(c);
  opt.kv_int8 = c.flag(7);
  return to_dict(to_record(c.engine<V3Engine>().generate(c.text(0), c.text(1), opt, c.hooks())));
}

PyObject* v3_run_stream(Call& c) {
  PyObject* callback = c.callable(2);
  const vorpel::v3::PieceCallback on_piece = [callback](std::string_view piece) {
    Ref text(to_str(piece));
    invoke_callback(callback, PyTuple_Pack(1, text.get()));
  };
  return to_str(c.engine<V3Engine>().run_stream(c.text(0), c.text(1), on_piece, c.hooks()));
}

PyObject* v3_has_confidence(Call& c) { return to_bool(c.engine<V3Engine>().has_confidence()); }

PyObject* opt_float(const std::optional<float>& v) { return v ? to_float(*v) : none(); }

PyObject* v3_confidence_for(Call& c) {
  return opt_float(c.engine<V3Engine>().confidence_for(c.text(0), c.text(1), c.text(2), c.hooks()));
}

PyObject* v3_run_scored(Call& c) {
  auto [result, confidence] = c.engine<V3Engine>().run_scored(c.text(0), c.text(1), c.hooks());
  Ref dict(to_dict(scored_record(result)));
  Ref conf(opt_float(confidence));
  return checked(PyTuple_Pack(2, dict.get(), conf.get()));
}

PyObject* v3_kv_bytes(Call& c) {
  const auto bytes = c.engine<V3Engine>().kv_bytes(c.count(0), c.flag(1));
  if (!bytes) {
    PyErr_SetString(PyExc_OverflowError, "kv_bytes does not fit in 128 bits");
    return nullptr;
  }
  return to_int128(*bytes);
}

PyObject* v3_num_layers(Call& c) { return to_int(c.engine<V3Engine>().num_layers()); }
PyObject* v3_max_seq_len(Call& c) { return to_int(c.engine<V3Engine>().max_seq_len()); }

constexpr Param kTrovPath[] = {required("trov_path", Kind::Text)};
constexpr Param kTrovBytes[] = {required("trov_bytes", Kind::Bytes)};
constexpr Param kQueryTools[] = {required("query", Kind::Text), required("tools_json", Kind::Text)};
constexpr Param kText[] = {required("text", Kind::Text)};
constexpr Param kDepth[] = {required("path", Kind::Text), required("layers", Kind::Count)};
constexpr Param kGenerate[] = {
    required("query", Kind::Text), required("tools_json", Kind::Text), with_count("max_new_tokens", 0),
    with_real("temperature", 0.0), with_count("seed", 0),              with_none("system", Kind::OptText),
    with_flag("constrain", false), with_flag("kv_int8", false),
};
constexpr Param kStream[] = {required("query", Kind::Text), required("tools_json", Kind::Text),
                             required("callback", Kind::Callable)};
constexpr Param kConfidenceFor[] = {required("query", Kind::Text), required("tools_json", Kind::Text),
                                    required("completion", Kind::Text)};
constexpr Param kKvBytes[] = {required("seq_len", Kind::Count), with_flag("kv_int8", false)};

constexpr MethodSpec kMethods[] = {
    {"load", true, kTrovPath, "Load a `vorpel3.trov` model from disk.", &v3_load},
    {"from_bytes", true, kTrovBytes, "Load a `vorpel3.trov` model from an in-memory image.", &v3_from_bytes},
    {"run", false, kQueryTools, "The full completion, reasoning included.", &v3_run},
    {"run_json", false, kQueryTools,
     "Just the tool-call payload.\n"
     "\n"
     "`\"[]\"` is a deliberate abstention \u2014 the model weighed the tools and\n"
     "declined \u2014 where `None` means it emitted no `<tool_call>` markers at\n"
     "all. Treating the first as a failure turns a considered \"no\" into an\n"
     "error.",
     &v3_run_json},
    {"reasoning", true, kText, "The chain-of-thought inside a completion, if it has one.", &v3_reasoning},
    {"extract_tool_call", true, kText, "Pull the payload out of a completion you already have.",
     &v3_extract_tool_call},
    {"load_with_depth", true, kDepth,
     "Load the `layers`-block ladder rung of a container.\n"
     "\n"
     "Vorpel 3 is laddered: every depth from 2 blocks up is a trained\n"
     "subnetwork, and one file serves them all. Shallower rungs are faster\n"
     "and cost proportionally less key/value cache, at a quality cost that\n"
     "becomes severe at the bottom \u2014 on the shipped weights 2 and 4 blocks do\n"
     "not produce usable tool calls, 6 upward do.",
     &v3_load_with_depth},
    {"generate", false, kGenerate,
     "Generation with explicit settings.\n"
     "\n"
     "Returns a dict: `text`, `tool_call`, `reasoning`, `token_ids`,\n"
     "`stop_reason`, `positions`.",
     &v3_generate},
    {"run_stream", false, kStream,
     "Generate, calling `callback(piece)` with each decoded delta.\n"
     "\n"
     "The callback receives decoded text, not raw tokenizer pieces:\n"
     "concatenating every delta reproduces the return value exactly.",
     &v3_run_stream},
    {"has_confidence", false, {}, "Whether this container carries a confidence head.", &v3_has_confidence},
    {"confidence_for", false, kConfidenceFor,
     "How confident the model is in a completion it produced.\n"
     "\n"
     "Pass the **completion**, not the query. The head scores a finished\n"
     "judgement. On the shipped checkpoint a correct call scores 0.93 and a\n"
     "wrong one 0.26 \u2014 but a bare query scores 0.80, which looks like a\n"
     "confident answer and is not one. v2 collapsed to near zero on a bare\n"
     "query, so that misuse announced itself; v3's does not.",
     &v3_confidence_for},
    {"run_scored", false, kQueryTools, "Generate, then score what was generated. Returns `(result, confidence)`.",
     &v3_run_scored},
    {"kv_bytes", false, kKvBytes,
     "Key/value cache bytes for a session of `seq_len` positions.\n"
     "\n"
     "Sized to the session rather than to the context limit, so this is what\n"
     "a run actually costs \u2014 useful when deciding whether one fits. Pass\n"
     "`kv_int8=True` to get the figure for the cache `generate(kv_int8=True)`\n"
     "allocates; it is 27% of the f32 figure rather than 25%, because each\n"
     "stored head vector also carries a scale.",
     &v3_kv_bytes},
};

constexpr PropertySpec kProperties[] = {
    {"num_layers", "How many blocks this engine is running.", &v3_num_layers},
    {"max_seq_len", "Context limit in tokens.", &v3_max_seq_len},
};

constexpr ClassSpec kV3Class = {
    "V3Engine",
    "Vorpel 3.\n"
    "\n"
    "Mirrors `V2Engine` so switching generations is a class swap, with two\n"
    "differences that follow from the model rather than from taste:\n"
    "\n"
    "* No `encode_contrastive` or `retrieve_tools`. v3 exports a confidence head\n"
    "  and nothing else, so they would return empty on every call.\n"
    "* `reasoning()`, because v3 emits a `<think>` block on essentially every\n"
    "  query. v2 does so only sometimes, so the block is not a generation marker.",
    kMethods,
    kProperties,
};

}  // namespace

PyObject* make_v3_engine_type(PyObject* module) { return create_type<kV3Class>(module); }

}  // namespace vorpel::py
