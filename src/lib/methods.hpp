// The entry points of RawFileReader, registered by the type in module.cpp and
// defined in the *_methods.cpp file of the core folder they call.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

namespace velmaro::py {

// reader_methods.cpp
PyObject* reader_new(PyTypeObject* subtype, PyObject* args, PyObject* kwargs);
void reader_dealloc(PyObject* self);
PyObject* initialize_caches(PyObject* self, PyObject* unused);
PyObject* creation_date(PyObject* self, void* closure);
PyObject* version(PyObject* self, void* closure);
PyObject* num_scans(PyObject* self, void* closure);

// metadata_methods.cpp
PyObject* get_rt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_injection_time(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_master_scan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_charge_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_monoisotopic_mz(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_trailer_extra(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_instrument_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* get_status_log_labels(PyObject* self, PyObject* unused);
PyObject* get_error_logs(PyObject* self, PyObject* unused);

// peak_methods.cpp
PyObject* get_peaks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* native_get_peaks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames);
PyObject* list_spectra(PyObject* self, PyObject* unused);

}  // namespace velmaro::py
