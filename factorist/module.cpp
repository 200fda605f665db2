// kivrun.Factorist: the Factorist type, which analyses a compressed-column
// pattern once and factors and solves every new system of it with KLU.
#include "factorist/klu_solver.hpp"
#include "pyglue/pyglue.hpp"

#include <new>

namespace {

using pyglue::Buffer;
using pyglue::Ref;

// Bound once at import and kept for the life of the process.
PyTypeObject* array_type = nullptr;    // array.array
PyTypeObject* ndarray_type = nullptr;  // numpy.ndarray
PyObject* dbl_array_template = nullptr;
PyObject* linalg_error = nullptr;      // numpy.linalg.LinAlgError

struct FactoristObject {
  PyObject_HEAD
  factorist::KluSolver solver;  // symbolic analysis, KLU settings, private pattern copy
  int32_t n;
  int32_t nnz;
  // The host's pattern arrays (kept alive and visible to the collector; KLU
  // reads the private copy) and the value buffer that solveMatrix gathers into.
  PyObject* Ai;
  PyObject* Ap;
  PyObject* Asparse;
};

// Py_NewRef arrived only in 3.10.
PyObject* new_ref(PyObject* obj) {
  Py_INCREF(obj);
  return obj;
}

FactoristObject* self_of(PyObject* obj) { return reinterpret_cast<FactoristObject*>(obj); }

bool solvable(const FactoristObject* self) { return self->n > 0 && self->solver.ready(); }

// ---- lifecycle ------------------------------------------------------------

PyObject* Factorist_new(PyTypeObject* type, PyObject*, PyObject*) {
  PyObject* obj = type->tp_alloc(type, 0);
  if (!obj) return nullptr;
  FactoristObject* self = self_of(obj);
  new (&self->solver) factorist::KluSolver();
  self->n = self->nnz = 0;
  self->Ai = new_ref(Py_None);
  self->Ap = new_ref(Py_None);
  self->Asparse = new_ref(Py_None);
  return obj;
}

int Factorist_traverse(PyObject* obj, visitproc visit, void* arg) {
  FactoristObject* self = self_of(obj);
#if PY_VERSION_HEX >= 0x03090000
  Py_VISIT(Py_TYPE(obj));
#endif
  Py_VISIT(self->Ai);
  Py_VISIT(self->Ap);
  Py_VISIT(self->Asparse);
  return 0;
}

int Factorist_clear(PyObject* obj) {
  FactoristObject* self = self_of(obj);
  Py_CLEAR(self->Ai);
  Py_CLEAR(self->Ap);
  Py_CLEAR(self->Asparse);
  return 0;
}

void Factorist_dealloc(PyObject* obj) {
  PyObject_GC_UnTrack(obj);
  Factorist_clear(obj);
  self_of(obj)->solver.~KluSolver();  // frees a symbolic analysis still held
  PyTypeObject* type = Py_TYPE(obj);
  type->tp_free(obj);
  Py_DECREF(type);
}

// ---- analyze ----------------------------------------------------------------

// A new value buffer of `length` entries with the template's type and typecode.
Ref clone_template(Py_ssize_t length) {
  Ref typecode = pyglue::getattr(dbl_array_template, "typecode");
  if (!typecode) return {};
  Ref seed(PyObject_CallFunction(reinterpret_cast<PyObject*>(Py_TYPE(dbl_array_template)), "O[d]",
                                 typecode.get(), 0.0));
  if (!seed) return {};
  return Ref(PySequence_Repeat(seed.get(), length));
}

// Refuses any pattern that would let KLU index outside the given arrays.
bool check_pattern(int32_t n, const Buffer& ap, const Buffer& ai) {
  const int32_t* col_ptr = ap.data<int32_t>();
  if (n < 0 || n >= ap.len()) return pyglue::index_error("array index out of range");
  if (col_ptr[0] != 0) return pyglue::value_error("Ap[0] must be 0 (got %d)", col_ptr[0]);
  for (int32_t col = 0; col < n; ++col)
    if (col_ptr[col + 1] < col_ptr[col])
      return pyglue::value_error("Ap must not decrease (Ap[%d] = %d > Ap[%d] = %d)", col,
                                 col_ptr[col], col + 1, col_ptr[col + 1]);
  int32_t nnz = col_ptr[n];
  if (ai.len() < nnz)
    return pyglue::value_error("Ai holds %zd row indices, fewer than Ap[n] = %d", ai.len(), nnz);
  const int32_t* row_idx = ai.data<int32_t>();
  for (int32_t k = 0; k < nnz; ++k)
    if (row_idx[k] < 0 || row_idx[k] >= n)
      return pyglue::value_error("Ai[%d] = %d is not a row of a matrix of order %d", k,
                                 row_idx[k], n);
  return true;
}

// Nothing changes unless the whole analysis succeeds, so a refused pattern
// leaves the object solving with the analysis it had.
PyObject* Factorist_analyze(PyObject* obj, PyObject* args, PyObject* kwds) {
  static const char* const names[] = {"n", "Ap", "Ai"};
  PyObject* argv[3];
  if (!pyglue::parse_args("analyze", args, kwds, names, argv)) return nullptr;
  if (!pyglue::check_arg_type(argv[1], array_type, "Ap") ||
      !pyglue::check_arg_type(argv[2], array_type, "Ai"))
    return nullptr;
  int32_t n;
  if (!pyglue::to_int32(argv[0], n)) return nullptr;

  Buffer ap, ai;
  if (!ap.acquire(argv[1], pyglue::INT_t, false) || !ai.acquire(argv[2], pyglue::INT_t, false))
    return nullptr;
  if (!check_pattern(n, ap, ai)) return nullptr;
  int32_t nnz = ap.data<int32_t>()[n];

  Ref values = clone_template(nnz);
  if (!values) return nullptr;

  FactoristObject* self = self_of(obj);
  if (n > 0) {
    const int32_t* col_ptr = ap.data<int32_t>();
    const int32_t* row_idx = ai.data<int32_t>();
    int status = self->solver.analyze(n, std::vector<int>(col_ptr, col_ptr + n + 1),
                                      std::vector<int>(row_idx, row_idx + nnz));
    if (status == KLU_OUT_OF_MEMORY) return PyErr_NoMemory();
    if (status != KLU_OK)
      return pyglue::value_error("klu_analyze failed: %s (KLU status %d)",
                                 factorist::klu_status_text(status), status);
  } else {
    self->solver.release();  // order 0: nothing to analyse, nothing to solve
  }
  self->n = n;
  self->nnz = nnz;
  Py_SETREF(self->Ai, new_ref(argv[2]));
  Py_SETREF(self->Ap, new_ref(argv[1]));
  Py_SETREF(self->Asparse, values.release());
  Py_RETURN_NONE;
}

// ---- solving ------------------------------------------------------------------

// The checks every solve method makes once it knows a solve will happen.
bool check_sizes(const FactoristObject* self, Py_ssize_t nvalues, const Buffer& rhs) {
  if (nvalues < self->nnz)
    return pyglue::value_error("Ax holds %zd values, fewer than the %d of the pattern", nvalues,
                               self->nnz);
  if (rhs.len() < self->n)
    return pyglue::value_error("B holds %zd entries, fewer than the order %d", rhs.len(),
                               self->n);
  return true;
}

PyObject* factor_and_solve(FactoristObject* self, const double* values, const Buffer& rhs) {
  int status = self->solver.factor_solve(values, rhs.data<double>());
  if (status == KLU_OK) Py_RETURN_NONE;
  if (status == KLU_OUT_OF_MEMORY) return PyErr_NoMemory();
  PyErr_Format(linalg_error, "%s (KLU status %d)", factorist::klu_status_text(status), status);
  return nullptr;
}

// Shared by solve and solveSparseMatrix: values and right-hand side as given.
PyObject* solve_vectors(PyObject* obj, PyObject* args, PyObject* kwds, const char* fname,
                        PyTypeObject* type) {
  static const char* const names[] = {"Ax", "B"};
  PyObject* argv[2];
  if (!pyglue::parse_args(fname, args, kwds, names, argv)) return nullptr;
  if (!pyglue::check_arg_type(argv[0], type, "Ax") || !pyglue::check_arg_type(argv[1], type, "B"))
    return nullptr;
  Buffer values, rhs;
  if (!values.acquire(argv[0], pyglue::FLOAT_t, false) ||
      !rhs.acquire(argv[1], pyglue::FLOAT_t, true))
    return nullptr;
  FactoristObject* self = self_of(obj);
  if (!solvable(self)) Py_RETURN_NONE;
  if (!check_sizes(self, values.len(), rhs)) return nullptr;
  return factor_and_solve(self, values.data<double>(), rhs);
}

PyObject* Factorist_solve(PyObject* obj, PyObject* args, PyObject* kwds) {
  return solve_vectors(obj, args, kwds, "solve", array_type);
}

PyObject* Factorist_solveSparseMatrix(PyObject* obj, PyObject* args, PyObject* kwds) {
  return solve_vectors(obj, args, kwds, "solveSparseMatrix", ndarray_type);
}

PyObject* Factorist_solveMatrix(PyObject* obj, PyObject* args, PyObject* kwds) {
  static const char* const names[] = {"Ax", "B"};
  PyObject* argv[2];
  if (!pyglue::parse_args("solveMatrix", args, kwds, names, argv)) return nullptr;
  if (!pyglue::check_arg_type(argv[0], ndarray_type, "Ax") ||
      !pyglue::check_arg_type(argv[1], ndarray_type, "B"))
    return nullptr;
  Buffer dense, rhs;
  if (!dense.acquire(argv[0], pyglue::FLOAT_t, false, 2) ||
      !rhs.acquire(argv[1], pyglue::FLOAT_t, true))
    return nullptr;
  FactoristObject* self = self_of(obj);
  if (!solvable(self)) Py_RETURN_NONE;
  const int32_t n = self->n;
  if (dense.shape(0) < n || dense.shape(1) < n)
    return pyglue::value_error("Ax is %zd x %zd, smaller than the order %d x %d", dense.shape(0),
                               dense.shape(1), n, n);
  if (!check_sizes(self, self->nnz, rhs)) return nullptr;

  // The value buffer is private but reachable through the collector's
  // referents, so its size is checked rather than trusted.
  Buffer gathered;
  if (!self->Asparse) return pyglue::runtime_error("the value buffer has been cleared");
  if (!gathered.acquire(self->Asparse, pyglue::FLOAT_t, true)) return nullptr;
  if (gathered.len() < self->nnz) return pyglue::runtime_error("the value buffer has been resized");

  const double* cells = dense.data<double>();
  const Py_ssize_t row_stride = dense.shape(1);
  const int* col_ptr = self->solver.col_ptr();
  const int* row_idx = self->solver.row_idx();
  double* values = gathered.data<double>();
  for (int32_t col = 0; col < n; ++col)
    for (int j = col_ptr[col]; j < col_ptr[col + 1]; ++j)
      values[j] = cells[row_idx[j] * row_stride + col];
  return factor_and_solve(self, values, rhs);
}

PyObject* Factorist_del(PyObject* obj, PyObject* args, PyObject* kwds) {
  if (!pyglue::parse_no_args("__del__", args, kwds)) return nullptr;
  self_of(obj)->solver.release();
  Py_RETURN_NONE;
}

PyObject* Factorist_refuse_pickle(PyObject*, PyObject*, PyObject*) {
  return pyglue::type_error("no default __reduce__ due to non-trivial __cinit__");
}

// ---- type and module ----------------------------------------------------------

constexpr int kw_flags = METH_VARARGS | METH_KEYWORDS;

#define KW_METHOD(fn) reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn))

PyMethodDef Factorist_methods[] = {
    {"analyze", KW_METHOD(Factorist_analyze), kw_flags,
     "analyze(n, Ap, Ai)\n\nAnalyse the compressed-column pattern of an n x n matrix once."},
    {"solve", KW_METHOD(Factorist_solve), kw_flags,
     "solve(Ax, B)\n\nFactor the values (array.array 'd', pattern order) and solve into B."},
    {"solveSparseMatrix", KW_METHOD(Factorist_solveSparseMatrix), kw_flags,
     "solveSparseMatrix(Ax, B)\n\nAs solve, with float64 NumPy vectors."},
    {"solveMatrix", KW_METHOD(Factorist_solveMatrix), kw_flags,
     "solveMatrix(Ax, B)\n\nGather the pattern entries of the dense matrix Ax and solve into B."},
    {"__del__", KW_METHOD(Factorist_del), kw_flags,
     "__del__()\n\nRelease the symbolic analysis."},
    {"__reduce__", KW_METHOD(Factorist_refuse_pickle), kw_flags, nullptr},
    {"__setstate__", KW_METHOD(Factorist_refuse_pickle), kw_flags, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyType_Slot Factorist_slots[] = {
    {Py_tp_new, reinterpret_cast<void*>(Factorist_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(Factorist_dealloc)},
    {Py_tp_traverse, reinterpret_cast<void*>(Factorist_traverse)},
    {Py_tp_clear, reinterpret_cast<void*>(Factorist_clear)},
    {Py_tp_methods, Factorist_methods},
    {Py_tp_doc, const_cast<char*>("Factorist()\n\nSparse LU solver (KLU) for one analysed pattern.")},
    {0, nullptr},
};

PyType_Spec Factorist_spec = {
    "kivrun.Factorist.Factorist",
    sizeof(FactoristObject),
    0,
    Py_TPFLAGS_DEFAULT | Py_TPFLAGS_BASETYPE | Py_TPFLAGS_HAVE_GC,
    Factorist_slots,
};

PyModuleDef factorist_module = {
    PyModuleDef_HEAD_INIT, "Factorist", "Sparse LU solver on SuiteSparse KLU.", -1,
    nullptr, nullptr, nullptr, nullptr, nullptr,
};

bool init_module(PyObject* module) {
  Ref np(PyImport_ImportModule("numpy"));
  Ref linalg(PyImport_ImportModule("numpy.linalg"));
  Ref array(PyImport_ImportModule("array"));
  if (!np || !linalg || !array) return false;
  Ref ndarray = pyglue::getattr(np.get(), "ndarray");
  Ref array_cls = pyglue::getattr(array.get(), "array");
  Ref error = pyglue::getattr(linalg.get(), "LinAlgError");
  if (!ndarray || !array_cls || !error) return false;
  if (!PyType_Check(ndarray.get()) || !PyType_Check(array_cls.get()))
    return pyglue::type_error("numpy.ndarray and array.array must be types");
  Ref template_(PyObject_CallFunction(array_cls.get(), "s[]", "d"));
  Ref type(PyType_FromSpec(&Factorist_spec));
  if (!template_ || !type) return false;

  if (PyModule_AddObject(module, "np", np.get()) < 0) return false;
  np.release();
  if (PyModule_AddObject(module, "array", array.get()) < 0) return false;
  array.release();
  if (PyModule_AddObject(module, "dbl_array_template", new_ref(template_.get())) < 0) {
    Py_DECREF(template_.get());
    return false;
  }
  if (PyModule_AddObject(module, "Factorist", new_ref(type.get())) < 0) {
    Py_DECREF(type.get());
    return false;
  }
  ndarray_type = reinterpret_cast<PyTypeObject*>(ndarray.release());
  array_type = reinterpret_cast<PyTypeObject*>(array_cls.release());
  linalg_error = error.release();
  dbl_array_template = template_.release();
  return true;
}

}  // namespace

PyMODINIT_FUNC PyInit_Factorist() {
  Ref module(PyModule_Create(&factorist_module));
  if (!module || !init_module(module.get())) return nullptr;
  return module.release();
}
