// The peak methods and the scan list of RawFileReader, over src/peaks and
// the scan caches.
#include "lib/binding.hpp"
#include "lib/methods.hpp"
#include "lib/numpy_api.hpp"
#include "peaks/peak_block.hpp"

namespace velmaro::py {

namespace {

constexpr Signature kGetPeaks{"get_peaks", "scan_num"};
constexpr Signature kNativeGetPeaks{"native_get_peaks", "scan_num"};

template <class T>
PyObject* float_list(const std::vector<T>& values) {
  Ref list(PyList_New(static_cast<Py_ssize_t>(values.size())));
  if (!list) return api_call_failed();
  for (size_t i = 0; i < values.size(); ++i) {
    PyObject* item = PyFloat_FromDouble(static_cast<double>(values[i]));
    if (item == nullptr) return api_call_failed();
    PyList_SetItem(list.get(), static_cast<Py_ssize_t>(i), item);  // steals item
  }
  return list.release();
}

PyObject* pair(Ref first, Ref second) {
  PyObject* tuple = PyTuple_Pack(2, first.get(), second.get());
  return tuple != nullptr ? tuple : api_call_failed();
}

// The keys of a scan summary, and a dict holding them all, which each
// summary starts as a copy of: filling a dict of the right size in place is
// cheaper than growing a new one key by key.
enum SummaryKey { kScanNumber, kRt, kInjectionTime, kMasterScan, kCharge, kMonoMz, kSummaryKeys };
constexpr const char* kSummaryKeyNames[kSummaryKeys] = {"scan_number",  "rt",     "injection_time",
                                                        "master_scan", "charge", "monomz"};

PyObject* summary_template() {
  return remember(g_state.summary_template, []() -> PyObject* {
    if (!make_keys(g_state.summary_keys, kSummaryKeyNames)) return nullptr;
    Ref dict(PyDict_New());
    if (!dict) return nullptr;
    for (PyObject* key : g_state.summary_keys.key) {
      if (PyDict_SetItem(dict.get(), key, Py_None) < 0) return nullptr;
    }
    return dict.release();
  });
}

// One dict of list_spectra; false with an exception set.
bool add_summary(PyObject* list, Py_ssize_t position, const RawFileReader& r, uint32_t scan) {
  Ref dict(PyDict_Copy(g_state.summary_template));
  if (!dict) {
    api_call_failed();
    return false;
  }
  auto key = [](SummaryKey k) { return g_state.summary_keys.key[k]; };  // made with the template
  const bool filled = set_item(dict.get(), key(kScanNumber), to_py(scan)) &&
                      set_item(dict.get(), key(kRt), to_py(cached_value(r.rt_cache, scan))) &&
                      set_item(dict.get(), key(kInjectionTime), to_py(cached_value(r.injection_time_cache, scan))) &&
                      set_item(dict.get(), key(kMasterScan), to_py(cached_value(r.master_scan_cache, scan))) &&
                      set_item(dict.get(), key(kCharge), to_py(cached_value(r.charge_cache, scan))) &&
                      set_item(dict.get(), key(kMonoMz), to_py(cached_value(r.mono_mz_cache, scan)));
  if (!filled) return false;
  return PyList_SetItem(list, position, dict.release()) == 0;
}

}  // namespace

PyObject* get_peaks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetPeaks, self, args, nargs, kwnames, [](const RawFileReader& reader, uint32_t scan) {
    PeakPair peaks = native_get_peaks(reader, scan).value_or(PeakPair{{0.0}, {0.0f}});
    Ref mz(array_over(std::move(peaks.mz)));
    if (!mz) return static_cast<PyObject*>(nullptr);
    Ref intensity(array_over(std::move(peaks.intensity)));
    if (!intensity) return static_cast<PyObject*>(nullptr);
    return pair(std::move(mz), std::move(intensity));
  });
}

PyObject* native_get_peaks(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kNativeGetPeaks, self, args, nargs, kwnames, [](const RawFileReader& reader, uint32_t scan) {
    const auto peaks = native_get_peaks(reader, scan);
    if (!peaks) return none();
    Ref mz(float_list(peaks->mz));
    if (!mz) return static_cast<PyObject*>(nullptr);
    Ref intensity(float_list(peaks->intensity));
    if (!intensity) return static_cast<PyObject*>(nullptr);
    return pair(std::move(mz), std::move(intensity));
  });
}

PyObject* list_spectra(PyObject* self, PyObject*) {
  return shared_method(self, [](const RawFileReader& reader) -> PyObject* {
    if (summary_template() == nullptr) return api_call_failed();
    Ref list(PyList_New(static_cast<Py_ssize_t>(reader.num_scans)));
    if (!list) return api_call_failed();
    for (uint32_t i = 0; i < reader.num_scans; ++i) {
      if (!add_summary(list.get(), static_cast<Py_ssize_t>(i), reader, i + 1)) return nullptr;
    }
    return list.release();
  });
}

}  // namespace velmaro::py
