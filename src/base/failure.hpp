// An internal failure of the core, with where it was detected: the binding
// turns it into PanicException with this message.
#pragma once

#include <string>
#include <utility>

#include "base/source_location.hpp"

namespace velmaro {

struct Failure {
  std::string message;
  SourceLocation where;

  static Failure at(std::string message, SourceLocation where = SourceLocation::current()) {
    return Failure{std::move(message), where};
  }
};

}  // namespace velmaro
