// Module initialisation: the module object, its attributes and the one-interpreter claim.
#include <Python.h>

#include <atomic>
#include <cstdint>

#include "lib/dag_type.h"
#include "lib/errors.h"
#include "lib/pyref.h"

namespace vornak::py {
namespace {

PyModuleDef module_def = {
    PyModuleDef_HEAD_INIT,
    "_vornak",
    "The Vornak high-performance quantum compiler module.",
    0,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
    nullptr,
};

OnceSlot module_slot;
OnceSlot vornak_error_slot;
// The ID of the interpreter that imported the module first; -1 until then.
std::atomic<std::int64_t> owning_interpreter{-1};

PyObject* vornak_error() {
  return vornak_error_slot.get([] {
    PyObject* type =
        PyErr_NewExceptionWithDoc("vornak.VornakError", nullptr, PyExc_Exception, nullptr);
    if (type == nullptr) {
      throw InternalFailure("Failed to initialize new exception type.: " +
                            take_error_description());
    }
    return type;
  });
}

// Adds `value` to the module as `name` and lists the name in __all__.
void add_to_module(PyObject* module, const char* name, PyObject* value) {
  Ref all = Ref::steal(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) throw_python_error();
    PyErr_Clear();
    all = Ref::steal(check(PyList_New(0)));
    if (PyObject_SetAttrString(module, "__all__", all.get()) < 0) throw_python_error();
  }
  if (!PyList_Check(all.get())) raise_cast_error(all.get(), "list");
  Ref text = Ref::steal(PyUnicode_FromString(name));
  if (!text || PyList_Append(all.get(), text.get()) < 0) {
    throw InternalFailure("could not append __name__ to __all__: " + take_error_description());
  }
  if (PyObject_SetAttrString(module, name, value) < 0) throw_python_error();
}

PyObject* create_module() {
  Ref module = Ref::steal(check(PyModule_Create2(&module_def, 1013)));
  add_to_module(module.get(), "VornakError", check(vornak_error()));
  add_to_module(module.get(), "QuantumDAG", check(quantum_dag_type()));
  return module.release();
}

PyObject* init() {
  std::int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) throw_python_error();
  std::int64_t owner = -1;
  if (!owning_interpreter.compare_exchange_strong(owner, id) && owner != id) {
    raise(PyExc_ImportError,
          "_vornak does not support subinterpreters: it can be loaded in one interpreter "
          "per process only");
  }
  PyObject* module = module_slot.get([] {
    // A C++ exception must not leave the guard with the module half-built.
    return entry(create_module, static_cast<PyObject*>(nullptr));
  });
  return Py_NewRef(check(module));
}

}  // namespace
}  // namespace vornak::py

PyMODINIT_FUNC PyInit__vornak(void) {
  return vornak::py::entry(vornak::py::init, static_cast<PyObject*>(nullptr));
}
