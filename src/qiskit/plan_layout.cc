#include "qiskit/plan_layout.h"

#include <span>

#include "lib/pyref.h"
#include "qiskit/frame_fold.h"
#include "qiskit/python_values.h"

namespace vornak::bridge {

using py::Ref;

PyObject* plan_to_python(const Reading& reading, const DdPlan& plan,
                         const std::vector<std::uint32_t>& folds,
                         const std::vector<double>& frames) {
  const std::size_t ops = reading.order.size();
  Ref order = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(ops))));
  Ref starts = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(ops))));
  Ref ends = Ref::steal(check(PyList_New(static_cast<Py_ssize_t>(ops))));
  std::span<const ScheduleEntry> schedule = reading.core.schedule();
  for (std::size_t i = 0; i < ops; ++i) {
    set_list_item(order.get(), i, PyLong_FromUnsignedLong(reading.order[i]));
    set_list_item(starts.get(), i, PyFloat_FromDouble(schedule[i].start_time));
    set_list_item(ends.get(), i, PyFloat_FromDouble(schedule[i].end_time));
  }
  Ref runs = Ref::steal(check(PyList_New(0)));
  std::size_t next_start = 0;
  for (std::size_t r = 0; r < plan.runs.size(); ++r) {
    const DdRun& run = plan.runs[r];
    Ref times = Ref::steal(check(PyTuple_New(run.count)));
    for (std::uint32_t k = 0; k < run.count; ++k) {
      set_tuple_item(times.get(), k, PyFloat_FromDouble(plan.starts[next_start++]));
    }
    Ref fold = folds[r] == kNoFold ? Ref::borrow(Py_None)
                                   : Ref::steal(check(PyLong_FromUnsignedLong(folds[r])));
    Ref item = Ref::steal(check(Py_BuildValue(
        "(KKOOd)", static_cast<unsigned long long>(run.before),
        static_cast<unsigned long long>(run.qubit), times.get(), fold.get(),
        run_turn(frames, r))));
    if (PyList_Append(runs.get(), item.get()) < 0) throw PythonError{};
  }
  return check(Py_BuildValue("(OOOO)", order.get(), starts.get(), ends.get(), runs.get()));
}

}  // namespace vornak::bridge
