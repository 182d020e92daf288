// The console message family: the base `command_t`, the six commands the console sends and the
// answers the sensor returns. The sensor's own event, packet and statistics messages are in
// sensor_messages.h.
//
// Every class writes its body with `serialize`, reads it with `deserialize` (both raise
// `serializer_exception_t` "buffer overflow" when the buffer or body runs out) and renders a log
// text with `to_str`. Texts are written into the calling thread's formatting ring: build them only
// as arguments of one log call, and only when the channel is enabled.
//
// A received message is made by the framer with its id and handed out as a shared pointer to
// `command_t`; dispatch on `id` and cast to the class below. A message to send is a local object,
// passed to `proto_t::write` by const reference.
#pragma once

#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "proto/serializer.h"

namespace ferun {

// The protocol version a hello carries and its answer sends.
constexpr std::uint32_t protocol_version = 1;
// An answer's id is the answered command's id with this bit set.
constexpr std::uint32_t answer_bit = 0x80;

class command_t {
 public:
  explicit command_t(std::uint32_t message_id) : id(message_id) {}
  virtual ~command_t();

  // Fills the message from `length` bytes of `body`; returns the bytes consumed. Bytes after the
  // last field are left alone.
  virtual std::uint16_t deserialize(const unsigned char* body, std::uint16_t length) = 0;
  // Writes the body into `buffer` of capacity `size`; returns the bytes written.
  virtual std::uint16_t serialize(unsigned char* buffer, std::uint16_t size) const = 0;
  // The log text, in the formatting ring.
  virtual const char* to_str() const = 0;

  // The frame header carries the low 16 bits.
  std::uint32_t id;
};

// A name and value pair, as kept in the sensor's value file.
struct ini_value_t {
  std::string name;
  std::string value;
};

class command_hello_t : public command_t {
 public:
  static constexpr std::uint32_t message_id = 1;
  command_hello_t() : command_t(message_id) {}

  std::uint16_t deserialize(const unsigned char* body, std::uint16_t length) override;
  std::uint16_t serialize(unsigned char* buffer, std::uint16_t size) const override;
  const char* to_str() const override;

  std::uint32_t version = 0;
  std::string prefix;
  std::uint32_t sensor_id = 0;
  std::string sensor_name;
};

// The setup goes on the wire in another order than its members: config, sidmap and genmap come
// before logdir and logpattern.
class command_setup_t : public command_t {
 public:
  static constexpr std::uint32_t message_id = 2;
  command_setup_t() : command_t(message_id) {}

  std::uint16_t deserialize(const unsigned char* body, std::uint16_t length) override;
  std::uint16_t serialize(unsigned char* buffer, std::uint16_t size) const override;
  const char* to_str() const override;

  std::uint32_t stats_period = 0;
  std::uint32_t options = 0;
  std::string interface;
  std::string homenetwork;
  std::string logdir;
  std::string logpattern;
  std::string config;
  std::string sidmap;
  std::string genmap;
  std::uint32_t logtimestamp = 0;
  std::uint32_t logpos = 0;
};

// `action`: 1 start, 2 stop, 3 restart; any other value is carried as it is.
class command_ids_action_t : public command_t {
 public:
  static constexpr std::uint32_t message_id = 3;
  command_ids_action_t() : command_t(message_id) {}

  std::uint16_t deserialize(const unsigned char* body, std::uint16_t length) override;
  std::uint16_t serialize(unsigned char* buffer, std::uint16_t size) const override;
  const char* to_str() const override;

  std::uint8_t action = 0;
};

class command_get_value_t : public command_t {
 public:
  static constexpr std::uint32_t message_id = 4;
  command_get_value_t() : command_t(message_id) {}

  std::uint16_t deserialize(const unsigned char* body, std::uint16_t length) override;
  std::uint16_t serialize(unsigned char* buffer, std::uint16_t size) const override;
  const char* to_str() const override;

  std::vector<std::string> names;
};

class command_set_value_t : public command_t {
 public:
  static constexpr std::uint32_t message_id = 5;
  command_set_value_t() : command_t(message_id) {}

  std::uint16_t deserialize(const unsigned char* body, std::uint16_t length) override;
  std::uint16_t serialize(unsigned char* buffer, std::uint16_t size) const override;
  const char* to_str() const override;

  std::vector<ini_value_t> values;
};

// On the stream the frame is followed by exactly `size` raw bytes of file content, which the
// framer stores in its download file before it reads the next frame.
class command_file_t : public command_t {
 public:
  static constexpr std::uint32_t message_id = 6;
  command_file_t() : command_t(message_id) {}

  std::uint16_t deserialize(const unsigned char* body, std::uint16_t length) override;
  std::uint16_t serialize(unsigned char* buffer, std::uint16_t size) const override;
  const char* to_str() const override;

  std::string path;
  std::uint32_t flags = 0;
  std::uint32_t size = 0;
};

// The answer to a setup, IDS action, set value or file command (and the head of the hello and
// get value answers). Build it with the command's id | answer_bit.
class answer_t : public command_t {
 public:
  explicit answer_t(std::uint32_t message_id, std::uint8_t answer_status = 0,
                    std::string answer_message = std::string())
      : command_t(message_id), status(answer_status), message(std::move(answer_message)) {}

  std::uint16_t deserialize(const unsigned char* body, std::uint16_t length) override;
  std::uint16_t serialize(unsigned char* buffer, std::uint16_t size) const override;
  const char* to_str() const override;

  std::uint8_t status;  // 0 success, 1 failure
  std::string message;

 protected:
  // The head fields shared by all answers, written or read through the caller's cursor.
  void serialize_head(serializer_t& out) const;
  void deserialize_head(deserializer_t& in);
};

class answer_hello_t : public answer_t {
 public:
  static constexpr std::uint32_t message_id = command_hello_t::message_id | answer_bit;
  answer_hello_t() : answer_t(message_id) {}

  std::uint16_t deserialize(const unsigned char* body, std::uint16_t length) override;
  std::uint16_t serialize(unsigned char* buffer, std::uint16_t size) const override;
  const char* to_str() const override;

  std::uint32_t version = 0;
  std::string sysinfo;  // sent with whatever it holds, its trailing NUL included
};

class answer_get_value_t : public answer_t {
 public:
  static constexpr std::uint32_t message_id = command_get_value_t::message_id | answer_bit;
  answer_get_value_t() : answer_t(message_id) {}

  std::uint16_t deserialize(const unsigned char* body, std::uint16_t length) override;
  std::uint16_t serialize(unsigned char* buffer, std::uint16_t size) const override;
  const char* to_str() const override;

  std::vector<ini_value_t> values;
};

}  // namespace ferun
