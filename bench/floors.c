/* Lower bounds for the two ends of the module, used only by the benchmarks.
 *
 * walk(instructions) reads every field of every instruction the way ingestion has to:
 * the tuple and its items, the UTF-8 form of the name and of every parameter key, every
 * qubit as an unsigned 64-bit integer, the duration and every parameter value as a double.
 * It keeps nothing but a checksum, so the time it takes is what reading alone costs.
 *
 * prepare(nodes) copies a list of (name, qubits, duration, params) tuples into plain C
 * arrays (untimed); build(table) makes from those arrays exactly the objects that export
 * returns: a list of 4-tuples (str, list of int, float, dict of str to float). It makes the
 * objects no more often than the export may: one str per distinct text per call, shared by
 * the nodes; one float object per value while that value recurs; for each node a new tuple,
 * list and dict, the dict copied from the previous node's when both hold the same
 * parameters (as runs of pulses do).
 *
 * The bench suite compiles this file into build/bench; the module never includes it.
 */
#define PY_SSIZE_T_CLEAN
#include <Python.h>
#include <stdint.h>
#include <stdlib.h>
#include <string.h>

static uint64_t mix(uint64_t sum, uint64_t value) {
  return (sum ^ value) * 0x100000001b3ULL;
}

/* The items of an exact list or tuple, which is all the benchmark inputs hold. */
static PyObject **items_of(PyObject *seq, Py_ssize_t *size) {
  if (PyList_CheckExact(seq)) {
    *size = PyList_GET_SIZE(seq);
    return ((PyListObject *)seq)->ob_item;
  }
  if (PyTuple_CheckExact(seq)) {
    *size = PyTuple_GET_SIZE(seq);
    return ((PyTupleObject *)seq)->ob_item;
  }
  PyErr_SetString(PyExc_TypeError, "expected a list or a tuple");
  return NULL;
}

static int read_text(PyObject *obj, uint64_t *sum) {
  if (!PyUnicode_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "expected a str");
    return -1;
  }
  Py_ssize_t size;
  const char *data = PyUnicode_AsUTF8AndSize(obj, &size);
  if (data == NULL) return -1;
  uint64_t head = 0;
  memcpy(&head, data, size < 8 ? (size_t)size : 8);
  *sum = mix(mix(*sum, (uint64_t)size), head);
  return 0;
}

static int read_u64(PyObject *obj, uint64_t *sum) {
  if (!PyLong_Check(obj)) {
    PyErr_SetString(PyExc_TypeError, "expected an int");
    return -1;
  }
  PyLongObject *value = (PyLongObject *)obj;
  if (PyUnstable_Long_IsCompact(value) && PyUnstable_Long_CompactValue(value) >= 0) {
    *sum = mix(*sum, (uint64_t)PyUnstable_Long_CompactValue(value));
    return 0;
  }
  unsigned long long big = PyLong_AsUnsignedLongLong(obj);
  if (big == (unsigned long long)-1 && PyErr_Occurred()) return -1;
  *sum = mix(*sum, big);
  return 0;
}

static int read_double(PyObject *obj, uint64_t *sum) {
  double value;
  if (PyFloat_CheckExact(obj)) {
    value = PyFloat_AS_DOUBLE(obj);
  } else {
    value = PyFloat_AsDouble(obj);
    if (value == -1.0 && PyErr_Occurred()) return -1;
  }
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  *sum = mix(*sum, bits);
  return 0;
}

static int read_instruction(PyObject *obj, uint64_t *sum) {
  if (!PyTuple_Check(obj) || PyTuple_GET_SIZE(obj) != 4) {
    PyErr_SetString(PyExc_TypeError, "expected a tuple of 4 items");
    return -1;
  }
  if (read_text(PyTuple_GET_ITEM(obj, 0), sum) < 0) return -1;
  Py_ssize_t count;
  PyObject **qubits = items_of(PyTuple_GET_ITEM(obj, 1), &count);
  if (qubits == NULL) return -1;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (read_u64(qubits[i], sum) < 0) return -1;
  }
  if (read_double(PyTuple_GET_ITEM(obj, 2), sum) < 0) return -1;
  PyObject *params = PyTuple_GET_ITEM(obj, 3);
  if (!PyDict_Check(params)) {
    PyErr_SetString(PyExc_TypeError, "expected a dict");
    return -1;
  }
  Py_ssize_t pos = 0;
  PyObject *key, *value;
  while (PyDict_Next(params, &pos, &key, &value)) {
    if (read_text(key, sum) < 0 || read_double(value, sum) < 0) return -1;
  }
  return 0;
}

static PyObject *walk(PyObject *Py_UNUSED(module), PyObject *instructions) {
  Py_ssize_t count;
  PyObject **items = items_of(instructions, &count);
  if (items == NULL) return NULL;
  uint64_t sum = 0xcbf29ce484222325ULL;
  for (Py_ssize_t i = 0; i < count; ++i) {
    if (read_instruction(items[i], &sum) < 0) return NULL;
  }
  return PyLong_FromUnsignedLongLong(sum);
}

/* The content of an export, column-wise: node i has the qubits
 * qubits[qubit_start[i] .. qubit_start[i + 1]) and likewise for its parameters. Names and
 * parameter keys are indices into texts. */
typedef struct {
  Py_ssize_t nodes, text_count;
  char **texts;
  Py_ssize_t *text_sizes;
  uint32_t *names;
  double *durations;
  Py_ssize_t *qubit_start, *param_start;
  uint64_t *qubits;
  uint32_t *param_keys;
  double *param_values;
} Table;

static void table_free(PyObject *capsule) {
  Table *t = PyCapsule_GetPointer(capsule, "floors.Table");
  for (Py_ssize_t i = 0; i < t->text_count; ++i) free(t->texts[i]);
  free(t->texts);
  free(t->text_sizes);
  free(t->names);
  free(t->durations);
  free(t->qubit_start);
  free(t->param_start);
  free(t->qubits);
  free(t->param_keys);
  free(t->param_values);
  free(t);
}

/* The index of `text` in t->texts, added on first sight; `ids` maps str to index. */
static long text_id(Table *t, PyObject *ids, PyObject *text) {
  PyObject *known = PyDict_GetItemWithError(ids, text);
  if (known != NULL) return PyLong_AsLong(known);
  if (PyErr_Occurred()) return -1;
  Py_ssize_t size;
  const char *data = PyUnicode_AsUTF8AndSize(text, &size);
  if (data == NULL) return -1;
  Py_ssize_t id = t->text_count;
  char **texts = realloc(t->texts, (size_t)(id + 1) * sizeof *texts);
  if (texts != NULL) t->texts = texts;
  Py_ssize_t *sizes = realloc(t->text_sizes, (size_t)(id + 1) * sizeof *sizes);
  if (sizes != NULL) t->text_sizes = sizes;
  char *copy = malloc((size_t)size + 1);
  if (texts == NULL || sizes == NULL || copy == NULL) {
    free(copy);
    PyErr_NoMemory();
    return -1;
  }
  memcpy(copy, data, (size_t)size + 1);
  t->texts[id] = copy;
  t->text_sizes[id] = size;
  t->text_count = id + 1;
  PyObject *index = PyLong_FromSsize_t(id);
  int failed = index == NULL || PyDict_SetItem(ids, text, index) < 0;
  Py_XDECREF(index);
  return failed ? -1 : (long)id;
}

static int fill_table(Table *t, PyObject **nodes, PyObject *ids) {
  Py_ssize_t qubit_total = 0, param_total = 0;
  for (Py_ssize_t i = 0; i < t->nodes; ++i) {
    qubit_total += PyList_GET_SIZE(PyTuple_GET_ITEM(nodes[i], 1));
    param_total += PyDict_GET_SIZE(PyTuple_GET_ITEM(nodes[i], 3));
  }
  t->names = malloc((size_t)t->nodes * sizeof *t->names);
  t->durations = malloc((size_t)t->nodes * sizeof *t->durations);
  t->qubit_start = malloc((size_t)(t->nodes + 1) * sizeof *t->qubit_start);
  t->param_start = malloc((size_t)(t->nodes + 1) * sizeof *t->param_start);
  t->qubits = malloc((size_t)(qubit_total + 1) * sizeof *t->qubits);
  t->param_keys = malloc((size_t)(param_total + 1) * sizeof *t->param_keys);
  t->param_values = malloc((size_t)(param_total + 1) * sizeof *t->param_values);
  if (!t->names || !t->durations || !t->qubit_start || !t->param_start || !t->qubits ||
      !t->param_keys || !t->param_values) {
    PyErr_NoMemory();
    return -1;
  }
  Py_ssize_t q = 0, p = 0;
  for (Py_ssize_t i = 0; i < t->nodes; ++i) {
    PyObject *node = nodes[i];
    long name = text_id(t, ids, PyTuple_GET_ITEM(node, 0));
    if (name < 0) return -1;
    t->names[i] = (uint32_t)name;
    t->durations[i] = PyFloat_AsDouble(PyTuple_GET_ITEM(node, 2));
    t->qubit_start[i] = q;
    PyObject *qubits = PyTuple_GET_ITEM(node, 1);
    for (Py_ssize_t k = 0; k < PyList_GET_SIZE(qubits); ++k) {
      t->qubits[q++] = PyLong_AsUnsignedLongLong(PyList_GET_ITEM(qubits, k));
    }
    t->param_start[i] = p;
    Py_ssize_t pos = 0;
    PyObject *key, *value;
    while (PyDict_Next(PyTuple_GET_ITEM(node, 3), &pos, &key, &value)) {
      long id = text_id(t, ids, key);
      if (id < 0) return -1;
      t->param_keys[p] = (uint32_t)id;
      t->param_values[p++] = PyFloat_AsDouble(value);
    }
  }
  t->qubit_start[t->nodes] = q;
  t->param_start[t->nodes] = p;
  return PyErr_Occurred() ? -1 : 0;
}

/* prepare(nodes): nodes is a list of 4-tuples (str, list of int, float, dict of str to
 * float), as export returns them. */
static PyObject *prepare(PyObject *Py_UNUSED(module), PyObject *nodes) {
  if (!PyList_CheckExact(nodes)) {
    PyErr_SetString(PyExc_TypeError, "expected a list");
    return NULL;
  }
  Table *t = calloc(1, sizeof *t);
  if (t == NULL) return PyErr_NoMemory();
  PyObject *capsule = PyCapsule_New(t, "floors.Table", table_free);
  if (capsule == NULL) {
    free(t);
    return NULL;
  }
  t->nodes = PyList_GET_SIZE(nodes);
  PyObject **items = ((PyListObject *)nodes)->ob_item;
  for (Py_ssize_t i = 0; i < t->nodes; ++i) {
    PyObject *node = items[i];
    if (!PyTuple_CheckExact(node) || PyTuple_GET_SIZE(node) != 4 ||
        !PyUnicode_Check(PyTuple_GET_ITEM(node, 0)) ||
        !PyList_CheckExact(PyTuple_GET_ITEM(node, 1)) ||
        !PyDict_CheckExact(PyTuple_GET_ITEM(node, 3))) {
      Py_DECREF(capsule);
      PyErr_SetString(PyExc_TypeError, "expected tuples (str, list, float, dict)");
      return NULL;
    }
  }
  PyObject *ids = PyDict_New();
  if (ids == NULL || fill_table(t, items, ids) < 0) {
    Py_XDECREF(ids);
    Py_DECREF(capsule);
    return NULL;
  }
  Py_DECREF(ids);
  return capsule;
}

/* The objects shared within one build: a str per text, recent floats, the last dict. */
typedef struct {
  PyObject **strs;
  struct {
    uint64_t bits;
    PyObject *obj;
  } floats[256];
  Py_ssize_t last_params; /* the node whose parameters last_dict holds, or -1 */
  PyObject *last_dict;
} Shared;

/* A new reference to a float of `value`, shared while the value recurs. */
static PyObject *shared_float(Shared *shared, double value) {
  uint64_t bits;
  memcpy(&bits, &value, sizeof bits);
  size_t slot = (size_t)((bits * 0x9e3779b97f4a7c15ULL) >> 56);
  if (shared->floats[slot].obj == NULL || shared->floats[slot].bits != bits) {
    PyObject *obj = PyFloat_FromDouble(value);
    if (obj == NULL) return NULL;
    Py_XSETREF(shared->floats[slot].obj, obj);
    shared->floats[slot].bits = bits;
  }
  return Py_NewRef(shared->floats[slot].obj);
}

static int same_params(const Table *t, Py_ssize_t a, Py_ssize_t b) {
  Py_ssize_t first_a = t->param_start[a], first_b = t->param_start[b];
  Py_ssize_t count = t->param_start[a + 1] - first_a;
  if (count != t->param_start[b + 1] - first_b) return 0;
  for (Py_ssize_t k = 0; k < count; ++k) {
    if (t->param_keys[first_a + k] != t->param_keys[first_b + k] ||
        memcmp(&t->param_values[first_a + k], &t->param_values[first_b + k],
               sizeof(double)) != 0) {
      return 0;
    }
  }
  return 1;
}

static PyObject *build_params(const Table *t, Py_ssize_t i, Shared *shared) {
  if (t->param_start[i] == t->param_start[i + 1]) return PyDict_New();
  if (shared->last_params >= 0 && same_params(t, i, shared->last_params)) {
    return PyDict_Copy(shared->last_dict);
  }
  PyObject *params = PyDict_New();
  if (params == NULL) return NULL;
  for (Py_ssize_t p = t->param_start[i]; p < t->param_start[i + 1]; ++p) {
    PyObject *value = shared_float(shared, t->param_values[p]);
    int failed = value == NULL ||
                 PyDict_SetItem(params, shared->strs[t->param_keys[p]], value) < 0;
    Py_XDECREF(value);
    if (failed) {
      Py_DECREF(params);
      return NULL;
    }
  }
  Py_XSETREF(shared->last_dict, Py_NewRef(params));
  shared->last_params = i;
  return params;
}

static PyObject *build_node(const Table *t, Py_ssize_t i, Shared *shared) {
  Py_ssize_t first = t->qubit_start[i], count = t->qubit_start[i + 1] - first;
  PyObject *qubits = PyList_New(count);
  PyObject *duration = shared_float(shared, t->durations[i]);
  PyObject *params = build_params(t, i, shared);
  PyObject *node = PyTuple_New(4);
  if (qubits == NULL || duration == NULL || params == NULL || node == NULL) goto fail;
  for (Py_ssize_t k = 0; k < count; ++k) {
    PyObject *qubit = PyLong_FromUnsignedLongLong(t->qubits[first + k]);
    if (qubit == NULL) goto fail;
    PyList_SET_ITEM(qubits, k, qubit);
  }
  PyTuple_SET_ITEM(node, 0, Py_NewRef(shared->strs[t->names[i]]));
  PyTuple_SET_ITEM(node, 1, qubits);
  PyTuple_SET_ITEM(node, 2, duration);
  PyTuple_SET_ITEM(node, 3, params);
  return node;
fail:
  Py_XDECREF(qubits);
  Py_XDECREF(duration);
  Py_XDECREF(params);
  Py_XDECREF(node);
  return NULL;
}

static PyObject *build(PyObject *Py_UNUSED(module), PyObject *capsule) {
  const Table *t = PyCapsule_GetPointer(capsule, "floors.Table");
  if (t == NULL) return NULL;
  PyObject *result = NULL;
  Shared shared = {.last_params = -1};
  shared.strs = calloc((size_t)t->text_count + 1, sizeof *shared.strs);
  if (shared.strs == NULL) return PyErr_NoMemory();
  for (Py_ssize_t i = 0; i < t->text_count; ++i) {
    shared.strs[i] = PyUnicode_FromStringAndSize(t->texts[i], t->text_sizes[i]);
    if (shared.strs[i] == NULL) goto done;
  }
  result = PyList_New(t->nodes);
  for (Py_ssize_t i = 0; result != NULL && i < t->nodes; ++i) {
    PyObject *node = build_node(t, i, &shared);
    if (node == NULL) Py_CLEAR(result);
    else PyList_SET_ITEM(result, i, node);
  }
done:
  for (Py_ssize_t i = 0; i < t->text_count; ++i) Py_XDECREF(shared.strs[i]);
  free(shared.strs);
  for (size_t i = 0; i < 256; ++i) Py_XDECREF(shared.floats[i].obj);
  Py_XDECREF(shared.last_dict);
  return result;
}

static PyMethodDef methods[] = {
    {"walk", walk, METH_O, "Reads every field of every instruction; returns a checksum."},
    {"prepare", prepare, METH_O, "Copies exported nodes into plain C arrays."},
    {"build", build, METH_O, "Builds the exported nodes from prepared arrays."},
    {NULL, NULL, 0, NULL},
};

static struct PyModuleDef module = {
    .m_base = PyModuleDef_HEAD_INIT,
    .m_name = "_floors",
    .m_doc = "Lower bounds for ingestion and export.",
    .m_size = -1,
    .m_methods = methods,
};

PyMODINIT_FUNC PyInit__floors(void) { return PyModule_Create(&module); }
