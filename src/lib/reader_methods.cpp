// The constructor, the properties and initialize_caches of RawFileReader.
#include <new>

#include "lib/binding.hpp"
#include "lib/methods.hpp"

namespace velmaro::py {

namespace {

constexpr Signature kNew{"__new__", "path"};

}  // namespace

PyObject* reader_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs) {
  return guarded([&]() -> PyObject* {
    PyObject* arg = bind_tuple(kNew, args, kwargs);
    if (arg == nullptr) return nullptr;
    std::string path;
    if (!convert_text(kNew, arg, path)) return nullptr;

    auto reader = open_reader(std::move(path));
    if (!reader) return raise_error(reader.error());

    auto alloc = reinterpret_cast<allocfunc>(PyType_GetSlot(subtype, Py_tp_alloc));
    PyObject* self = alloc(subtype, 0);
    if (self == nullptr) return nullptr;  // the record goes with `reader`
    auto* object = reinterpret_cast<ReaderObject*>(self);
    new (&object->record) RawFileReader(std::move(reader.value()));
    new (&object->access) std::atomic<Py_ssize_t>(0);
    return self;
  });
}

void reader_dealloc(PyObject* self) {
  PyTypeObject* type = Py_TYPE(self);
  auto* object = reinterpret_cast<ReaderObject*>(self);
  object->record.~RawFileReader();
  using Flag = std::atomic<Py_ssize_t>;
  object->access.~Flag();
  reinterpret_cast<freefunc>(PyType_GetSlot(type, Py_tp_free))(self);
  Py_DECREF(type);
}

PyObject* initialize_caches(PyObject* self, PyObject*) {
  return guarded([&]() -> PyObject* {
    Access access = Access::exclusive(self);
    if (!access) return nullptr;
    if (auto built = velmaro::initialize_caches(access.reader()); !built) return raise_error(built.error());
    return none();
  });
}

PyObject* creation_date(PyObject* self, void*) {
  return shared_method(self, [](const RawFileReader& r) { return to_py(velmaro::creation_date(r.creation_filetime)); });
}

PyObject* version(PyObject* self, void*) {
  return shared_method(self, [](const RawFileReader& r) { return to_py(r.version); });
}

PyObject* num_scans(PyObject* self, void*) {
  return shared_method(self, [](const RawFileReader& r) { return to_py(r.num_scans); });
}

}  // namespace velmaro::py
