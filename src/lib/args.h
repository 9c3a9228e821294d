#ifndef VORNAK_LIB_ARGS_H
#define VORNAK_LIB_ARGS_H

#include <Python.h>

#include <cstddef>
#include <span>
#include <string>

namespace vornak::py {

struct KeywordOnlyParameter {
  const char* name;
  bool required;
};

// The parameters of one entry point, for matching a call's arguments and for its messages.
struct ArgumentSpec {
  const char* class_name;
  const char* method_name;
  std::span<const char* const> parameter_names;  // positional-or-keyword, in order
  std::size_t positional_only_count;
  std::size_t required_positional_count;
  std::span<const KeywordOnlyParameter> keyword_only;

  // "Class.method()"
  std::string full_name() const;
  std::size_t slot_count() const { return parameter_names.size() + keyword_only.size(); }
};

// The most slots any entry point needs.
inline constexpr std::size_t kMaxSlots = 4;

// Matches a vectorcall's arguments (array, positional count, keyword-name tuple or NULL) to
// `spec`, filling slot_count() slots with borrowed objects, or NULL where not given.
// Raises TypeError (and throws PythonError) when they do not match.
void parse_vector(const ArgumentSpec& spec, PyObject* const* args, Py_ssize_t nargs,
                  PyObject* kwnames, PyObject** slots);

// The same for a positional tuple and a keyword dict (or NULL).
void parse_tuple_dict(const ArgumentSpec& spec, PyObject* args, PyObject* kwargs,
                      PyObject** slots);

}  // namespace vornak::py

#endif
