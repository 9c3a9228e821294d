#ifndef VORNAK_LIB_BOUNDARY_H
#define VORNAK_LIB_BOUNDARY_H

// The C-API boundary of both extension modules, _vornak and vornak._bridge: how C++ code
// reports a Python error, and how an entry point turns what its body throws into one. Only
// the limited API of CPython 3.10 is used here, as the bridge is built against it.
#include <Python.h>

#include <exception>
#include <new>
#include <string>

#include "graph/failure.h"
#include "graph/source_location.h"

namespace vornak::py {

// Thrown when a Python exception is pending (or should be: see guard()).
struct PythonError {};

// Throws PythonError: for calls that have just set a Python exception.
[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

// Returns `obj` if it is not NULL, else throws PythonError.
inline PyObject* check(PyObject* obj) {
  if (obj == nullptr) throw_python_error();
  return obj;
}

// Raises `type` with `message` and throws PythonError.
[[noreturn]] inline void raise(PyObject* type, const std::string& message) {
  PyErr_SetString(type, message.c_str());
  throw_python_error();
}

// Runs the body of an entry point and turns whatever it throws into a Python exception,
// returning `failed`: PythonError keeps the pending exception (a SystemError with
// Policy::kNoErrorSet where none is), std::bad_alloc becomes a MemoryError, and any other
// C++ exception (InternalFailure, from the core, with where it was thrown) goes to
// Policy::failure(message, where), which sets the exception.
//
// The two modules' policies differ as their callers do. _vornak's contract is that a C++
// failure is a bug of the module: it raises a panic, a BaseException that ends the program
// rather than being caught by `except Exception` (py::PanicPolicy, lib/errors.h). The bridge
// runs inside a Qiskit pass or pad(), whose callers expect ordinary errors: a failure there
// is a RuntimeError, an Exception that the pass manager and the user's code handle as they
// handle Qiskit's own (bridge::BridgePolicy, qiskit/python_values.h).
template <class Policy, class Body, class Result>
Result guard(Body&& body, Result failed) noexcept {
  try {
    return body();
  } catch (const PythonError&) {
    if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, Policy::kNoErrorSet);
  } catch (const InternalFailure& failure) {
    Policy::failure(failure.what(), failure.where());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    Policy::failure(error.what(), SourceLocation::current());
  } catch (...) {
    Policy::failure("unknown C++ exception", SourceLocation::current());
  }
  return failed;
}

}  // namespace vornak::py

#endif
