// The console's commands and the sensor's answers, checked by fuzz::check_selected.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::check_selected(data, size, 0, 9);
  return 0;
}
