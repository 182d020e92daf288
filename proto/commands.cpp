#include "proto/commands.h"

#include "support/fmt_ring.h"

namespace ferun {

namespace {

// Reads a list count; a count with bit 31 set is taken as an empty list.
std::uint32_t read_count(deserializer_t& in) {
  const std::uint32_t n = in.count();
  return (n & 0x80000000u) ? 0 : n;
}

void read_pairs(deserializer_t& in, std::vector<ini_value_t>& values) {
  // Elements are appended one at a time and each must be present in the body, so a count larger
  // than the body can hold ends in "buffer overflow" without reserving anything for it.
  for (std::uint32_t n = read_count(in); n > 0; --n) {
    values.emplace_back();
    in(values.back().name)(values.back().value);
  }
}

void write_pairs(serializer_t& out, const std::vector<ini_value_t>& values) {
  out.count(static_cast<std::uint32_t>(values.size()));
  for (const ini_value_t& v : values) out(v.name)(v.value);
}

// A list text in joined ring pieces: head, "{", one line per pair, "}".
const char* pairs_text(const char* head, const std::vector<ini_value_t>& values) {
  const char* text = fmt_ring_printf(true, "%s", head);
  fmt_ring_printf(true, "{");
  for (const ini_value_t& v : values)
    fmt_ring_printf(true, "  %s: %s\n", v.name.c_str(), v.value.c_str());
  fmt_ring_printf(false, "}");
  return text;
}

}  // namespace

command_t::~command_t() = default;

// hello

std::uint16_t command_hello_t::deserialize(const unsigned char* body, std::uint16_t length) {
  deserializer_t in(body, length);
  in(version)(prefix)(sensor_id)(sensor_name);
  return in.pos;
}

std::uint16_t command_hello_t::serialize(unsigned char* buffer, std::uint16_t size) const {
  serializer_t out(buffer, size);
  out(version)(prefix)(sensor_id)(sensor_name);
  return out.pos;
}

const char* command_hello_t::to_str() const {
  return fmt_ring_printf(false,
                         "command_hello\n{  version     : %u\n  prefix      : %s\n"
                         "  sensor_id   : %u\n  sensor_name : %s\n}",
                         version, prefix.c_str(), sensor_id, sensor_name.c_str());
}

// setup

std::uint16_t command_setup_t::deserialize(const unsigned char* body, std::uint16_t length) {
  deserializer_t in(body, length);
  in(stats_period)(options)(interface)(homenetwork)(config)(sidmap)(genmap)(logdir)(logpattern);
  in(logtimestamp)(logpos);
  return in.pos;
}

std::uint16_t command_setup_t::serialize(unsigned char* buffer, std::uint16_t size) const {
  serializer_t out(buffer, size);
  out(stats_period)(options)(interface)(homenetwork)(config)(sidmap)(genmap)(logdir)(logpattern);
  out(logtimestamp)(logpos);
  return out.pos;
}

const char* command_setup_t::to_str() const {
  return fmt_ring_printf(
      false,
      "command_setup\n{\n  stats_period: %u\n  options: %x\n  interface: %s\n  homenetwork: %s\n"
      "  config: %s\n  sidmap: %s\n  genmap: %s\n  logdir: %s\n  logpattern: %s\n"
      "  logtimestamp: %u\n  logpos: %u\n}",
      stats_period, options, interface.c_str(), homenetwork.c_str(), config.c_str(), sidmap.c_str(),
      genmap.c_str(), logdir.c_str(), logpattern.c_str(), logtimestamp, logpos);
}

// IDS action

std::uint16_t command_ids_action_t::deserialize(const unsigned char* body, std::uint16_t length) {
  deserializer_t in(body, length);
  in(action);
  return in.pos;
}

std::uint16_t command_ids_action_t::serialize(unsigned char* buffer, std::uint16_t size) const {
  serializer_t out(buffer, size);
  out(action);
  return out.pos;
}

const char* command_ids_action_t::to_str() const {
  const char* word = "unk";
  switch (action) {
    case 1: word = "START"; break;
    case 2: word = "STOP"; break;
    case 3: word = "RESTART"; break;
    default: break;
  }
  return fmt_ring_printf(false, "command_ids_action\n{\n  action: %s\n}", word);
}

// get value

std::uint16_t command_get_value_t::deserialize(const unsigned char* body, std::uint16_t length) {
  deserializer_t in(body, length);
  for (std::uint32_t n = read_count(in); n > 0; --n) {
    names.emplace_back();
    in(names.back());
  }
  return in.pos;
}

std::uint16_t command_get_value_t::serialize(unsigned char* buffer, std::uint16_t size) const {
  serializer_t out(buffer, size);
  out.count(static_cast<std::uint32_t>(names.size()));
  for (const std::string& name : names) out(name);
  return out.pos;
}

const char* command_get_value_t::to_str() const {
  const char* text = fmt_ring_printf(true, "command_get_value: \n");
  fmt_ring_printf(true, "{");
  for (const std::string& name : names) fmt_ring_printf(true, "  %s\n", name.c_str());
  fmt_ring_printf(false, "}");
  return text;
}

// set value

std::uint16_t command_set_value_t::deserialize(const unsigned char* body, std::uint16_t length) {
  deserializer_t in(body, length);
  read_pairs(in, values);
  return in.pos;
}

std::uint16_t command_set_value_t::serialize(unsigned char* buffer, std::uint16_t size) const {
  serializer_t out(buffer, size);
  write_pairs(out, values);
  return out.pos;
}

const char* command_set_value_t::to_str() const {
  return pairs_text("command_set_value: \n", values);
}

// file

std::uint16_t command_file_t::deserialize(const unsigned char* body, std::uint16_t length) {
  deserializer_t in(body, length);
  in(path)(flags)(size);
  return in.pos;
}

std::uint16_t command_file_t::serialize(unsigned char* buffer, std::uint16_t capacity) const {
  serializer_t out(buffer, capacity);
  out(path)(flags)(size);
  return out.pos;
}

const char* command_file_t::to_str() const {
  return fmt_ring_printf(false, "command_file\n{  path  : %s\n  flags : %x\n  size  : %u\n}",
                         path.c_str(), flags, size);
}

// answers

void answer_t::serialize_head(serializer_t& out) const {
  out(status)(message);
}

void answer_t::deserialize_head(deserializer_t& in) {
  in(status)(message);
}

std::uint16_t answer_t::deserialize(const unsigned char* body, std::uint16_t length) {
  deserializer_t in(body, length);
  deserialize_head(in);
  return in.pos;
}

std::uint16_t answer_t::serialize(unsigned char* buffer, std::uint16_t size) const {
  serializer_t out(buffer, size);
  serialize_head(out);
  return out.pos;
}

const char* answer_t::to_str() const {
  return fmt_ring_printf(false, "answer\n{  status : %s\n  message: %s\n}",
                         status == 0 ? "OK" : "FAIL", message.c_str());
}

std::uint16_t answer_hello_t::deserialize(const unsigned char* body, std::uint16_t length) {
  deserializer_t in(body, length);
  deserialize_head(in);
  in(version)(sysinfo);
  return in.pos;
}

std::uint16_t answer_hello_t::serialize(unsigned char* buffer, std::uint16_t size) const {
  serializer_t out(buffer, size);
  serialize_head(out);
  out(version)(sysinfo);
  return out.pos;
}

const char* answer_hello_t::to_str() const {
  return fmt_ring_printf(false, "answer_hello\n{  version: %u\n  %s}", version, sysinfo.c_str());
}

std::uint16_t answer_get_value_t::deserialize(const unsigned char* body, std::uint16_t length) {
  deserializer_t in(body, length);
  deserialize_head(in);
  read_pairs(in, values);
  return in.pos;
}

std::uint16_t answer_get_value_t::serialize(unsigned char* buffer, std::uint16_t size) const {
  serializer_t out(buffer, size);
  serialize_head(out);
  write_pairs(out, values);
  return out.pos;
}

const char* answer_get_value_t::to_str() const {
  return pairs_text("answer_get_value: \n", values);
}

}  // namespace ferun
