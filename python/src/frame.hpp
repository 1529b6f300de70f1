// The binding frame shared by the engine classes: a class is a constant table
// of methods (parameters with kinds and defaults, docstring, handler); the
// frame binds and converts arguments, takes shared access to the wrapped
// engine, maps C++ failures to Python exceptions and builds the heap type.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <array>
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

#include "vorpel/engine/call_hooks.hpp"
#include "vorpel/engine/load_error.hpp"
#include "vorpel/engine/record.hpp"

namespace vorpel::py {

// Per-module state (multi-phase initialisation keeps it in the module object).
struct ModuleState {
  PyObject* panic_exception = nullptr;  // vorpel_rs.PanicException (a BaseException)
  PyObject* sequence_abc = nullptr;     // collections.abc.Sequence, imported on first use
  PyObject* types[3] = {nullptr, nullptr, nullptr};  // VorpelEngine, V2Engine, V3Engine
};

// Thrown inside the frame when a Python error is already set (a failed C-API
// call, a KeyboardInterrupt from a callback or a signal handler); the
// boundary returns NULL with that error in place.
struct PyErrorRaised {};

// Calls a C-API constructor's result through: NULL with an error set becomes
// PyErrorRaised, NULL without one is an internal fatal error.
PyObject* checked(PyObject* obj);

// Owned reference.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* obj) : obj_(obj) {}
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  ~Ref() { Py_XDECREF(obj_); }
  PyObject* get() const { return obj_; }
  PyObject* release() { return std::exchange(obj_, nullptr); }
  explicit operator bool() const { return obj_ != nullptr; }

 private:
  PyObject* obj_ = nullptr;
};

// ---- parameter kinds and converted values ---------------------------------

enum class Kind : uint8_t {
  Text,          // str -> UTF-8 std::string
  OptText,       // None or str -> std::optional<std::string>
  Bytes,         // bytes only -> std::vector<uint8_t>
  Count,         // any integer index -> uint64_t
  Real,          // anything float() accepts -> float
  Flag,          // bool or numpy bool -> bool
  Callable,      // any object, held for the call
  TextSeq,       // Sequence (not str) of str -> std::vector<std::string>
  TextPairSeq,   // Sequence of 2-tuples of str -> std::vector<std::pair<...>>
};

struct Default {
  enum class Type : uint8_t { Required, None, Count, Real, Flag };
  Type type = Type::Required;
  uint64_t count = 0;
  double real = 0.0;
  bool flag = false;
};

struct Param {
  const char* name;
  Kind kind;
  Default def{};
};

constexpr Param required(const char* name, Kind kind) { return {name, kind, {}}; }
constexpr Param with_none(const char* name, Kind kind) { return {name, kind, {Default::Type::None}}; }
constexpr Param with_count(const char* name, uint64_t v) { return {name, Kind::Count, {Default::Type::Count, v}}; }
constexpr Param with_real(const char* name, double v) { return {name, Kind::Real, {Default::Type::Real, 0, v}}; }
constexpr Param with_flag(const char* name, bool v) {
  return {name, Kind::Flag, {Default::Type::Flag, 0, 0.0, v}};
}

using TextPairs = std::vector<std::pair<std::string, std::string>>;
using Value = std::variant<std::monostate, std::string, std::optional<std::string>, std::vector<uint8_t>, uint64_t,
                           float, bool, PyObject* /* borrowed callable */, std::vector<std::string>, TextPairs>;

// ---- the wrapper object ----------------------------------------------------

// Every engine class has this layout; the engine itself is type-erased.
struct EngineObject {
  PyObject_HEAD
  std::atomic<Py_ssize_t> borrow;  // 0 idle, >0 shared holders, -1 exclusive (never taken)
  void* engine;
  void (*destroy)(void*);
};

class Call;
using Handler = PyObject* (*)(Call& call);

struct MethodSpec {
  const char* name;
  bool is_static;
  std::span<const Param> params;
  const char* doc;  // body only; the text-signature line is generated from `params`
  Handler handler;
};

struct PropertySpec {
  const char* name;
  const char* doc;
  Handler getter;  // called with shared access and no arguments
};

struct ClassSpec {
  const char* name;  // unqualified; the module name is prepended
  const char* doc;
  std::span<const MethodSpec> methods;
  std::span<const PropertySpec> properties;
};

// One call in progress: the converted arguments and the context to act on.
class Call {
 public:
  Call(ModuleState* state, PyTypeObject* cls, EngineObject* self, std::vector<Value>&& values)
      : state_(state), cls_(cls), self_(self), values_(std::move(values)) {}

  template <class E>
  const E& engine() const {
    return *static_cast<const E*>(engine_ptr());
  }

  const std::string& text(size_t i) const { return std::get<std::string>(values_.at(i)); }
  const std::optional<std::string>& opt_text(size_t i) const {
    return std::get<std::optional<std::string>>(values_.at(i));
  }
  std::vector<uint8_t>& bytes(size_t i) { return std::get<std::vector<uint8_t>>(values_.at(i)); }
  uint64_t count(size_t i) const { return std::get<uint64_t>(values_.at(i)); }
  float real(size_t i) const { return std::get<float>(values_.at(i)); }
  bool flag(size_t i) const { return std::get<bool>(values_.at(i)); }
  PyObject* callable(size_t i) const { return std::get<PyObject*>(values_.at(i)); }
  const std::vector<std::string>& text_seq(size_t i) const { return std::get<std::vector<std::string>>(values_.at(i)); }
  const TextPairs& text_pairs(size_t i) const { return std::get<TextPairs>(values_.at(i)); }

  // Hooks for the engine: between prompt chunks and tokens, run pending signal
  // handlers and abandon the call if one raised (Ctrl-C).
  CallHooks hooks() const;

  // Wraps a freshly loaded engine in a new instance of this call's class.
  template <class E>
  PyObject* wrap(E&& engine) {
    auto owned = std::make_unique<std::decay_t<E>>(std::forward<E>(engine));
    PyObject* obj = new_instance(owned.get(), [](void* p) { delete static_cast<std::decay_t<E>*>(p); });
    owned.release();
    return obj;
  }

  ModuleState* state() const { return state_; }

 private:
  const void* engine_ptr() const;
  PyObject* new_instance(void* engine, void (*destroy)(void*));

  ModuleState* state_;
  PyTypeObject* cls_;
  EngineObject* self_;
  std::vector<Value> values_;
};

// The generation settings the decoder-only classes take after (query,
// tools_json): max_new_tokens, temperature, seed, system, constrain.
template <class Options>
Options generation_options(const Call& c) {
  Options opt;
  opt.max_new_tokens = c.count(2);
  opt.temperature = c.real(3);
  opt.seed = c.count(4);
  opt.system = c.opt_text(5);
  opt.constrain = c.flag(6);
  return opt;
}

// ---- result conversion -------------------------------------------------------

PyObject* to_str(std::string_view s);  // UTF-8, invalid bytes replaced
PyObject* to_opt_str(const std::optional<std::string>& s);
PyObject* to_int(uint64_t v);
PyObject* to_int128(unsigned __int128 v);  // exact, any size
PyObject* to_float(double v);
PyObject* to_bool(bool v);
PyObject* none();
PyObject* to_float_list(std::span<const float> v);
// Ranked (index, score) pairs as a list of 2-tuples.
PyObject* to_ranking(const std::vector<std::pair<uint64_t, float>>& ranked);

// A result record as a dict, keys in record order.
PyObject* to_dict(const engine::Record& r);
PyObject* to_py(const engine::Value& v);

// Builds a dict in insertion order; each add() steals the value reference.
class DictBuilder {
 public:
  DictBuilder();
  DictBuilder& add(const char* key, PyObject* value);
  PyObject* release() { return dict_.release(); }

 private:
  Ref dict_;
};

// Load failures are OSError carrying the message only (no errno, no file name).
PyObject* raise_os_error(std::string_view message);
PyObject* raise_value_error(std::string_view message);

// A loader's engine wrapped in a new instance of the call's class, or its
// error raised with the loader's text: OSError (load, from_bytes) or
// ValueError (load_with_depth). A path with a NUL byte fails in the file layer.
template <class E>
PyObject* wrap_loaded(Call& c, std::expected<E, LoadError>&& loaded, bool value_error = false) {
  if (!loaded) {
    const std::string text = vorpel::message(loaded.error());
    return value_error ? raise_value_error(text) : raise_os_error(text);
  }
  return c.wrap(std::move(*loaded));
}

// The streaming callback protocol: the callback's result is ignored and its
// exceptions are discarded, except KeyboardInterrupt, which ends the call.
void invoke_callback(PyObject* callback, PyObject* args_tuple_stolen);

// ---- type creation -----------------------------------------------------------

// Every method is a plain METH_FASTCALL | METH_KEYWORDS function. Instance
// methods take the module state from the type of `self` (the classes cannot
// be subclassed, so that is the defining class); METH_METHOD is avoided
// because the interpreter shows no docstring on the bound methods it makes
// from it. Static methods are bound to the class object itself, which
// arrives as their first argument.
using Trampoline = PyObject* (*)(PyObject*, PyObject* const*, Py_ssize_t, PyObject*);

PyObject* dispatch(const ClassSpec& cls_spec, const MethodSpec& method, PyObject* self_or_cls,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);

PyObject* create_type(PyObject* module, const ClassSpec& spec, std::span<const Trampoline> trampolines);

namespace detail {
template <const ClassSpec& C, size_t I>
PyObject* trampoline(PyObject* self_or_cls, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return dispatch(C, C.methods[I], self_or_cls, args, nargs, kwnames);
}
template <const ClassSpec& C, size_t... I>
constexpr auto trampolines(std::index_sequence<I...>) {
  return std::array<Trampoline, sizeof...(I)>{&trampoline<C, I>...};
}
}  // namespace detail

// Builds the heap type of a constant class table (a new reference).
template <const ClassSpec& C>
PyObject* create_type(PyObject* module) {
  static constexpr auto kTrampolines = detail::trampolines<C>(std::make_index_sequence<C.methods.size()>{});
  return create_type(module, C, kTrampolines);
}

ModuleState* module_state(PyObject* module);

}  // namespace vorpel::py
