// The bodies of the six console commands and of the answers, read with `deserialize`.
//
// Input: one byte choosing the message class, then the body.
#include "message_check.h"

namespace {

using namespace ferun;

std::unique_ptr<command_t> make_message(std::uint8_t which) {
  switch (which % 9) {
    case 0: return std::make_unique<command_hello_t>();
    case 1: return std::make_unique<command_setup_t>();
    case 2: return std::make_unique<command_ids_action_t>();
    case 3: return std::make_unique<command_get_value_t>();
    case 4: return std::make_unique<command_set_value_t>();
    case 5: return std::make_unique<command_file_t>();
    case 6: return std::make_unique<answer_t>(command_setup_t::message_id | answer_bit);
    case 7: return std::make_unique<answer_hello_t>();
    default: return std::make_unique<answer_get_value_t>();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::selected_body_t in;
  if (!fuzz::split_selector(data, size, in)) return 0;
  const std::uint8_t which = in.which;
  fuzz::check_body([which] { return make_message(which); }, in.body.get(), in.length);
  return 0;
}
