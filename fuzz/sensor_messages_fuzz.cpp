// The bodies of the sensor's own messages (event, packet, statistics), read with `deserialize`.
//
// Input: one byte choosing the message class, then the body.
#include "message_check.h"
#include "proto/sensor_messages.h"

namespace {

using namespace ferun;

std::unique_ptr<command_t> make_message(std::uint8_t which) {
  switch (which % 3) {
    case 0: return std::make_unique<command_event_t>();
    case 1: return std::make_unique<command_packet_t>();
    default: return std::make_unique<command_stats_t>();
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  fuzz::selected_body_t in;
  if (!fuzz::split_selector(data, size, in)) return 0;
  const std::uint8_t which = in.which;
  const unsigned char* start = in.body.get();
  const std::uint16_t length = in.length;
  fuzz::check_body([which] { return make_message(which); }, start, length);

  // A packet's data is a view into the body it was read from, never a copy.
  if (which % 3 == 1) {
    command_packet_t packet;
    try {
      packet.deserialize(start, length);
    } catch (const serializer_exception_t&) {
      return 0;
    }
    FUZZ_CHECK(packet.data.bytes >= start &&
               packet.data.bytes + packet.data.length <= start + length);
  }
  return 0;
}
