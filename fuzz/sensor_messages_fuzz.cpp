// The sensor's event, packet and statistics messages, checked by fuzz::check_selected.
#include "fuzz_support.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::check_selected(data, size, 9, 3);
  return 0;
}
