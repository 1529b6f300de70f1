// Argument binding and conversion, shared access, error mapping and heap-type
// creation for the engine classes described by constant method tables.
#include "frame.hpp"

#include <cstring>
#include <exception>
#include <map>
#include <new>
#include <type_traits>

#include "vorpel/core/panic.hpp"

namespace vorpel::py {

ModuleState* module_state(PyObject* module) { return static_cast<ModuleState*>(PyModule_GetState(module)); }

PyObject* checked(PyObject* obj) {
  if (obj == nullptr) {
    if (PyErr_Occurred()) throw PyErrorRaised{};
    panic("the interpreter could not create an object");
  }
  return obj;
}

// ---- result conversion -------------------------------------------------------

PyObject* to_str(std::string_view s) {
  return checked(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "replace"));
}

PyObject* to_opt_str(const std::optional<std::string>& s) { return s ? to_str(*s) : none(); }

PyObject* to_int(uint64_t v) { return checked(PyLong_FromUnsignedLongLong(v)); }

PyObject* to_int128(unsigned __int128 v) {
  if (v <= UINT64_MAX) return to_int(static_cast<uint64_t>(v));
  Ref hi(to_int(static_cast<uint64_t>(v >> 64)));
  Ref shift(to_int(64));
  Ref shifted(checked(PyNumber_Lshift(hi.get(), shift.get())));
  Ref lo(to_int(static_cast<uint64_t>(v)));
  return checked(PyNumber_Or(shifted.get(), lo.get()));
}

PyObject* to_float(double v) { return checked(PyFloat_FromDouble(v)); }

PyObject* to_bool(bool v) { return PyBool_FromLong(v ? 1 : 0); }

PyObject* none() { Py_RETURN_NONE; }

PyObject* to_float_list(std::span<const float> v) {
  Ref list(checked(PyList_New(static_cast<Py_ssize_t>(v.size()))));
  for (size_t i = 0; i < v.size(); ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_float(v[i]));
  return list.release();
}

PyObject* to_py(const engine::Value& v) {
  return std::visit(
      [](const auto& x) -> PyObject* {
        using T = std::decay_t<decltype(x)>;
        if constexpr (std::is_same_v<T, engine::None>) {
          return none();
        } else if constexpr (std::is_same_v<T, std::string>) {
          return to_str(x);
        } else if constexpr (std::is_same_v<T, bool>) {
          return to_bool(x);
        } else if constexpr (std::is_same_v<T, uint64_t>) {
          return to_int(x);
        } else if constexpr (std::is_same_v<T, float>) {
          return to_float(x);
        } else {
          Ref list(checked(PyList_New(static_cast<Py_ssize_t>(x.size()))));
          for (size_t i = 0; i < x.size(); ++i) PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), to_int(x[i]));
          return list.release();
        }
      },
      v);
}

PyObject* to_dict(const engine::Record& r) {
  DictBuilder d;
  for (const engine::Field& f : r) d.add(std::string(f.key).c_str(), to_py(f.value));
  return d.release();
}

PyObject* to_ranking(const std::vector<std::pair<uint64_t, float>>& ranked) {
  Ref list(checked(PyList_New(static_cast<Py_ssize_t>(ranked.size()))));
  for (size_t i = 0; i < ranked.size(); ++i) {
    Ref index(to_int(ranked[i].first));
    Ref score(to_float(ranked[i].second));
    PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), checked(PyTuple_Pack(2, index.get(), score.get())));
  }
  return list.release();
}

DictBuilder::DictBuilder() : dict_(checked(PyDict_New())) {}

DictBuilder& DictBuilder::add(const char* key, PyObject* value) {
  Ref v(value);
  if (PyDict_SetItemString(dict_.get(), key, v.get()) < 0) throw PyErrorRaised{};
  return *this;
}

PyObject* raise_os_error(std::string_view message) {
  Ref msg(to_str(message));
  PyErr_SetObject(PyExc_OSError, msg.get());
  return nullptr;
}

PyObject* raise_value_error(std::string_view message) {
  Ref msg(to_str(message));
  PyErr_SetObject(PyExc_ValueError, msg.get());
  return nullptr;
}

void invoke_callback(PyObject* callback, PyObject* args_tuple_stolen) {
  Ref args(checked(args_tuple_stolen));
  Ref result(PyObject_Call(callback, args.get(), nullptr));
  if (!result) {
    if (PyErr_ExceptionMatches(PyExc_KeyboardInterrupt)) throw PyErrorRaised{};
    PyErr_Clear();
  }
}

// ---- the call context --------------------------------------------------------

CallHooks Call::hooks() const {
  return CallHooks{[] {
    if (PyErr_CheckSignals() < 0) throw PyErrorRaised{};
  }};
}

const void* Call::engine_ptr() const {
  VORPEL_CHECK(self_ != nullptr && self_->engine != nullptr, "engine object has no loaded engine");
  return self_->engine;
}

PyObject* Call::new_instance(void* engine, void (*destroy)(void*)) {
  PyObject* obj = checked(cls_->tp_alloc(cls_, 0));
  auto* e = reinterpret_cast<EngineObject*>(obj);
  new (&e->borrow) std::atomic<Py_ssize_t>(0);
  e->engine = engine;
  e->destroy = destroy;
  return obj;
}

namespace {

// ---- argument conversion -----------------------------------------------------

const char* type_name(PyObject* obj) { return Py_TYPE(obj)->tp_name; }

bool type_error_not_instance(PyObject* obj, const char* expected) {
  PyErr_Format(PyExc_TypeError, "'%.200s' object is not an instance of '%s'", type_name(obj), expected);
  return false;
}

// Lone surrogates cannot be encoded: the UnicodeEncodeError is kept.
bool utf8_of(PyObject* obj, std::string& out) {
  if (!PyUnicode_Check(obj)) return type_error_not_instance(obj, "str");
  Py_ssize_t size = 0;
  const char* data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == nullptr) return false;
  out.assign(data, static_cast<size_t>(size));
  return true;
}

bool is_numpy_bool(PyObject* obj) {
  const char* name = type_name(obj);
  return std::strcmp(name, "numpy.bool") == 0 || std::strcmp(name, "numpy.bool_") == 0;
}

// str is rejected first: it is a Sequence, but of characters, never what is meant.
bool check_sequence(ModuleState* st, PyObject* obj) {
  if (PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "Can't extract `str` to `Vec`");
    return false;
  }
  if (PyList_Check(obj) || PyTuple_Check(obj)) return true;
  if (st->sequence_abc == nullptr) {
    // The import may run Python code (an import hook) that calls back in and
    // fills the slot first; then the reference found here is dropped.
    Ref abc(PyImport_ImportModule("collections.abc"));
    if (!abc) return false;
    Ref seq(PyObject_GetAttrString(abc.get(), "Sequence"));
    if (!seq) return false;
    if (st->sequence_abc == nullptr) st->sequence_abc = seq.release();
  }
  int r = PyObject_IsInstance(obj, st->sequence_abc);
  if (r < 0) return false;
  if (r == 0) return type_error_not_instance(obj, "Sequence");
  return true;
}

// Calls item_fn on every item of a Sequence; the vector grows with the items
// actually produced, so a lying __len__ cannot force a huge allocation.
template <class F>
bool for_each_item(PyObject* seq, F&& item_fn) {
  Ref it(PyObject_GetIter(seq));
  if (!it) return false;
  while (PyObject* raw = PyIter_Next(it.get())) {
    Ref item(raw);
    if (!item_fn(item.get())) return false;
  }
  return !PyErr_Occurred();
}

bool convert(ModuleState* st, Kind kind, PyObject* obj, Value& out) {
  switch (kind) {
    case Kind::Text: {
      std::string s;
      if (!utf8_of(obj, s)) return false;
      out = std::move(s);
      return true;
    }
    case Kind::OptText: {
      if (obj == Py_None) {
        out = std::optional<std::string>{};
        return true;
      }
      std::string s;
      if (!utf8_of(obj, s)) return false;
      out = std::optional<std::string>{std::move(s)};
      return true;
    }
    case Kind::Bytes: {
      if (!PyBytes_Check(obj)) return type_error_not_instance(obj, "bytes");
      const auto* data = reinterpret_cast<const uint8_t*>(PyBytes_AS_STRING(obj));
      out = std::vector<uint8_t>(data, data + PyBytes_GET_SIZE(obj));
      return true;
    }
    case Kind::Count: {
      Ref index(PyNumber_Index(obj));
      if (!index) return false;
      unsigned long long v = PyLong_AsUnsignedLongLong(index.get());
      if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) return false;
      out = static_cast<uint64_t>(v);
      return true;
    }
    case Kind::Real: {
      Ref f(PyNumber_Float(obj));  // exactly what float(obj) accepts
      if (!f) return false;
      out = static_cast<float>(PyFloat_AS_DOUBLE(f.get()));
      return true;
    }
    case Kind::Flag: {
      if (PyBool_Check(obj)) {
        out = (obj == Py_True);
        return true;
      }
      if (!is_numpy_bool(obj)) return type_error_not_instance(obj, "bool");
      int r = PyObject_IsTrue(obj);
      if (r < 0) return false;
      out = (r == 1);
      return true;
    }
    case Kind::Callable:
      out = obj;  // borrowed: the caller's argument array keeps it alive for the call
      return true;
    case Kind::TextSeq: {
      if (!check_sequence(st, obj)) return false;
      std::vector<std::string> items;
      bool ok = for_each_item(obj, [&](PyObject* item) {
        std::string s;
        if (!utf8_of(item, s)) return false;
        items.push_back(std::move(s));
        return true;
      });
      if (!ok) return false;
      out = std::move(items);
      return true;
    }
    case Kind::TextPairSeq: {
      if (!check_sequence(st, obj)) return false;
      TextPairs pairs;
      bool ok = for_each_item(obj, [&](PyObject* item) {
        if (!PyTuple_Check(item)) return type_error_not_instance(item, "tuple");
        Py_ssize_t n = PyTuple_GET_SIZE(item);
        if (n != 2) {
          PyErr_Format(PyExc_TypeError, "expected tuple of length 2, but got tuple of length %zd", n);
          return false;
        }
        std::string a, b;
        if (!utf8_of(PyTuple_GET_ITEM(item, 0), a) || !utf8_of(PyTuple_GET_ITEM(item, 1), b)) return false;
        pairs.emplace_back(std::move(a), std::move(b));
        return true;
      });
      if (!ok) return false;
      out = std::move(pairs);
      return true;
    }
  }
  panic("unknown parameter kind");
}

Value default_value(const Param& p) {
  switch (p.def.type) {
    case Default::Type::None:
      if (p.kind == Kind::OptText) return std::optional<std::string>{};
      return static_cast<PyObject*>(Py_None);
    case Default::Type::Count:
      return p.def.count;
    case Default::Type::Real:
      return static_cast<float>(p.def.real);
    case Default::Type::Flag:
      return p.def.flag;
    case Default::Type::Required:
      break;
  }
  panic("parameter has no default");
}

// PEP 678 note on the pending exception; before 3.11 the note list is filled by hand.
void add_note(const char* param_name) {
  PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
  PyErr_Fetch(&type, &value, &tb);
  PyErr_NormalizeException(&type, &value, &tb);
  if (value != nullptr) {
    if (tb != nullptr) PyException_SetTraceback(value, tb);
    Ref note(PyUnicode_FromFormat("while processing '%s'", param_name));
    if (note) {
#if PY_VERSION_HEX >= 0x030B0000
      Ref r(PyObject_CallMethod(value, "add_note", "O", note.get()));
#else
      Ref notes(PyObject_GetAttrString(value, "__notes__"));
      if (!notes) {
        PyErr_Clear();
        notes = Ref(PyList_New(0));
        if (notes && PyObject_SetAttrString(value, "__notes__", notes.get()) < 0) notes = Ref();
      }
      if (notes && PyList_Check(notes.get())) PyList_Append(notes.get(), note.get());
#endif
    }
    PyErr_Clear();  // a failure to attach the note must not replace the real error
  }
  PyErr_Restore(type, value, tb);
}

// ---- binding -------------------------------------------------------------------

constexpr size_t kMaxParams = 16;

std::string quoted_list(const std::vector<const char*>& names) {
  std::string out;
  for (size_t i = 0; i < names.size(); ++i) {
    if (i > 0) out += names.size() == 2 ? " and " : (i + 1 == names.size() ? ", and " : ", ");
    out += "'";
    out += names[i];
    out += "'";
  }
  return out;
}

// Python's own rules and wording for a function whose parameters are all
// positional-or-keyword; `self` counts in the positional totals as it does for
// a method written in Python.
bool bind(const ClassSpec& c, const MethodSpec& m, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames,
          PyObject** bound) {
  // Only an error message needs the qualified name.
  const auto qualname = [&] { return std::string(c.name) + "." + m.name; };
  const size_t np = m.params.size();
  const size_t offset = m.is_static ? 0 : 1;
  for (size_t i = 0; i < np && i < static_cast<size_t>(nargs); ++i) bound[i] = args[i];

  const Py_ssize_t nkw = kwnames ? PyTuple_GET_SIZE(kwnames) : 0;
  for (Py_ssize_t k = 0; k < nkw; ++k) {
    PyObject* key = PyTuple_GET_ITEM(kwnames, k);
    size_t idx = np;
    for (size_t i = 0; i < np; ++i) {
      if (PyUnicode_CompareWithASCIIString(key, m.params[i].name) == 0) {
        idx = i;
        break;
      }
    }
    if (idx == np) {
      PyErr_Format(PyExc_TypeError, "%s() got an unexpected keyword argument '%S'", qualname().c_str(), key);
      return false;
    }
    if (bound[idx] != nullptr) {
      PyErr_Format(PyExc_TypeError, "%s() got multiple values for argument '%S'", qualname().c_str(), key);
      return false;
    }
    bound[idx] = args[nargs + k];
  }

  if (static_cast<size_t>(nargs) > np) {
    size_t required = 0;
    for (const Param& p : m.params) required += p.def.type == Default::Type::Required ? 1 : 0;
    const size_t max = np + offset, min = required + offset, given = static_cast<size_t>(nargs) + offset;
    std::string takes = min == max ? std::to_string(max) : "from " + std::to_string(min) + " to " + std::to_string(max);
    PyErr_Format(PyExc_TypeError, "%s() takes %s positional argument%s but %zu %s given", qualname().c_str(),
                 takes.c_str(), max == 1 && min == max ? "" : "s", given, given == 1 ? "was" : "were");
    return false;
  }

  std::vector<const char*> missing;
  for (size_t i = 0; i < np; ++i)
    if (bound[i] == nullptr && m.params[i].def.type == Default::Type::Required) missing.push_back(m.params[i].name);
  if (!missing.empty()) {
    PyErr_Format(PyExc_TypeError, "%s() missing %zu required positional argument%s: %s", qualname().c_str(),
                 missing.size(), missing.size() == 1 ? "" : "s", quoted_list(missing).c_str());
    return false;
  }
  return true;
}

// ---- shared access -------------------------------------------------------------

class SharedAccess {
 public:
  explicit SharedAccess(EngineObject* obj) : obj_(obj) {}
  bool acquire() {
    Py_ssize_t cur = obj_->borrow.load(std::memory_order_relaxed);
    for (;;) {
      if (cur == -1) {
        PyErr_SetString(PyExc_RuntimeError, "Already mutably borrowed");
        return false;
      }
      if (obj_->borrow.compare_exchange_weak(cur, cur + 1, std::memory_order_acquire, std::memory_order_relaxed)) {
        held_ = true;
        return true;
      }
    }
  }
  ~SharedAccess() {
    if (held_) obj_->borrow.fetch_sub(1, std::memory_order_release);
  }

 private:
  EngineObject* obj_;
  bool held_ = false;
};

void set_panic(ModuleState* st, std::string_view message) {
  PyObject* msg = PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace");
  if (msg == nullptr) return;  // the decoding error (MemoryError) stays set
  PyErr_SetObject(st->panic_exception, msg);
  Py_DECREF(msg);
}

// Runs a handler and maps whatever escapes it to a Python exception.
PyObject* run_handler(ModuleState* st, Handler handler, Call& call) {
  PyObject* result = nullptr;
  try {
    result = handler(call);
  } catch (const PyErrorRaised&) {
    if (!PyErr_Occurred()) set_panic(st, "internal error reported without a Python exception");
    return nullptr;
  } catch (const Panic& p) {
    set_panic(st, p.what());
    return nullptr;
  } catch (const std::exception& e) {
    set_panic(st, e.what());
    return nullptr;
  } catch (...) {
    set_panic(st, "unknown internal error");
    return nullptr;
  }
  if (result == nullptr && !PyErr_Occurred()) set_panic(st, "the interpreter could not create an object");
  return result;
}

// ---- the type ------------------------------------------------------------------

void engine_dealloc(PyObject* obj) {
  auto* e = reinterpret_cast<EngineObject*>(obj);
  PyTypeObject* tp = Py_TYPE(obj);
  if (e->engine != nullptr && e->destroy != nullptr) e->destroy(e->engine);
  e->engine = nullptr;
  tp->tp_free(obj);
  Py_DECREF(tp);
}

PyObject* engine_no_new(PyTypeObject* type, PyObject*, PyObject*) {
  Ref module(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__module__"));
  Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(type), "__name__"));
  if (!module || !name) return nullptr;
  PyErr_Format(PyExc_TypeError, "cannot create '%S.%S' instances", module.get(), name.get());
  return nullptr;
}

PyObject* property_get(PyObject* self, void* closure) {
  const auto* prop = static_cast<const PropertySpec*>(closure);
  auto* st = static_cast<ModuleState*>(PyType_GetModuleState(Py_TYPE(self)));
  if (st == nullptr) return nullptr;
  auto* obj = reinterpret_cast<EngineObject*>(self);
  SharedAccess access(obj);
  if (!access.acquire()) return nullptr;
  Call call(st, Py_TYPE(self), obj, {});
  return run_handler(st, prop->getter, call);
}

std::string default_repr(const Default& d) {
  switch (d.type) {
    case Default::Type::None:
      return "None";
    case Default::Type::Count:
      return std::to_string(d.count);
    case Default::Type::Flag:
      return d.flag ? "True" : "False";
    case Default::Type::Real: {
      char* s = PyOS_double_to_string(d.real, 'r', 0, Py_DTSF_ADD_DOT_0, nullptr);
      std::string out = s ? s : "0.0";
      PyMem_Free(s);
      return out;
    }
    case Default::Type::Required:
      break;
  }
  return {};
}

// "name($self, a, b=1)\n--\n\nBody": the interpreter reads the first part as
// __text_signature__ (so inspect.signature works) and shows the rest as __doc__.
std::string method_doc(const MethodSpec& m) {
  std::string s = m.name;
  s += "(";
  bool first = true;
  if (!m.is_static) {
    s += "$self";
    first = false;
  }
  for (const Param& p : m.params) {
    if (!first) s += ", ";
    first = false;
    s += p.name;
    if (p.def.type != Default::Type::Required) {
      s += '=';
      s += default_repr(p.def);
    }
  }
  s += ")\n--\n\n";
  s += m.doc;
  return s;
}

// Method tables and strings handed to the interpreter must outlive every type
// built from them; they are built once per class table and kept.
struct BuiltClass {
  std::string full_name;
  std::vector<std::string> docs;
  std::vector<PyMethodDef> methods;
  std::vector<PyGetSetDef> getsets;
};

BuiltClass& built_class(const ClassSpec& spec, std::span<const Trampoline> trampolines) {
  // Filled under the interpreter lock and never destroyed: types may be torn
  // down after static destructors have run.
  static auto* built = new std::map<const ClassSpec*, BuiltClass>();
  auto [it, fresh] = built->try_emplace(&spec);
  BuiltClass& b = it->second;
  if (!fresh) return b;
  b.full_name = std::string("vorpel_rs.") + spec.name;
  b.docs.reserve(spec.methods.size());
  for (const MethodSpec& m : spec.methods) {
    b.docs.push_back(method_doc(m));
    VORPEL_CHECK(m.params.size() <= kMaxParams, "too many parameters in a method table");
  }
  for (size_t i = 0; i < spec.methods.size(); ++i) {
    PyMethodDef def{};
    def.ml_name = spec.methods[i].name;
    def.ml_meth = reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(trampolines[i]));
    def.ml_flags = METH_FASTCALL | METH_KEYWORDS;
    def.ml_doc = b.docs[i].c_str();
    b.methods.push_back(def);
  }
  for (const PropertySpec& p : spec.properties) {
    PyGetSetDef g{};
    g.name = p.name;
    g.get = &property_get;
    g.doc = p.doc;
    g.closure = const_cast<PropertySpec*>(&p);
    b.getsets.push_back(g);
  }
  b.getsets.push_back(PyGetSetDef{});
  return b;
}

}  // namespace

PyObject* dispatch(const ClassSpec& cls_spec, const MethodSpec& method, PyObject* self_or_cls,
                   PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  // The method descriptor has checked that an instance method's `self` is an
  // instance of the class.
  PyTypeObject* cls = method.is_static ? reinterpret_cast<PyTypeObject*>(self_or_cls) : Py_TYPE(self_or_cls);
  auto* st = static_cast<ModuleState*>(PyType_GetModuleState(cls));
  if (st == nullptr) return nullptr;
  try {
    PyObject* bound[kMaxParams] = {};
    if (!bind(cls_spec, method, args, PyVectorcall_NARGS(nargs), kwnames, bound)) return nullptr;

    EngineObject* obj = method.is_static ? nullptr : reinterpret_cast<EngineObject*>(self_or_cls);
    SharedAccess access(obj);
    if (obj != nullptr && !access.acquire()) return nullptr;

    std::vector<Value> values(method.params.size());
    for (size_t i = 0; i < method.params.size(); ++i) {
      const Param& p = method.params[i];
      if (bound[i] == nullptr) {
        values[i] = default_value(p);
      } else if (!convert(st, p.kind, bound[i], values[i])) {
        add_note(p.name);
        return nullptr;
      }
    }
    Call call(st, cls, obj, std::move(values));
    return run_handler(st, method.handler, call);
  } catch (const std::exception& e) {  // a failure in the frame itself (allocation)
    set_panic(st, e.what());
    return nullptr;
  }
}

PyObject* create_type(PyObject* module, const ClassSpec& spec, std::span<const Trampoline> trampolines) {
  BuiltClass& b = built_class(spec, trampolines);
  PyType_Slot slots[] = {
      {Py_tp_doc, const_cast<char*>(spec.doc)},
      {Py_tp_dealloc, reinterpret_cast<void*>(&engine_dealloc)},
      {Py_tp_new, reinterpret_cast<void*>(&engine_no_new)},
      {Py_tp_getset, b.getsets.data()},
      {0, nullptr},
  };
  PyType_Spec type_spec{b.full_name.c_str(), static_cast<int>(sizeof(EngineObject)), 0, Py_TPFLAGS_DEFAULT, slots};
  Ref type(PyType_FromModuleAndSpec(module, &type_spec, nullptr));
  if (!type) return nullptr;
  auto* tp = reinterpret_cast<PyTypeObject*>(type.get());
  Ref module_name(PyUnicode_FromString("vorpel_rs"));
  if (!module_name) return nullptr;
  // Methods go into the class dict in table order, static ones wrapped in
  // staticmethod (the function keeps the class as its bound object).
  for (size_t i = 0; i < b.methods.size(); ++i) {
    Ref attr;
    if (spec.methods[i].is_static) {
      Ref fn(PyCFunction_NewEx(&b.methods[i], type.get(), module_name.get()));
      if (!fn) return nullptr;
      attr = Ref(PyStaticMethod_New(fn.get()));
    } else {
      attr = Ref(PyDescr_NewMethod(tp, &b.methods[i]));
    }
    if (!attr || PyObject_SetAttrString(type.get(), b.methods[i].ml_name, attr.get()) < 0) return nullptr;
  }
  return type.release();
}

}  // namespace vorpel::py
