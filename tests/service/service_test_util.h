// Helpers shared by the listener and monitor tests.
#pragma once

#include <chrono>
#include <cstdint>
#include <optional>
#include <string>

#include "common/console_client.h"
#include "common/poll_until.h"
#include "proto/commands.h"

namespace ferun_test {

// Sends a hello; the answer, or nothing when none came in time.
inline std::optional<ferun::answer_hello_t> say_hello(console_client_t& console,
                                                      const std::string& prefix, std::uint32_t id) {
  ferun::command_hello_t hello;
  hello.version = 1;
  hello.prefix = prefix;
  hello.sensor_id = id;
  hello.sensor_name = prefix + std::to_string(id);
  console.send(hello);
  auto frame = console.receive(std::chrono::seconds(20));
  if (!frame || frame->id != ferun::answer_hello_t::message_id) return std::nullopt;
  return frame->as<ferun::answer_hello_t>();
}

// True when a console on 127.0.0.1:`port` is greeted with status 0.
inline bool served(std::uint16_t port, const std::string& prefix, std::uint32_t id) {
  try {
    console_client_t console(port, std::chrono::seconds(20));
    const auto answer = say_hello(console, prefix, id);
    return answer && answer->status == 0;
  } catch (const std::exception&) {
    return false;
  }
}

}  // namespace ferun_test
