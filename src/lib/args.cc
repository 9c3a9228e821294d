#include "lib/args.h"

#include <cstring>
#include <string_view>
#include <vector>

#include "lib/errors.h"
#include "lib/pyref.h"

namespace vornak::py {
namespace {

// 'a'; 'a' and 'b'; 'a', 'b', and 'c'
std::string name_list(const std::vector<const char*>& names) {
  std::string out;
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (i > 0) {
      if (names.size() > 2) out += ",";
      out += (i + 1 == names.size()) ? " and " : " ";
    }
    out.append("'").append(names[i]).append("'");
  }
  return out;
}

[[noreturn]] void raise_too_many(const ArgumentSpec& spec, std::size_t given) {
  std::size_t count = spec.parameter_names.size();
  std::string message = spec.full_name() + " takes ";
  if (spec.required_positional_count != count) {
    message += "from " + std::to_string(spec.required_positional_count) + " to ";
  }
  message += std::to_string(count) + " positional arguments but " + std::to_string(given) +
             (given == 1 ? " was" : " were") + " given";
  raise(PyExc_TypeError, message);
}

[[noreturn]] void raise_unexpected_keyword(const ArgumentSpec& spec, PyObject* name) {
  Ref text = Ref::steal(PyObject_Str(name));
  if (!text) throw_python_error();
  PyErr_Format(PyExc_TypeError, "%s got an unexpected keyword argument '%U'",
               spec.full_name().c_str(), text.get());
  throw_python_error();
}

[[noreturn]] void raise_missing(const ArgumentSpec& spec, const char* kind,
                                const std::vector<const char*>& names) {
  raise(PyExc_TypeError, spec.full_name() + " missing " + std::to_string(names.size()) +
                             " required " + kind + (names.size() == 1 ? " argument" : " arguments") +
                             ": " + name_list(names));
}

// Puts one keyword argument into its slot.
void match_keyword(const ArgumentSpec& spec, PyObject* name, PyObject* value, PyObject** slots,
                   std::vector<const char*>& positional_only) {
  Py_ssize_t size = 0;
  const char* text = PyUnicode_Check(name) ? PyUnicode_AsUTF8AndSize(name, &size) : nullptr;
  if (text == nullptr) {
    PyErr_Clear();
    raise_unexpected_keyword(spec, name);
  }
  std::string_view key(text, static_cast<std::size_t>(size));
  std::size_t count = spec.parameter_names.size();
  for (std::size_t i = 0; i < spec.keyword_only.size(); ++i) {
    if (key == spec.keyword_only[i].name) {
      PyObject*& slot = slots[count + i];
      if (slot != nullptr) {
        raise(PyExc_TypeError, spec.full_name() + " got multiple values for argument '" +
                                   spec.keyword_only[i].name + "'");
      }
      slot = value;
      return;
    }
  }
  for (std::size_t k = 0; k < count; ++k) {
    if (key != spec.parameter_names[k]) continue;
    if (k < spec.positional_only_count) {
      positional_only.push_back(spec.parameter_names[k]);
    } else if (slots[k] != nullptr) {
      raise(PyExc_TypeError, spec.full_name() + " got multiple values for argument '" +
                                 spec.parameter_names[k] + "'");
    } else {
      slots[k] = value;
    }
    return;
  }
  raise_unexpected_keyword(spec, name);
}

template <typename EachKeyword>
void parse(const ArgumentSpec& spec, PyObject* const* positional, std::size_t given,
           PyObject** slots, EachKeyword&& each_keyword) {
  std::size_t count = spec.parameter_names.size();
  for (std::size_t i = 0; i < spec.slot_count(); ++i) slots[i] = nullptr;
  for (std::size_t i = 0; i < given && i < count; ++i) slots[i] = positional[i];
  if (given > count) raise_too_many(spec, given);

  std::vector<const char*> positional_only;
  each_keyword([&](PyObject* name, PyObject* value) {
    match_keyword(spec, name, value, slots, positional_only);
  });
  if (!positional_only.empty()) {
    raise(PyExc_TypeError, spec.full_name() +
                               " got some positional-only arguments passed as keyword "
                               "arguments: " +
                               name_list(positional_only));
  }

  std::vector<const char*> missing;
  if (given < spec.required_positional_count) {
    for (std::size_t k = 0; k < spec.required_positional_count; ++k) {
      if (slots[k] == nullptr) missing.push_back(spec.parameter_names[k]);
    }
  }
  if (!missing.empty()) raise_missing(spec, "positional", missing);
  for (std::size_t i = 0; i < spec.keyword_only.size(); ++i) {
    if (spec.keyword_only[i].required && slots[count + i] == nullptr) {
      missing.push_back(spec.keyword_only[i].name);
    }
  }
  if (!missing.empty()) raise_missing(spec, "keyword", missing);
}

}  // namespace

std::string ArgumentSpec::full_name() const {
  return std::string(class_name) + "." + method_name + "()";
}

void parse_vector(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, PyObject** slots) {
  auto given = static_cast<std::size_t>(PyVectorcall_NARGS(nargs));
  parse(spec, args, given, slots, [&](auto&& match) {
    if (kwnames == nullptr) return;
    Py_ssize_t keywords = PyTuple_GET_SIZE(kwnames);
    for (Py_ssize_t i = 0; i < keywords; ++i) {
      match(PyTuple_GET_ITEM(kwnames, i), args[static_cast<Py_ssize_t>(given) + i]);
    }
  });
}

void parse_tuple_dict(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs,
                      PyObject** slots) {
  auto given = static_cast<std::size_t>(PyTuple_GET_SIZE(args));
  parse(spec, &PyTuple_GET_ITEM(args, 0), given, slots, [&](auto&& match) {
    if (kwargs == nullptr) return;
    Py_ssize_t pos = 0;
    PyObject* name = nullptr;
    PyObject* value = nullptr;
    while (PyDict_Next(kwargs, &pos, &name, &value)) match(name, value);
  });
}

}  // namespace vornak::py
