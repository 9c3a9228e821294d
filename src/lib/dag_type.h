#ifndef VORNAK_LIB_DAG_TYPE_H
#define VORNAK_LIB_DAG_TYPE_H

#include <Python.h>

#include <atomic>
#include <cstdint>

#include "graph/dag.h"

namespace vornak::py {

// A QuantumDAG instance: the core record it owns, its access counter and its owner thread.
struct PyQuantumDAG {
  PyObject_HEAD
  QuantumDAG dag;
  // 0: free; n > 0: n shared holds; -1: one exclusive hold.
  std::atomic<std::int64_t> borrow_flag;
  std::uint64_t owner_thread;
};

// The QuantumDAG type object, created on first use (borrowed), or NULL with an exception set.
PyObject* quantum_dag_type();

// Returns a new instance of QuantumDAG holding `record`, owned by the calling thread.
// Throws PythonError if the instance cannot be allocated; the record is then destroyed.
PyObject* wrap_core_record(QuantumDAG&& record);

// Throws InternalFailure unless the calling thread created `self`.
void check_owner_thread(const PyQuantumDAG* self);

enum class Access { shared, exclusive };

// Holds shared or exclusive use of an instance for its lifetime. Acquiring raises
// RuntimeError (and throws PythonError) when the instance is in conflicting use.
class Borrow {
 public:
  Borrow(PyQuantumDAG* self, Access access);
  ~Borrow();
  Borrow(const Borrow&) = delete;
  Borrow& operator=(const Borrow&) = delete;

 private:
  PyQuantumDAG* self_;
  Access access_;
};

}  // namespace vornak::py

#endif
