// src/lib: the Python binding, the only folder that knows Python.  The module
// root (module.cpp: initialisation, the type, its method table), the
// process-wide state (state.hpp), the NumPy arrays (numpy_api.*) and the
// methods, one file per core folder they call (*_methods.cpp).  The core's
// results come in as plain C++ values and leave as Python objects.
//
// This header: the conventions every entry point follows: owned references,
// argument binding and conversion, access to a reader object, result
// conversion, and the mapping of core failures to Python exceptions.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstdint>
#include <exception>
#include <new>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "base/error.hpp"
#include "base/source_location.hpp"
#include "lib/state.hpp"
#include "reader/reader.hpp"

namespace velmaro::py {

// An owned reference, dropped on every way out of a scope.
class Ref {
 public:
  Ref() = default;
  explicit Ref(PyObject* owned) : p_(owned) {}
  Ref(Ref&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  Ref& operator=(Ref&& other) noexcept {
    PyObject* old = std::exchange(p_, std::exchange(other.p_, nullptr));
    Py_XDECREF(old);
    return *this;
  }
  Ref(const Ref&) = delete;
  Ref& operator=(const Ref&) = delete;
  ~Ref() { Py_XDECREF(p_); }

  static Ref borrowed(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  PyObject* get() const { return p_; }
  PyObject* release() { return std::exchange(p_, nullptr); }
  explicit operator bool() const { return p_ != nullptr; }

 private:
  PyObject* p_ = nullptr;
};

// ---- failures --------------------------------------------------------------

// The one place where a failure becomes a Python exception: an I/O error
// the OSError subclass of its number (plain OSError for a number without one
// and for an error known by its message alone), an internal failure
// PanicException after a diagnostic on standard error, an interruption the
// exception its signal handler raised.  Returns nullptr, so that an entry
// point can `return raise_error(...)`.
PyObject* raise_error(const Error& error);
// An interpreter call returned NULL: show its error, then fail internally.
PyObject* api_call_failed(SourceLocation where = SourceLocation::current());

// Runs an entry point's body; a C++ exception must never reach the
// interpreter.  The core throws none of its own, but the standard library
// throws std::bad_alloc when memory runs out.
template <class Body>
PyObject* guarded(Body&& body) noexcept {
  try {
    try {
      return body();
    } catch (const std::bad_alloc&) {
      return raise_error(Error::internal("memory allocation failed"));
    } catch (const std::exception& e) {
      return raise_error(Error::internal(e.what()));
    } catch (...) {
      return raise_error(Error::internal("unexpected failure in native code"));
    }
  } catch (...) {
    // Not even the failure could be described: no memory is left for it.
    return PyErr_NoMemory();
  }
}

// ---- arguments -------------------------------------------------------------

// The one parameter of a method (or of the constructor, "__new__").
struct Signature {
  const char* function;
  const char* parameter;
};

// Binds the arguments of a vectorcall; returns the bound argument (borrowed),
// or nullptr with the binding TypeError set.
PyObject* bind_fastcall(const Signature& sig, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
// The same for a call with a tuple and a dict (the constructor).
PyObject* bind_tuple(const Signature& sig, PyObject* args, PyObject* kwargs);

// Argument conversions; false with an exception set on failure.
bool convert_u32(const Signature& sig, PyObject* obj, uint32_t& out);
bool convert_text(const Signature& sig, PyObject* obj, std::string& out);

// ---- the reader object -----------------------------------------------------

struct ReaderObject {
  PyObject_HEAD
  RawFileReader record;
  // 0: free; n > 0: n shared accesses; -1: one exclusive access.
  std::atomic<Py_ssize_t> access;
};

// The RawFileReader type, created once per process; nullptr with an
// exception set if it cannot be created.
PyTypeObject* reader_type();

// Shared or exclusive access to a reader object, released (and the object's
// reference dropped) when the guard goes.
class Access {
 public:
  static Access shared(PyObject* self) {
    // The common case inline: a reader nobody rebuilds at the moment.
    if (Py_TYPE(self) == g_state.reader_type) {
      auto* object = reinterpret_cast<ReaderObject*>(self);
      Py_ssize_t seen = object->access.load(std::memory_order_relaxed);
      if (seen != -1 && object->access.compare_exchange_strong(seen, seen + 1)) {
        Py_INCREF(self);
        return Access(object, false);
      }
    }
    return shared_slow(self);
  }
  static Access exclusive(PyObject* self);
  Access(Access&& other) noexcept
      : object_(std::exchange(other.object_, nullptr)), exclusive_(other.exclusive_) {}
  Access(const Access&) = delete;
  Access& operator=(const Access&) = delete;
  Access& operator=(Access&&) = delete;
  ~Access() {
    if (object_ == nullptr) return;
    if (exclusive_) {
      object_->access.store(0);
    } else {
      object_->access.fetch_sub(1);
    }
    Py_DECREF(reinterpret_cast<PyObject*>(object_));
  }

  explicit operator bool() const { return object_ != nullptr; }
  RawFileReader& reader() const { return object_->record; }

 private:
  Access(ReaderObject* object, bool exclusive) : object_(object), exclusive_(exclusive) {}
  static Access shared_slow(PyObject* self);
  ReaderObject* object_ = nullptr;
  bool exclusive_ = false;
};

// ---- results ---------------------------------------------------------------
// New references; nullptr (after api_call_failed) if the interpreter fails.

PyObject* to_py(double value);
PyObject* to_py(int32_t value);
PyObject* to_py(uint32_t value);
PyObject* to_py(int64_t value);
PyObject* to_py(std::string_view utf8);
PyObject* to_py(const std::vector<std::string>& texts);
PyObject* none();

// Sets dict[key] = value, taking ownership of value; false with an exception
// set if the value could not be made or inserted.
bool set_item(PyObject* dict, PyObject* key, PyObject* value);

// The keys of `table`, made once from `names`; false with an exception set
// if they cannot be made.
template <size_t N>
bool make_keys(KeyTable<N>& table, const char* const (&names)[N]) {
  if (table.key[N - 1] != nullptr) return true;
  PyObject* tuple = remember(table.tuple, [&]() -> PyObject* {
    Ref keys(PyTuple_New(N));
    if (!keys) return nullptr;
    for (size_t k = 0; k < N; ++k) {
      PyObject* key = PyUnicode_InternFromString(names[k]);
      if (key == nullptr) return nullptr;
      PyTuple_SetItem(keys.get(), static_cast<Py_ssize_t>(k), key);  // steals key
    }
    return keys.release();
  });
  if (tuple == nullptr) return false;
  for (size_t k = 0; k < N; ++k) table.key[k] = PyTuple_GetItem(tuple, static_cast<Py_ssize_t>(k));
  return true;
}

// ---- method shapes ---------------------------------------------------------

// A method of one unsigned 32-bit argument under shared access:
// bind, take access, convert, work.
template <class Body>
PyObject* u32_method(const Signature& sig, PyObject* self, PyObject* const* args, Py_ssize_t nargs,
                     PyObject* kwnames, Body&& body) {
  return guarded([&]() -> PyObject* {
    PyObject* arg = nargs == 1 && kwnames == nullptr ? args[0] : bind_fastcall(sig, args, nargs, kwnames);
    if (arg == nullptr) return nullptr;
    Access access = Access::shared(self);
    if (!access) return nullptr;
    uint32_t value;
    if (!convert_u32(sig, arg, value)) return nullptr;
    return body(std::as_const(access.reader()), value);
  });
}

// A method or getter without arguments under shared access.
template <class Body>
PyObject* shared_method(PyObject* self, Body&& body) {
  return guarded([&]() -> PyObject* {
    Access access = Access::shared(self);
    if (!access) return nullptr;
    return body(std::as_const(access.reader()));
  });
}

}  // namespace velmaro::py
