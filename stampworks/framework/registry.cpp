#include "stampworks/framework/registry.hpp"

#include "pyglue/pyglue.hpp"
#include "stampworks/framework/host_state.hpp"

using pyglue::Ref;

namespace stampworks::registry {

namespace {

// The registry owns its references: a model the host drops stays alive for
// as long as a driver may call it.
class ModelList {
 public:
  ~ModelList() { clear(); }
  void clear() {
    std::vector<ModelObject*> old;
    old.swap(items_);
    for (ModelObject* m : old) Py_DECREF(reinterpret_cast<PyObject*>(m));
  }
  void reserve(size_t n) { items_.reserve(n); }
  void push(PyObject* m) {
    Py_INCREF(m);
    items_.push_back(reinterpret_cast<ModelObject*>(m));
  }
  const std::vector<ModelObject*>& items() const { return items_; }

 private:
  std::vector<ModelObject*> items_;
};

ModelList all_emodels;
ModelList source_emodels;
bool valid = false;
uint64_t checked_epoch = 0;
Extent extent_cache;
Py_ssize_t first_unusable = -1;  // registry position of a model that may not run

// Reads owner.<list_name>[i].model for i < count; the list is not even
// looked up when count is 0.
bool fill(ModelList& list, PyObject* owner, const char* list_name, int32_t count) {
  if (count == 0) return true;
  Ref elements = pyglue::getattr(owner, list_name);
  if (!elements) return false;
  list.reserve(static_cast<size_t>(count));
  for (int32_t i = 0; i < count; ++i) {
    Ref index(PyLong_FromLong(i));
    Ref element(index ? PyObject_GetItem(elements.get(), index.get()) : nullptr);
    Ref model = element ? pyglue::getattr(element.get(), "model") : Ref();
    if (!model) return false;
    if (!PyObject_TypeCheck(model.get(), &ElementModel_Type))
      return pyglue::type_error("%s[%d].model is a %.200s, not an ElementModel", list_name, i,
                                Py_TYPE(model.get())->tp_name);
    list.push(model.get());
  }
  return true;
}

void recompute() {
  extent_cache = Extent{};
  first_unusable = -1;
  const auto& items = all_emodels.items();
  for (size_t k = 0; k < items.size(); ++k) {
    Extent e;
    items[k]->ops->extent(items[k], e);
    if ((!e.bound || !e.ready) && first_unusable < 0) {
      first_unusable = static_cast<Py_ssize_t>(k);
      extent_cache.bound = e.bound;
      extent_cache.ready = e.ready;
      extent_cache.not_ready_reason = e.not_ready_reason;
    }
    extent_cache.min_slot = std::min(extent_cache.min_slot, e.min_slot);
    extent_cache.max_slot = std::max(extent_cache.max_slot, e.max_slot);
    extent_cache.max_unknown = std::max(extent_cache.max_unknown, e.max_unknown);
  }
  checked_epoch = binding_epoch;
}

}  // namespace

const std::vector<ModelObject*>& models() { return all_emodels.items(); }

PyObject* InitElementModels(PyObject*, PyObject* args, PyObject* kwds) {
  if (!pyglue::parse_no_args("InitElementModels", args, kwds)) return nullptr;
  Ref kvglobals = host::global("kvglobals");
  Ref nthreads_obj = host::global("NTHREADS");
  int32_t nsource, nelem, nthreads;
  if (!kvglobals || !pyglue::attr_to_int32(kvglobals.get(), "TotalSourceElements", nsource) ||
      !pyglue::attr_to_int32(kvglobals.get(), "TotalElements", nelem) || !nthreads_obj ||
      !pyglue::to_int32(nthreads_obj.get(), nthreads))
    return nullptr;

  // From here on a failure leaves no usable registry.
  valid = false;
  source_emodels.clear();
  all_emodels.clear();
  if (nsource < 0 || nelem < 0)
    return pyglue::value_error("element counts must not be negative (TotalSourceElements = %d, "
                               "TotalElements = %d)", nsource, nelem);

  Ref np = host::global("np");
  Ref zeros = np ? pyglue::getattr(np.get(), "zeros") : Ref();
  Ref float64 = np ? pyglue::getattr(np.get(), "float64") : Ref();
  Ref total_nodes = pyglue::getattr(kvglobals.get(), "TotalNodes");
  if (!zeros || !float64 || !total_nodes) return nullptr;
  Ref shape(Py_BuildValue("(iO)", nthreads, total_nodes.get()));
  Ref kwargs(Py_BuildValue("{sO}", "dtype", float64.get()));
  Ref shape_args(shape ? PyTuple_Pack(1, shape.get()) : nullptr);
  Ref helper(shape_args && kwargs ? PyObject_Call(zeros.get(), shape_args.get(), kwargs.get()) : nullptr);
  if (!helper || PyDict_SetItemString(host::module_dict, "RHSHelper", helper.get()) < 0) return nullptr;

  if (!fill(source_emodels, kvglobals.get(), "SourceElementList", nsource) ||
      !fill(all_emodels, kvglobals.get(), "ElementList", nelem))
    return nullptr;
  valid = true;
  recompute();
  return pyglue::none();
}

const Extent* check(int32_t nelem) {
  if (!valid)
    return pyglue::runtime_error("no element models are registered: InitElementModels() has not "
                                 "completed successfully");
  Py_ssize_t size = static_cast<Py_ssize_t>(all_emodels.items().size());
  if (nelem != size)
    return pyglue::runtime_error("kvglobals.TotalElements is %d but %zd models are registered; "
                                 "call InitElementModels() again", nelem, size);
  if (checked_epoch != binding_epoch) recompute();
  if (first_unusable >= 0) {
    PyObject* m = reinterpret_cast<PyObject*>(all_emodels.items()[first_unusable]);
    if (!extent_cache.bound)
      return pyglue::runtime_error("registered model %zd (%.200s) is not bound: call InitModel() "
                                   "first", first_unusable, Py_TYPE(m)->tp_name);
    return pyglue::runtime_error("registered model %zd (%.200s) cannot run: %s", first_unusable,
                                 Py_TYPE(m)->tp_name, extent_cache.not_ready_reason);
  }
  return &extent_cache;
}

bool check_matrix(const Extent& e, Py_ssize_t len, const char* name) {
  if (e.max_slot < 0) return true;
  if (e.min_slot < 0)
    return pyglue::value_error("a registered model uses slot %lld, outside %s",
                               static_cast<long long>(e.min_slot), name);
  if (e.max_slot >= len)
    return pyglue::value_error("%s has %zd entries but a registered model uses slot %lld", name, len,
                               static_cast<long long>(e.max_slot));
  return true;
}

bool check_vector(const Extent& e, Py_ssize_t len, const char* name) {
  if (e.max_unknown <= len) return true;
  return pyglue::value_error("%s has %zd entries but a registered model uses unknown %lld", name, len,
                             static_cast<long long>(e.max_unknown));
}

}  // namespace stampworks::registry
