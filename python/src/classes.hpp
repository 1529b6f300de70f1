// Type builders of the engine classes, one per generation; the module adds
// them in the order VorpelEngine, V2Engine, V3Engine.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace vorpel::py {

// Each returns a new reference to the class object, or NULL with an error set.
PyObject* make_v2_engine_type(PyObject* module);

}  // namespace vorpel::py
