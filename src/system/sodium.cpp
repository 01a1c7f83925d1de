#include "system/sodium.hpp"

#include <sodium.h>

namespace corvane {

Result<> init_sodium() {
  // A function-local static is initialised exactly once even when several
  // threads arrive together.
  static const bool initialised = sodium_init() >= 0;
  if (!initialised) return fail("libsodium could not be initialised");
  return {};
}

}  // namespace corvane
