#include "lib/numpy_api.hpp"

#include <cstdint>
#include <string>

namespace velmaro::py {

namespace {

// The few NumPy ABI facts the module relies on; they are the same in NumPy
// 1.x and 2.x, so one binary serves both.  tests/cpp/numpy_abi_check.cpp
// checks them against the NumPy headers.
constexpr int kNpyFloat = 11;
constexpr int kNpyDouble = 12;
constexpr int kNpyArrayWriteable = 0x0400;
constexpr int kApiArrayType = 2;
constexpr int kApiDescrFromType = 45;
constexpr int kApiNewFromDescr = 94;
constexpr int kApiSetBaseObject = 282;

using DescrFromType = PyObject* (*)(int type_num);
using NewFromDescr = PyObject* (*)(PyTypeObject* subtype, PyObject* descr, int nd, const intptr_t* dims,
                                   const intptr_t* strides, void* data, int flags, PyObject* obj);
using SetBaseObject = int (*)(PyObject* array, PyObject* base);

// "ModuleNotFoundError: No module named 'numpy'" for the pending error.
std::string describe_pending_error() {
  PyObject *type, *value, *traceback;
  PyErr_Fetch(&type, &value, &traceback);
  PyErr_NormalizeException(&type, &value, &traceback);
  Ref type_ref(type), value_ref(value), traceback_ref(traceback);
  std::string text = "unknown error";
  auto utf8 = [](PyObject* obj) -> std::string {
    Py_ssize_t size;
    const char* chars = obj != nullptr ? PyUnicode_AsUTF8AndSize(obj, &size) : nullptr;
    return chars != nullptr ? std::string(chars, size) : std::string();
  };
  if (type != nullptr) {
    Ref name(PyObject_GetAttrString(type, "__qualname__"));
    text = utf8(name.get());
  }
  if (value != nullptr) {
    Ref message(PyObject_Str(value));
    const std::string detail = utf8(message.get());
    if (!detail.empty()) text += ": " + detail;
  }
  PyErr_Clear();
  return text;
}

// "numpy._core" from NumPy 2 on, "numpy.core" before.
const char* find_core_package() {
  Ref numpy(PyImport_ImportModule("numpy"));
  if (!numpy) return nullptr;
  Ref version(PyObject_GetAttrString(numpy.get(), "__version__"));
  if (!version) return nullptr;
  Ref lib(PyImport_ImportModule("numpy.lib"));
  if (!lib) return nullptr;
  Ref numpy_version(PyObject_GetAttrString(lib.get(), "NumpyVersion"));
  if (!numpy_version) return nullptr;
  Ref parsed(PyObject_CallFunctionObjArgs(numpy_version.get(), version.get(), nullptr));
  if (!parsed) return nullptr;
  Ref major_attr(PyObject_GetAttrString(parsed.get(), "major"));
  if (!major_attr) return nullptr;
  const long major = PyLong_AsLong(major_attr.get());
  if (major == -1 && PyErr_Occurred()) return nullptr;
  if (major < 0 || major > 255) {
    PyErr_SetString(PyExc_OverflowError, "out of range integral type conversion attempted");
    return nullptr;
  }
  return major >= 2 ? "numpy._core" : "numpy.core";
}

void** load_api() {
  const char* package = remember(g_state.numpy_core_package, find_core_package);
  if (package == nullptr) return nullptr;
  Ref multiarray(PyImport_ImportModule((std::string(package) + ".multiarray").c_str()));
  if (!multiarray) return nullptr;
  Ref capsule(PyObject_GetAttrString(multiarray.get(), "_ARRAY_API"));
  if (!capsule) return nullptr;
  if (!PyCapsule_CheckExact(capsule.get())) {
    Ref name(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(capsule.get())), "__qualname__"));
    if (!name) return nullptr;
    PyErr_Format(PyExc_TypeError, "'%U' object cannot be converted to 'PyCapsule'", name.get());
    return nullptr;
  }
  const char* capsule_name = PyCapsule_GetName(capsule.get());
  if (capsule_name == nullptr && PyErr_Occurred()) return nullptr;
  return static_cast<void**>(PyCapsule_GetPointer(capsule.get(), capsule_name));
}

// The API table; nullptr with PanicException set when NumPy cannot be
// loaded, in which case the next call tries again.
void** numpy_api() {
  void** api = remember(g_state.numpy_api, load_api);
  if (api == nullptr) raise_error(Error::internal("Failed to access NumPy array API capsule: " + describe_pending_error()));
  return api;
}

constexpr const char kHolderName[] = "velmaro.peak_buffer";

template <class T>
void free_holder(PyObject* capsule) {
  delete static_cast<std::vector<T>*>(PyCapsule_GetPointer(capsule, kHolderName));
}

template <class T>
PyObject* make_array(std::vector<T>&& values, int type_num) {
  void** api = numpy_api();
  if (api == nullptr) return nullptr;

  auto* owned = new std::vector<T>(std::move(values));
  Ref holder(PyCapsule_New(owned, kHolderName, free_holder<T>));
  if (!holder) {
    delete owned;
    PyErr_Clear();
    return raise_error(Error::internal("Failed to create slice container"));
  }

  PyObject* descr = reinterpret_cast<DescrFromType>(api[kApiDescrFromType])(type_num);
  if (descr == nullptr) return api_call_failed();
  const intptr_t dims[1] = {static_cast<intptr_t>(owned->size())};
  const intptr_t strides[1] = {static_cast<intptr_t>(sizeof(T))};
  // Steals descr, also on failure.
  Ref array(reinterpret_cast<NewFromDescr>(api[kApiNewFromDescr])(
      static_cast<PyTypeObject*>(api[kApiArrayType]), descr, 1, dims, strides, owned->data(), kNpyArrayWriteable,
      nullptr));
  if (!array) return api_call_failed();
  // Steals the holder, also on failure.
  if (reinterpret_cast<SetBaseObject>(api[kApiSetBaseObject])(array.get(), holder.release()) < 0) {
    return api_call_failed();
  }
  return array.release();
}

}  // namespace

PyObject* array_over(std::vector<double>&& values) { return make_array(std::move(values), kNpyDouble); }
PyObject* array_over(std::vector<float>&& values) { return make_array(std::move(values), kNpyFloat); }

}  // namespace velmaro::py
