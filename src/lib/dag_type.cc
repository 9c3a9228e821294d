#include "lib/dag_type.h"

#include <new>
#include <string>
#include <utility>

#include "lib/args.h"
#include "lib/errors.h"
#include "lib/methods.h"
#include "lib/pyref.h"

namespace vornak::py {
namespace {

// Only the module body creates the type, under the module's own once-guard.
PyObject* type_object = nullptr;

constexpr ArgumentSpec kNewSpec{"QuantumDAG", "__new__", {}, 0, 0, {}};

PyObject* wrap(PyTypeObject* type, QuantumDAG&& record) {
  auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(type, Py_tp_alloc));
  if (alloc == nullptr) alloc = PyType_GenericAlloc;
  PyObject* obj = alloc(type, 0);
  if (obj == nullptr) throw_python_error();
  auto* self = reinterpret_cast<PyQuantumDAG*>(obj);
  new (&self->dag) QuantumDAG(std::move(record));
  new (&self->borrow_flag) std::atomic<std::int64_t>(0);
  self->owner_thread = current_thread_number();
  return obj;
}

PyObject* dag_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return entry(
      [&] {
        PyObject* unused[kMaxSlots];
        parse_tuple_dict(kNewSpec, args, kwargs, unused);
        return wrap(subtype, QuantumDAG());
      },
      static_cast<PyObject*>(nullptr));
}

void dag_dealloc(PyObject* obj) {
  PyTypeObject* type = Py_TYPE(obj);
  auto* self = reinterpret_cast<PyQuantumDAG*>(obj);
  if (current_thread_number() == self->owner_thread) {
    self->dag.~QuantumDAG();
  } else {
    // The record may only be touched by its own thread: leak it, and say so without
    // disturbing an exception that may be in flight.
    PyObject* pending = PyErr_GetRaisedException();
    PyErr_SetString(PyExc_RuntimeError,
                    "_vornak::PyQuantumDAG is unsendable, but is being dropped on another thread");
    PyErr_WriteUnraisable(nullptr);
    PyErr_SetRaisedException(pending);
  }
  auto free = reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free));
  free(obj);
  Py_DECREF(type);
}

constexpr char kTypeDoc[] = "QuantumDAG()\n--\n\nPython wrapper for the core QuantumDAG.";

PyType_Slot type_slots[] = {
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {Py_tp_methods, quantum_dag_methods},
    {Py_tp_base, &PyBaseObject_Type},
    {Py_tp_dealloc, reinterpret_cast<void*>(dag_dealloc)},
    {Py_tp_new, reinterpret_cast<void*>(dag_new)},
    {0, nullptr},
};

PyType_Spec type_spec = {
    "builtins.QuantumDAG",
    static_cast<int>(sizeof(PyQuantumDAG)),
    0,
    Py_TPFLAGS_DEFAULT,
    type_slots,
};

}  // namespace

PyObject* quantum_dag_type() {
  if (type_object == nullptr) type_object = PyType_FromSpec(&type_spec);
  return type_object;
}

PyObject* wrap_core_record(QuantumDAG&& record) {
  QuantumDAG owned(std::move(record));
  PyObject* type = check(quantum_dag_type());
  return wrap(reinterpret_cast<PyTypeObject*>(type), std::move(owned));
}

void check_owner_thread(const PyQuantumDAG* self) {
  std::uint64_t current = current_thread_number();
  if (current != self->owner_thread) {
    throw InternalFailure(
        "assertion `left == right` failed: _vornak::PyQuantumDAG is unsendable, but sent to "
        "another thread\n  left: ThreadId(" +
        std::to_string(current) + ")\n right: ThreadId(" + std::to_string(self->owner_thread) +
        ")");
  }
}

Borrow::Borrow(PyQuantumDAG* self, Access access) : self_(self), access_(access) {
  std::atomic<std::int64_t>& flag = self->borrow_flag;
  if (access == Access::exclusive) {
    std::int64_t expected = 0;
    if (!flag.compare_exchange_strong(expected, -1)) {
      raise(PyExc_RuntimeError, "Already borrowed");
    }
    return;
  }
  std::int64_t current = flag.load();
  do {
    if (current == -1) raise(PyExc_RuntimeError, "Already mutably borrowed");
  } while (!flag.compare_exchange_weak(current, current + 1));
}

Borrow::~Borrow() {
  if (access_ == Access::exclusive) {
    self_->borrow_flag.store(0);
  } else {
    self_->borrow_flag.fetch_sub(1);
  }
}

}  // namespace vornak::py
