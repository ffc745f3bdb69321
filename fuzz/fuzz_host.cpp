#include "fuzz/fuzz_host.h"

#include <cstdio>
#include <cstdlib>

namespace fuzzing {

void property_failed(const char* property) {
  std::fprintf(stderr, "property broken: %s\n", property);
  std::abort();
}

}  // namespace fuzzing
