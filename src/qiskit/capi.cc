#include "qiskit/capi.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "qiskit/python_values.h"

namespace vornak::bridge {

void** qiskit_tables[3] = {nullptr, nullptr, nullptr};

thread_local bool lock_released = false;

void qiskit_called_without_lock() {
  std::fputs(
      "vornak._bridge: a Qiskit function was called while the interpreter lock was released "
      "for the core's planning\n",
      stderr);
  std::abort();
}

int import_qiskit() {
  if (qk_import() < 0) {
    PyObject *type, *value, *tb;
    PyErr_Fetch(&type, &value, &tb);
    Py_XDECREF(type);
    Py_XDECREF(tb);
    PyErr_Format(PyExc_ImportError, "vornak._bridge cannot reach Qiskit's C API: %S", value);
    Py_XDECREF(value);
    return -1;
  }
  const std::uint32_t built = QISKIT_VERSION_HEX;
  const std::uint32_t running = qk_api_version();
  // The function table grows within a major version; the module needs at least the entries
  // of the version it was built against.
  if ((running >> 24) != (built >> 24) || ((running >> 16) & 0xff) < ((built >> 16) & 0xff)) {
    PyErr_Format(PyExc_ImportError,
                 "vornak._bridge was built for Qiskit %s's C API, which the running Qiskit "
                 "(C API version %u.%u) does not provide; reinstall vornak against it",
                 QISKIT_VERSION, running >> 24, (running >> 16) & 0xff);
    return -1;
  }
  return 0;
}

void check_exit(QkExitCode code, const char* what) {
  if (code != QkExitCode_Success) {
    fail(PyExc_RuntimeError, std::string("Qiskit refused to ") + what + " (exit code " +
                                 std::to_string(static_cast<unsigned>(code)) + ")");
  }
}

}  // namespace vornak::bridge
