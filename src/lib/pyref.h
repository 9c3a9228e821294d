#ifndef VORNAK_LIB_PYREF_H
#define VORNAK_LIB_PYREF_H

#include <Python.h>

#include <utility>

namespace vornak::py {

// Owns one strong reference to a Python object (or nothing). Ownership is chosen by the
// named constructors; moving leaves the source empty; release() hands the reference out.
class Ref {
 public:
  Ref() = default;
  // Takes over a new reference (which may be NULL).
  static Ref steal(PyObject* obj) { return Ref(obj); }
  // Adds a reference to a borrowed object.
  static Ref borrow(PyObject* obj) { return Ref(Py_XNewRef(obj)); }

  Ref(Ref&& other) noexcept : obj_(std::exchange(other.obj_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    if (this != &other) {
      Py_XDECREF(obj_);
      obj_ = std::exchange(other.obj_, nullptr);
    }
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(obj_); }

  PyObject* get() const { return obj_; }
  explicit operator bool() const { return obj_ != nullptr; }
  // Returns the reference to the caller, who now owns it.
  PyObject* release() { return std::exchange(obj_, nullptr); }

 private:
  explicit Ref(PyObject* obj) : obj_(obj) {}
  PyObject* obj_ = nullptr;
};

}  // namespace vornak::py

#endif
