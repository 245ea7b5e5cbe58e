// The binding's process-wide state, in one place: each member is made once,
// under the interpreter lock, and kept for the life of the process.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <atomic>
#include <cstddef>
#include <cstdint>

namespace velmaro::py {

// Interned str keys for dicts of fixed keys: a tuple that owns them, and the
// same keys borrowed in an array, for building a dict without lookups.
template <size_t N>
struct KeyTable {
  PyObject* tuple = nullptr;
  PyObject* key[N] = {};
};

struct ModuleState {
  // The one interpreter the module serves; -1 until the first import.
  std::atomic<int64_t> interpreter{-1};
  PyObject* module = nullptr;
  PyTypeObject* reader_type = nullptr;
  PyObject* panic_type = nullptr;
  KeyTable<6> summary_keys;              // the keys of a list_spectra entry
  PyObject* summary_template = nullptr;  // a dict holding those keys, copied per scan
  KeyTable<13> trailer_keys;             // the keys of get_trailer_extra
  const char* numpy_core_package = nullptr;
  void** numpy_api = nullptr;            // NumPy's C-API table, owned by NumPy
};

inline ModuleState g_state;

inline void drop(PyObject* made) { Py_DECREF(made); }
inline void drop(PyTypeObject* made) { Py_DECREF(reinterpret_cast<PyObject*>(made)); }
inline void drop(const char*) {}  // static text
inline void drop(void**) {}       // NumPy's, not ours

// The member in `slot`, made by `make` the first time.  Making it may run
// Python code (an import), during which another thread may make it too: the
// first value stored wins and a later one is dropped.  nullptr, with the
// exception set by `make`, if making fails; nothing is stored then, so the
// next call tries again.
template <class T, class Make>
T* remember(T*& slot, Make&& make) {
  if (slot == nullptr) {
    T* made = make();
    if (made == nullptr) return nullptr;
    if (slot == nullptr) {
      slot = made;
    } else {
      drop(made);
    }
  }
  return slot;
}

}  // namespace velmaro::py
