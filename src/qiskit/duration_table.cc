#include "qiskit/duration_table.h"

#include <vector>

#include "lib/pyref.h"
#include "qiskit/python_values.h"
#include "qiskit/standard_gates.h"

namespace vornak::bridge {
namespace {

constexpr std::uint32_t kNoId = static_cast<std::uint32_t>(-1);

// Name (20 bits), count (2 bits) and two qubits (21 bits each) in one key, where they fit.
bool packed(std::uint32_t id, const std::uint32_t* qubits, std::uint32_t count,
            std::uint64_t& key) {
  constexpr std::uint32_t kQubitLimit = 1u << 21;
  if (count > 2 || id >= (1u << 20)) return false;
  std::uint64_t q0 = count > 0 ? qubits[0] : 0, q1 = count > 1 ? qubits[1] : 0;
  if (q0 >= kQubitLimit || q1 >= kQubitLimit) return false;
  key = (std::uint64_t{id} << 44) | (std::uint64_t{count} << 42) | (q0 << 21) | q1;
  return true;
}

std::string wide_key(std::uint32_t id, const std::uint32_t* qubits, std::uint32_t count) {
  std::string key(reinterpret_cast<const char*>(&id), sizeof id);
  key.append(reinterpret_cast<const char*>(qubits), sizeof(std::uint32_t) * count);
  return key;
}

}  // namespace

DurationTable::DurationTable(PyObject* table) {
  using py::Ref;
  if (!PyDict_Check(table)) fail(PyExc_TypeError, "durations must be a dict");
  Py_ssize_t pos = 0;
  PyObject *name, *entries;
  std::vector<std::uint32_t> qubits;
  while (PyDict_Next(table, &pos, &name, &entries)) {
    Py_ssize_t size;
    const char* text = PyUnicode_AsUTF8AndSize(name, &size);
    if (text == nullptr) throw PythonError{};
    if (!PyDict_Check(entries)) fail(PyExc_TypeError, "durations must map names to dicts");
    const std::uint32_t id = name_id(std::string_view(text, static_cast<std::size_t>(size)));
    Py_ssize_t pos2 = 0;
    PyObject *qargs, *duration;
    while (PyDict_Next(entries, &pos2, &qargs, &duration)) {
      Ref items = Ref::steal(check(PySequence_Tuple(qargs)));
      qubits.clear();
      for (Py_ssize_t i = 0; i < PyTuple_Size(items.get()); ++i) {
        qubits.push_back(to_u32(tuple_item(items.get(), i)));
      }
      const double value = to_length(duration, "an operation's duration");
      const auto count = static_cast<std::uint32_t>(qubits.size());
      if (std::uint64_t key; packed(id, qubits.data(), count, key)) {
        packed_[key] = value;
      } else {
        wide_[wide_key(id, qubits.data(), count)] = value;
      }
    }
  }
  gate_ids_.assign(kStandardGates, kNoId);
  for (const auto& [text, id] : ids_) {
    const QkGate gate = standard_gate_named(text);
    if (gate < kStandardGates) gate_ids_[gate] = id;
  }
}

const double* DurationTable::find(std::string_view name, const std::uint32_t* qubits,
                                  std::uint32_t count) const {
  auto named = ids_.find(name);
  return named == ids_.end() ? nullptr : find_id(named->second, qubits, count);
}

const double* DurationTable::find(QkGate gate, const std::uint32_t* qubits,
                                  std::uint32_t count) const {
  const std::uint32_t id = gate_ids_.at(gate);
  return id == kNoId ? nullptr : find_id(id, qubits, count);
}

const double* DurationTable::find_id(std::uint32_t id, const std::uint32_t* qubits,
                                     std::uint32_t count) const {
  if (const double* found = lookup(id, qubits, count)) return found;
  return lookup(id, nullptr, 0);
}

std::uint32_t DurationTable::name_id(std::string_view name) {
  auto it = ids_.find(name);
  if (it != ids_.end()) return it->second;
  const auto id = static_cast<std::uint32_t>(ids_.size());
  ids_.emplace(std::string(name), id);
  return id;
}

const double* DurationTable::lookup(std::uint32_t id, const std::uint32_t* qubits,
                                    std::uint32_t count) const {
  if (std::uint64_t key; packed(id, qubits, count, key)) {
    auto it = packed_.find(key);
    return it == packed_.end() ? nullptr : &it->second;
  }
  if (wide_.empty()) return nullptr;
  auto it = wide_.find(wide_key(id, qubits, count));
  return it == wide_.end() ? nullptr : &it->second;
}

}  // namespace vornak::bridge
