// The VorpelEngine class: the first-generation engine's method table over the
// shared binding frame, and the conversion of its results.
#include <string>
#include <utility>
#include <vector>

#include "classes.hpp"
#include "frame.hpp"
#include "vorpel/v1_engine/v1_engine.hpp"

namespace vorpel::py {
namespace {

using vorpel::v1::V1Engine;

PyObject* v1_load(Call& c) { return wrap_loaded(c, V1Engine::load(c.text(0), c.text(1))); }

PyObject* v1_from_bytes(Call& c) { return wrap_loaded(c, V1Engine::from_bytes(std::move(c.bytes(0)), c.text(1))); }

PyObject* v1_run(Call& c) { return to_str(c.engine<V1Engine>().run(c.text(0), c.text(1), c.hooks())); }

PyObject* v1_run_stream(Call& c) {
  PyObject* callback = c.callable(2);
  const vorpel::v1::StreamCallback on_token = [callback](uint32_t token_id, std::string_view piece) {
    Ref id(to_int(token_id));
    Ref text(to_str(piece));
    invoke_callback(callback, PyTuple_Pack(2, id.get(), text.get()));
  };
  return to_str(c.engine<V1Engine>().run_stream(c.text(0), c.text(1), on_token, c.hooks()));
}

PyObject* v1_run_batch(Call& c) {
  const std::vector<std::string> out = c.engine<V1Engine>().run_batch(c.text_pairs(0), c.hooks());
  Ref list(checked(PyList_New(static_cast<Py_ssize_t>(out.size()))));
  for (size_t i = 0; i < out.size(); ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_str(out[i]));
  return list.release();
}

PyObject* v1_encode_contrastive(Call& c) {
  const auto emb = c.engine<V1Engine>().encode_contrastive(c.text(0), c.hooks());
  if (!emb) return none();
  return to_float_list(*emb);
}

PyObject* v1_contrastive_dim(Call& c) { return to_int(c.engine<V1Engine>().contrastive_dim()); }

PyObject* v1_retrieve_tools(Call& c) {
  return to_ranking(c.engine<V1Engine>().retrieve_tools(c.text(0), c.text_seq(1), c.count(2), c.hooks()));
}

constexpr Param kPaths[] = {required("weights_path", Kind::Text), required("vocab_path", Kind::Text)};
constexpr Param kBytes[] = {required("weights_bytes", Kind::Bytes), required("vocab_text", Kind::Text)};
constexpr Param kQueryTools[] = {required("query", Kind::Text), required("tools_json", Kind::Text)};
constexpr Param kStream[] = {required("query", Kind::Text), required("tools_json", Kind::Text),
                             required("callback", Kind::Callable)};
constexpr Param kExamples[] = {required("examples", Kind::TextPairSeq)};
constexpr Param kText[] = {required("text", Kind::Text)};
constexpr Param kRetrieve[] = {required("query", Kind::Text), required("tool_descriptions", Kind::TextSeq),
                               required("top_k", Kind::Count)};

constexpr MethodSpec kMethods[] = {
    {"load", true, kPaths, "Load from file paths.", &v1_load},
    {"from_bytes", true, kBytes, "Load from in-memory bytes (useful when the caller already has the weights buffered).",
     &v1_from_bytes},
    {"run", false, kQueryTools, "Run inference and return the final JSON tool-call string.", &v1_run},
    {"run_stream", false, kStream,
     "Run inference with a per-token callback, return the final JSON string.\n"
     "\n"
     "`callback` is called as `callback(token_id: int, piece: str)` for each\n"
     "generated token piece. The return value is the same post-processed string\n"
     "as `run()`.",
     &v1_run_stream},
    {"run_batch", false, kExamples,
     "Run inference on a batch of (query, tools_json) pairs.\n"
     "\n"
     "Returns a list of result strings in the same order as the input.",
     &v1_run_batch},
    {"encode_contrastive", false, kText,
     "Return the L2-normalised contrastive embedding for `text`, or None if\n"
     "the loaded weights have no contrastive head.",
     &v1_encode_contrastive},
    {"contrastive_dim", false, {}, "Dimension of the contrastive embedding (0 if no contrastive head).",
     &v1_contrastive_dim},
    {"retrieve_tools", false, kRetrieve,
     "Rank `tool_descriptions` by cosine similarity to `query`.\n"
     "\n"
     "Returns a list of `(index, score)` tuples sorted by descending score,\n"
     "truncated to `top_k`. Returns an empty list if no contrastive head is\n"
     "present in the loaded weights.",
     &v1_retrieve_tools},
};

constexpr ClassSpec kV1Class = {"VorpelEngine", "", kMethods, {}};

}  // namespace

PyObject* make_vorpel_engine_type(PyObject* module) { return create_type<kV1Class>(module); }

}  // namespace vorpel::py
