// Type builders of the engine classes, one per generation; the module adds
// them in the order VorpelEngine, V2Engine, V3Engine (module.cpp, kClasses).
// A class is a file <gen>_class.cpp with handlers `PyObject* h(Call&)`, a
// constexpr MethodSpec table (and PropertySpec table for read-only
// properties), a constexpr ClassSpec, and a builder returning
// create_type<kSpec>(module); see v2_class.cpp.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorpel::py {

// Each returns a new reference to the class object, or NULL with an error set.
PyObject* make_vorpel_engine_type(PyObject* module);
PyObject* make_v2_engine_type(PyObject* module);
PyObject* make_v3_engine_type(PyObject* module);

}  // namespace vorpel::py
