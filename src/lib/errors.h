#ifndef VORNAK_LIB_ERRORS_H
#define VORNAK_LIB_ERRORS_H

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>

#include "graph/failure.h"

namespace vornak::py {

// Thrown when a Python exception is pending (or should be: see entry()).
struct PythonError {};

// Throws PythonError: for calls that have just set a Python exception.
[[noreturn]] inline void throw_python_error() { throw PythonError{}; }

// Returns `obj` if it is not NULL, else throws PythonError.
inline PyObject* check(PyObject* obj) {
  if (obj == nullptr) throw_python_error();
  return obj;
}

// Raises `type` with `message` and throws PythonError.
[[noreturn]] void raise(PyObject* type, const std::string& message);

// The TypeError "'<qualname of value's type>' object cannot be cast as '<target>'".
[[noreturn]] void raise_cast_error(PyObject* value, const char* target);

// Takes the pending exception and describes it as "<type name>: <str of it>".
std::string take_error_description();

// Process-unique number of the calling thread, counting from 1; never reused.
std::uint64_t current_thread_number();

// Writes the diagnostic of an internal failure to standard error and raises the panic
// exception carrying `message`. Ends the process if the panic exception cannot be made.
void raise_panic(const std::string& message, const SourceLocation& where) noexcept;

// Sets SystemError if a call reported failure without setting an exception.
void ensure_error_set() noexcept;

// Runs the body of an entry point and turns whatever it throws into the matching Python
// exception: PythonError keeps the pending exception, InternalFailure becomes a panic,
// std::bad_alloc a MemoryError. Returns `failed` in all those cases.
template <typename Body, typename Result = std::invoke_result_t<Body>>
Result entry(Body&& body, Result failed) noexcept {
  try {
    return body();
  } catch (const PythonError&) {
    ensure_error_set();
  } catch (const InternalFailure& failure) {
    raise_panic(failure.what(), failure.where());
  } catch (const std::bad_alloc&) {
    PyErr_NoMemory();
  } catch (const std::exception& error) {
    raise_panic(error.what(), SourceLocation::current());
  } catch (...) {
    raise_panic("unknown C++ exception", SourceLocation::current());
  }
  return failed;
}

// A process-wide object created at most once, on first use, and kept until the process
// ends. A thread that finds it missing waits for the guard without holding the
// interpreter lock, then creates it under both. If creation fails (returns NULL), the slot
// stays empty and a later call tries again.
class OnceSlot {
 public:
  // Returns a borrowed reference, or NULL with an exception set. `make` returns a new
  // reference or NULL.
  template <typename Make>
  PyObject* get(Make&& make) {
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    PyThreadState* state = PyEval_SaveThread();
    std::unique_lock lock(mutex_);
    PyEval_RestoreThread(state);
    if (PyObject* value = value_.load(std::memory_order_acquire)) return value;
    PyObject* value = make();
    if (value != nullptr) value_.store(value, std::memory_order_release);
    return value;
  }

 private:
  std::atomic<PyObject*> value_{nullptr};
  std::mutex mutex_;
};

}  // namespace vornak::py

#endif
