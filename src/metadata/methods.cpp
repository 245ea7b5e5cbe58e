// The metadata methods of RawFileReader.
#include "lib/binding.hpp"
#include "lib/methods.hpp"
#include "metadata/text_logs.hpp"
#include "metadata/trailer.hpp"

namespace velmaro::py {

namespace {
constexpr Signature kGetRt{"get_rt", "scan_number"};
constexpr Signature kGetInjectionTime{"get_injection_time", "scan_number"};
constexpr Signature kGetMasterScan{"get_master_scan", "scan_number"};
constexpr Signature kGetChargeState{"get_charge_state", "scan_number"};
constexpr Signature kGetMonoisotopicMz{"get_monoisotopic_mz", "scan_number"};
constexpr Signature kGetTrailerExtra{"get_trailer_extra", "scan_number"};
constexpr Signature kGetInstrumentMethod{"get_instrument_method", "_index"};

// Scan number n is element n - 1 of a cache; 0 and numbers past the end of
// the cache give the zero of its type.
template <auto Cache>
PyObject* cached(const RawFileReader& reader, uint32_t scan_number) {
  const auto& cache = reader.*Cache;
  return to_py(cached_value(cache, scan_number));
}

// The keys of get_trailer_extra, in the order they are inserted.
enum TrailerKey {
  kInjectionTimeKey,
  kMasterScanKey,
  kChargeStateKey,
  kMonoisotopicMzKey,
  kPrecursorMassKey,
  kElapsedScanTimeKey,
  kOrbitrapResolutionKey,
  kMsOrderKey,
  kHcdEnergyKey,
  kActivationTypeKey,
  kCollisionEnergyKey,
  kIsolationWidthKey,
  kAgcKey,
  kTrailerKeyCount
};
constexpr const char* kTrailerKeyText[kTrailerKeyCount] = {
    "Ion Injection Time (ms)", "Master Scan Number", "Charge State",  "Monoisotopic M/Z", "Precursor Mass",
    "Elapsed Scan Time (sec)", "Orbitrap Resolution", "MS Order",    "HCD Energy eV",    "Activation Type",
    "Collision Energy",        "Isolation Width",     "AGC",
};
constexpr std::string_view kActivationType = "HigherEnergyCollisionalDissociation";

KeySet<kTrailerKeyCount> g_trailer_keys(kTrailerKeyText);

// dict[key] = value, taking ownership of value; false with an exception set.
bool put(PyObject* dict, TrailerKey key, PyObject* value) {
  Ref owned(value);
  PyObject* name = g_trailer_keys.get(key);
  if (name == nullptr) {
    api_call_failed();
    return false;
  }
  return set_item(dict, name, owned.release());
}

PyObject* trailer_extra(const RawFileReader& reader, uint32_t scan_number) {
  Ref dict(PyDict_New());
  if (!dict) return api_call_failed();
  const uint64_t i = static_cast<uint64_t>(scan_number) - 1;  // 0 wraps past every bound
  if (i >= reader.num_scans) return dict.release();
  PyObject* d = dict.get();
  const double mono_mz = cached_value(reader.mono_mz_cache, scan_number);
  if (!put(d, kInjectionTimeKey, to_py(cached_value(reader.injection_time_cache, scan_number))) ||
      !put(d, kMasterScanKey, to_py(cached_value(reader.master_scan_cache, scan_number))) ||
      !put(d, kChargeStateKey, to_py(cached_value(reader.charge_cache, scan_number))) || !put(d, kMonoisotopicMzKey, to_py(mono_mz)) ||
      !put(d, kPrecursorMassKey, to_py(mono_mz))) {
    return nullptr;
  }
  if (!has_trailer_layout(reader)) {
    if (!put(d, kMsOrderKey, to_py(uint32_t{1}))) return nullptr;
    return dict.release();
  }
  const auto slot = read_trailer_slot(reader.path, static_cast<uint32_t>(i));
  if (!slot) return dict.release();
  if (!put(d, kElapsedScanTimeKey, to_py(slot->elapsed_scan_time)) ||
      !put(d, kOrbitrapResolutionKey, to_py(slot->orbitrap_resolution)) ||
      !put(d, kMsOrderKey, to_py(slot->ms_order))) {
    return nullptr;
  }
  if (slot->hcd_energy) {
    if (!put(d, kHcdEnergyKey, to_py(*slot->hcd_energy)) || !put(d, kActivationTypeKey, to_py(kActivationType))) {
      return nullptr;
    }
  }
  if (slot->collision_energy && !put(d, kCollisionEnergyKey, to_py(*slot->collision_energy))) return nullptr;
  if (slot->isolation_width && !put(d, kIsolationWidthKey, to_py(*slot->isolation_width))) return nullptr;
  if (slot->agc && !put(d, kAgcKey, to_py(*slot->agc))) return nullptr;
  return dict.release();
}
}  // namespace

PyObject* get_rt(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetRt, self, args, nargs, kwnames, cached<&RawFileReader::rt_cache>);
}
PyObject* get_injection_time(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetInjectionTime, self, args, nargs, kwnames, cached<&RawFileReader::injection_time_cache>);
}
PyObject* get_master_scan(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetMasterScan, self, args, nargs, kwnames, cached<&RawFileReader::master_scan_cache>);
}
PyObject* get_charge_state(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetChargeState, self, args, nargs, kwnames, cached<&RawFileReader::charge_cache>);
}
PyObject* get_monoisotopic_mz(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetMonoisotopicMz, self, args, nargs, kwnames, cached<&RawFileReader::mono_mz_cache>);
}
PyObject* get_trailer_extra(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetTrailerExtra, self, args, nargs, kwnames, trailer_extra);
}
PyObject* get_instrument_method(PyObject* self, PyObject* const* args, Py_ssize_t nargs, PyObject* kwnames) {
  return u32_method(kGetInstrumentMethod, self, args, nargs, kwnames,
                    [](const RawFileReader& r, uint32_t) { return to_py(instrument_method(r.path)); });
}
PyObject* get_status_log_labels(PyObject* self, PyObject*) {
  return shared_method(self, [](const RawFileReader& r) { return to_py(status_log_labels(r.path)); });
}
PyObject* get_error_logs(PyObject* self, PyObject*) {
  return shared_method(self, [](const RawFileReader& r) { return to_py(error_logs(r.path)); });
}

}  // namespace velmaro::py
