// How a long operation of the core learns that its caller wants it to stop,
// without knowing who asks: it asks between chunks of work, and stops when
// told to, returning Error::interrupted() instead of a result.
#pragma once

namespace velmaro {

class Interrupt {
 public:
  Interrupt() = default;  // never stops

  // `check` is called with no arguments and returns true to stop; an object
  // must outlive the operation.
  explicit Interrupt(bool (*check)()) : function_(check) {}
  template <class Check>
  explicit Interrupt(Check& check)
      : context_(&check), call_([](void* context) { return static_cast<bool>((*static_cast<Check*>(context))()); }) {}

  bool requested() const {
    if (function_ != nullptr) return function_();
    return call_ != nullptr && call_(context_);
  }

 private:
  bool (*function_)() = nullptr;
  void* context_ = nullptr;
  bool (*call_)(void*) = nullptr;
};

}  // namespace velmaro
