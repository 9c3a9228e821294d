#include "lib/errors.h"

#include <cerrno>
#include <cstdlib>

#include "graph/raw_write.h"
#include "lib/pyref.h"

namespace vornak::py {
namespace {

OnceSlot panic_type;

constexpr const char* kPanicDoc =
    "Raised when the module's native code fails while it is called from Python.\n\n"
    "Like SystemExit, it derives from BaseException rather than Exception, so that it "
    "usually propagates through the whole stack and ends the interpreter instead of "
    "being caught by generic exception handlers.";

void write_stderr(const std::string& text) noexcept {
  const char* data = text.data();
  std::size_t left = text.size();
  while (left > 0) {
    std::ptrdiff_t written = write_fd(kStderrFd, data, left);
    if (written <= 0) {
      if (written < 0 && errno == EINTR) continue;
      return;
    }
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

[[noreturn]] void abort_uncaught() noexcept {
  write_stderr("uncaught panic at ffi boundary\n");
  std::abort();
}

}  // namespace

void raise_cast_error(PyObject* value, const char* target) {
  std::string from = "<failed to extract type name>";
  Ref qualname = Ref::steal(PyType_GetQualName(Py_TYPE(value)));
  Py_ssize_t size = 0;
  const char* text = qualname ? PyUnicode_AsUTF8AndSize(qualname.get(), &size) : nullptr;
  if (text != nullptr) {
    from.assign(text, static_cast<std::size_t>(size));
  } else {
    PyErr_Clear();
  }
  raise(PyExc_TypeError, "'" + from + "' object cannot be cast as '" + target + "'");
}

std::string take_error_description() {
  Ref error = Ref::steal(PyErr_GetRaisedException());
  if (!error) return "unknown error";
  std::string description;
  Ref name = Ref::steal(PyType_GetQualName(Py_TYPE(error.get())));
  const char* text = name ? PyUnicode_AsUTF8(name.get()) : nullptr;
  description = text ? text : "<unknown exception>";
  Ref str = Ref::steal(PyObject_Str(error.get()));
  text = str ? PyUnicode_AsUTF8(str.get()) : nullptr;
  if (text != nullptr && *text != '\0') description.append(": ").append(text);
  PyErr_Clear();
  return description;
}

std::uint64_t current_thread_number() {
  static std::atomic<std::uint64_t> next{1};
  thread_local std::uint64_t number = next.fetch_add(1, std::memory_order_relaxed);
  return number;
}

void ensure_error_set() noexcept {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, PanicPolicy::kNoErrorSet);
}

void raise_panic(const std::string& message, const SourceLocation& where) noexcept {
  try {
    write_stderr("thread " + std::to_string(current_thread_number()) + " panicked at " +
                 where.file_name() + ":" + std::to_string(where.line()) + ":\n" + message +
                 "\n");
    PyObject* type = panic_type.get([] {
      return PyErr_NewExceptionWithDoc("vornak_runtime.PanicException", kPanicDoc,
                                       PyExc_BaseException, nullptr);
    });
    if (type == nullptr) abort_uncaught();
    Ref text = Ref::steal(
        PyUnicode_DecodeUTF8(message.data(), static_cast<Py_ssize_t>(message.size()), "replace"));
    if (!text) return;  // the MemoryError stands in for the panic
    PyErr_SetObject(type, text.get());
  } catch (...) {
    abort_uncaught();
  }
}

}  // namespace vornak::py
