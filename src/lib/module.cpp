// The module root: its initialisation, the RawFileReader type and the table
// of what the type exposes.
#include "lib/binding.hpp"
#include "lib/methods.hpp"

namespace velmaro::py {

namespace {

template <class Fn>
PyCFunction as_cfunction(Fn fn) {
  return reinterpret_cast<PyCFunction>(reinterpret_cast<void (*)()>(fn));
}

constexpr int kOneArgument = METH_FASTCALL | METH_KEYWORDS;

PyMethodDef kMethods[] = {
    {"initialize_caches", as_cfunction(initialize_caches), METH_NOARGS,
     "initialize_caches($self)\n--\n\nInternal method to populate RT, scan offset, and diagnostic caches."},
    {"get_rt", as_cfunction(get_rt), kOneArgument,
     "get_rt($self, scan_number)\n--\n\nReturns the retention time (in minutes) for the specified scan number."},
    {"get_injection_time", as_cfunction(get_injection_time), kOneArgument,
     "get_injection_time($self, scan_number)\n--\n\n"
     "Returns the ion injection time (in milliseconds) for the specified scan number."},
    {"get_master_scan", as_cfunction(get_master_scan), kOneArgument,
     "get_master_scan($self, scan_number)\n--\n\nReturns the master scan number for the given MSn scan."},
    {"get_charge_state", as_cfunction(get_charge_state), kOneArgument,
     "get_charge_state($self, scan_number)\n--\n\nReturns the precursor charge state for the given scan."},
    {"get_monoisotopic_mz", as_cfunction(get_monoisotopic_mz), kOneArgument,
     "get_monoisotopic_mz($self, scan_number)\n--\n\nReturns the precursor monoisotopic m/z for the given scan."},
    {"get_trailer_extra", as_cfunction(get_trailer_extra), kOneArgument,
     "get_trailer_extra($self, scan_number)\n--\n\nRecovers diagnostic metadata from the scan trailer.\n"
     "Returns a dictionary of available fields (e.g., 'Ion Injection Time (ms)', 'MS Order')."},
    {"get_instrument_method", as_cfunction(get_instrument_method), kOneArgument,
     "get_instrument_method($self, _index)\n--\n\nReturns the instrument method report for the given index.\n"
     "In modern XML-based files, this typically contains the full CmData block."},
    {"get_status_log_labels", as_cfunction(get_status_log_labels), METH_NOARGS,
     "get_status_log_labels($self)\n--\n\n"
     "Returns a list of labels for all parameters monitored in the instrument status log."},
    {"get_error_logs", as_cfunction(get_error_logs), METH_NOARGS,
     "get_error_logs($self)\n--\n\n"
     "Returns a list of hardware and software warning messages captured during acquisition."},
    {"get_peaks", as_cfunction(get_peaks), kOneArgument,
     "get_peaks($self, scan_num)\n--\n\nExtracts spectral peaks (m/z and intensity) for a given scan number.\n"
     "Returns a tuple of (m/z_array, intensity_array)."},
    {"native_get_peaks", as_cfunction(native_get_peaks), kOneArgument,
     "native_get_peaks($self, scan_num)\n--\n\nInternal native implementation for spectral peak extraction."},
    {"list_spectra", as_cfunction(list_spectra), METH_NOARGS,
     "list_spectra($self)\n--\n\nReturns a list of all scan summaries in the file.\n"
     "Each entry contains scan_number, rt, injection_time, master_scan, charge, and monomz."},
    {nullptr, nullptr, 0, nullptr},
};

PyGetSetDef kProperties[] = {
    {"creation_date", creation_date, nullptr, "Returns the file creation date as a formatted UTC timestamp string.",
     nullptr},
    {"version", version, nullptr, "Returns the Thermo RAW file version (e.g., 57 or 66).", nullptr},
    {"num_scans", num_scans, nullptr, "Returns the total number of scans available in the file.", nullptr},
    {nullptr, nullptr, nullptr, nullptr, nullptr},
};

constexpr const char kTypeDoc[] =
    "RawFileReader(path)\n--\n\nHigh-performance native reader for Thermo Fisher .raw files.";

PyType_Slot kSlots[] = {
    {Py_tp_doc, const_cast<char*>(kTypeDoc)},
    {Py_tp_new, reinterpret_cast<void*>(reader_new)},
    {Py_tp_dealloc, reinterpret_cast<void*>(reader_dealloc)},
    {Py_tp_methods, kMethods},
    {Py_tp_getset, kProperties},
    {0, nullptr},
};

// No Py_TPFLAGS_BASETYPE: the type cannot be subclassed.  No GC flag: a
// reader holds no Python objects.
PyType_Spec kSpec = {"builtins.RawFileReader", static_cast<int>(sizeof(ReaderObject)), 0, Py_TPFLAGS_DEFAULT,
                     kSlots};

PyModuleDef kModule = {
    PyModuleDef_HEAD_INIT, "velmaro", "", 0, nullptr, nullptr, nullptr, nullptr, nullptr,
};

PyObject* pending_or_system_error() {
  if (!PyErr_Occurred()) PyErr_SetString(PyExc_SystemError, "attempted to fetch exception but none was set");
  return nullptr;
}

// Step 5 of initialisation: __all__ and the class.  False with an error set.
bool add_class(PyObject* module) {
  PyTypeObject* type = reader_type();
  if (type == nullptr) return false;
  Ref all(PyObject_GetAttrString(module, "__all__"));
  if (!all) {
    if (!PyErr_ExceptionMatches(PyExc_AttributeError)) return false;
    PyErr_Clear();
    all = Ref(PyList_New(0));
    if (!all || PyObject_SetAttrString(module, "__all__", all.get()) < 0) return false;
  }
  Ref name(PyUnicode_FromString("RawFileReader"));
  if (!name || PyList_Append(all.get(), name.get()) < 0) {
    std::string detail = "could not append __name__ to __all__";
    if (PyErr_Occurred()) {
      PyObject *type_, *value, *traceback;
      PyErr_Fetch(&type_, &value, &traceback);
      Ref t(type_), v(value), tb(traceback);
      Ref text(v ? PyObject_Str(v.get()) : nullptr);
      Py_ssize_t size;
      const char* utf8 = text ? PyUnicode_AsUTF8AndSize(text.get(), &size) : nullptr;
      if (utf8 != nullptr) detail += ": " + std::string(utf8, size);
      PyErr_Clear();
    }
    raise_error(Error::internal(detail));
    return false;
  }
  return PyObject_SetAttrString(module, "RawFileReader", reinterpret_cast<PyObject*>(type)) == 0;
}

PyObject* init_module() {
  const int64_t id = PyInterpreterState_GetID(PyInterpreterState_Get());
  if (id == -1) return pending_or_system_error();
  // The module serves one interpreter per process.
  int64_t expected = -1;
  if (!g_state.interpreter.compare_exchange_strong(expected, id) && expected != id) {
    PyErr_SetString(PyExc_ImportError,
                    "velmaro does not support subinterpreters: it is already initialised in another "
                    "interpreter of this process");
    return nullptr;
  }
  PyObject* module = remember(g_state.module, []() -> PyObject* {
    Ref made(PyModule_Create2(&kModule, 1013));
    if (!made || !add_class(made.get())) return nullptr;
    return made.release();
  });
  return module != nullptr ? Py_NewRef(module) : pending_or_system_error();
}

}  // namespace

PyTypeObject* reader_type() {
  return remember(g_state.reader_type,
                  [] { return reinterpret_cast<PyTypeObject*>(PyType_FromSpec(&kSpec)); });
}

}  // namespace velmaro::py

PyMODINIT_FUNC PyInit_velmaro(void) {
  return velmaro::py::guarded([] { return velmaro::py::init_module(); });
}
