#ifndef VORNAK_QISKIT_CAPI_H
#define VORNAK_QISKIT_CAPI_H

// Qiskit's C API, for every file of the bridge: the first include of each of them, as it
// brings in Python.h.
//
// Qiskit's header keeps the API's function tables in `static` variables, one copy per file
// that includes it, which its qk_import() fills. The three names below turn each table into
// a call that returns the module's one copy, so that import_qiskit() fills them once for
// every file.
#define PY_SSIZE_T_CLEAN
#define QISKIT_PYTHON_EXTENSION
#define _Qk_API_Circuit (*vornak_qiskit_circuit_table())
#define _Qk_API_Transpile (*vornak_qiskit_transpile_table())
#define _Qk_API_QI (*vornak_qiskit_qi_table())

namespace vornak::bridge {
// Circuit, transpiler and quantum-information functions, in that order (capi.cc).
extern void** qiskit_tables[3];

// Every Qiskit function needs the interpreter lock. The bridge releases it in one place only
// (plan.cc's WithoutLock, around the core's scheduling and planning, which touch plain C++
// data alone), which marks the thread meanwhile. In a build with VORNAK_CHECK_LOCK, every
// Qiskit call first checks the mark and aborts the process with a message naming the rule
// where it is set: the tests run against such builds.
extern thread_local bool lock_released;
[[noreturn]] void qiskit_called_without_lock();
inline void check_lock() {
#ifdef VORNAK_CHECK_LOCK
  if (lock_released) qiskit_called_without_lock();
#endif
}
}  // namespace vornak::bridge

// The header then declares each table as a function of internal linkage, as in
// `static void **(*vornak_qiskit_circuit_table());`, defined below: every call of a Qiskit
// function goes through one of them, which is where the lock is checked. A file that calls no
// Qiskit function leaves them and the header's qk_import() unused.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wunused-function"
#pragma GCC diagnostic ignored "-Wparentheses"
#include <qiskit.h>
static void*** vornak_qiskit_circuit_table() {
  vornak::bridge::check_lock();
  return &vornak::bridge::qiskit_tables[0];
}
static void*** vornak_qiskit_transpile_table() {
  vornak::bridge::check_lock();
  return &vornak::bridge::qiskit_tables[1];
}
static void*** vornak_qiskit_qi_table() {
  vornak::bridge::check_lock();
  return &vornak::bridge::qiskit_tables[2];
}
#pragma GCC diagnostic pop

#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace vornak::bridge {

// Imports Qiskit's C API into the tables and checks that the running Qiskit provides the
// functions of the version the module was built against. 0 on success; else -1 with an
// ImportError set.
int import_qiskit();

// Standard gates are numbered 0 .. kStandardGates - 1.
constexpr std::uint32_t kStandardGates = QkGate_RC3X + 1;

struct CircuitDeleter {
  void operator()(QkCircuit* c) const { qk_circuit_free(c); }
};
struct DagDeleter {
  void operator()(QkDag* d) const { qk_dag_free(d); }
};
using CircuitPtr = std::unique_ptr<QkCircuit, CircuitDeleter>;
using DagPtr = std::unique_ptr<QkDag, DagDeleter>;

// qk_circuit_parameterized_gate's table entry, called through a correct C++ type (the
// header's macro spells a type that only C accepts).
inline QkExitCode append_gate(QkCircuit* circuit, QkGate gate, const std::uint32_t* qubits,
                              const QkParam* const* params) {
  using Fn = QkExitCode (*)(QkCircuit*, QkGate, const std::uint32_t*, const QkParam* const*);
  return reinterpret_cast<Fn>(_Qk_API_Circuit[38])(circuit, gate, qubits, params);
}

// Parameter `p` of an instruction view's `params`, which the C API lays out `stride`
// (qk_param_stride()) bytes apart.
inline const QkParam* param_at(const QkParam* params, std::size_t p, std::size_t stride) {
  return reinterpret_cast<const QkParam*>(reinterpret_cast<const char*>(params) + p * stride);
}

// The `count` parameters `params` of an instruction view as pointers to each, as the C API
// takes a gate's.
inline void param_pointers(const QkParam* params, std::size_t count,
                           std::vector<const QkParam*>& out) {
  out.clear();
  const std::size_t stride = qk_param_stride();
  for (std::size_t p = 0; p < count; ++p) out.push_back(param_at(params, p, stride));
}

// Throws a RuntimeError naming `what` where Qiskit refused it.
void check_exit(QkExitCode code, const char* what);

}  // namespace vornak::bridge

#endif
