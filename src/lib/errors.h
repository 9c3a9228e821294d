#ifndef VORNAK_LIB_ERRORS_H
#define VORNAK_LIB_ERRORS_H

#include <Python.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <new>
#include <string>
#include <type_traits>
#include <utility>

#include "graph/failure.h"
#include "lib/boundary.h"

namespace vornak::py {

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

// _vornak's entry policy (see guard()): a C++ failure is a panic.
struct PanicPolicy {
  static constexpr const char* kNoErrorSet = "attempted to fetch exception but none was set";
  static void failure(const char* message, const SourceLocation& where) noexcept {
    raise_panic(message, where);
  }
};

// Runs the body of an entry point and turns whatever it throws into the matching Python
// exception: PythonError keeps the pending exception, InternalFailure becomes a panic,
// std::bad_alloc a MemoryError. Returns `failed` in all those cases.
template <typename Body, typename Result = std::invoke_result_t<Body>>
Result entry(Body&& body, Result failed) noexcept {
  return guard<PanicPolicy>(std::forward<Body>(body), failed);
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
