// The vorpel_rs extension module: multi-phase initialisation whose execution
// step creates PanicException and the engine classes, listing the classes in
// __all__. The module has no functions or constants of its own.
#include "classes.hpp"
#include "frame.hpp"

namespace vorpel::py {
namespace {

struct ClassEntry {
  const char* name;
  int state_slot;
  PyObject* (*make)(PyObject* module);
};

// In module order: VorpelEngine (slot 0) comes before V2Engine, V3Engine (slot 2) after it.
constexpr ClassEntry kClasses[] = {
    {"VorpelEngine", 0, &make_vorpel_engine_type},
    {"V2Engine", 1, &make_v2_engine_type},
    {"V3Engine", 2, &make_v3_engine_type},
};

constexpr const char* kPanicDoc =
    "An internal fatal error of the engine (a violated bound or an unmet\n"
    "precondition). Derives from BaseException, so `except Exception` does not\n"
    "catch it.";

int add_ref(PyObject* module, const char* name, PyObject* value) {
  Py_INCREF(value);
  if (PyModule_AddObject(module, name, value) < 0) {
    Py_DECREF(value);
    return -1;
  }
  return 0;
}

int module_exec(PyObject* module) {
  ModuleState* st = module_state(module);
  st->panic_exception = PyErr_NewExceptionWithDoc("vorpel_rs.PanicException", kPanicDoc, PyExc_BaseException, nullptr);
  if (st->panic_exception == nullptr || add_ref(module, "PanicException", st->panic_exception) < 0) return -1;

  Ref all(PyList_New(0));
  if (!all || add_ref(module, "__all__", all.get()) < 0) return -1;
  for (const ClassEntry& c : kClasses) {
    PyObject* type = c.make(module);
    if (type == nullptr) return -1;
    st->types[c.state_slot] = type;  // the state keeps this reference
    Ref name(PyUnicode_FromString(c.name));
    if (!name || add_ref(module, c.name, type) < 0 || PyList_Append(all.get(), name.get()) < 0) return -1;
  }
  return 0;
}

int module_traverse(PyObject* module, visitproc visit, void* arg) {
  ModuleState* st = module_state(module);
  if (st == nullptr) return 0;
  Py_VISIT(st->panic_exception);
  Py_VISIT(st->sequence_abc);
  for (PyObject* t : st->types) Py_VISIT(t);
  return 0;
}

int module_clear(PyObject* module) {
  ModuleState* st = module_state(module);
  if (st == nullptr) return 0;
  Py_CLEAR(st->panic_exception);
  Py_CLEAR(st->sequence_abc);
  for (PyObject*& t : st->types) Py_CLEAR(t);
  return 0;
}

void module_free(void* module) { module_clear(static_cast<PyObject*>(module)); }

PyModuleDef_Slot kSlots[] = {
    {Py_mod_exec, reinterpret_cast<void*>(&module_exec)},
    {0, nullptr},
};

PyModuleDef kModuleDef = {
    PyModuleDef_HEAD_INIT,
    "vorpel_rs",
    "CPU inference engine for small tool-calling language models.\n"
    "\n"
    "Internal fatal errors raise `vorpel_rs.PanicException`, which derives from\n"
    "BaseException. Text arguments must be encodable as UTF-8: a str holding a\n"
    "lone surrogate raises UnicodeEncodeError naming the argument in a note.",
    static_cast<Py_ssize_t>(sizeof(ModuleState)),
    nullptr,
    kSlots,
    &module_traverse,
    &module_clear,
    &module_free,
};

}  // namespace
}  // namespace vorpel::py

PyMODINIT_FUNC PyInit_vorpel_rs(void) { return PyModuleDef_Init(&vorpel::py::kModuleDef); }
