#ifndef VORNAK_LIB_METHODS_H
#define VORNAK_LIB_METHODS_H

#include <Python.h>

namespace vornak::py {

// The method table of the QuantumDAG type, ending with a zeroed entry.
extern PyMethodDef quantum_dag_methods[];

}  // namespace vornak::py

#endif
