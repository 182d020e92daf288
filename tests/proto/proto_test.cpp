#include "proto/proto.h"

#include <gtest/gtest.h>

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <fstream>
#include <thread>

#include "common/console_client.h"
#include "common/temp_dir.h"
#include "proto/sensor_messages.h"
#include "support/string_utils.h"

using namespace ferun;
using boost::asio::ip::tcp;
namespace fs = boost::filesystem;
using namespace std::chrono_literals;

// The framer on an accepted loopback socket, the console on the other end.
struct link_t {
  link_t() : proto(&socket, temp.path()) {
    tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    console = std::make_unique<ferun_test::console_client_t>(acceptor.local_endpoint().port());
    acceptor.accept(socket);
    proto.async_read_header();
  }

  // Polls until a message comes, the socket closes or five seconds pass.
  std::shared_ptr<command_t> poll() {
    const auto end = std::chrono::steady_clock::now() + 5s;
    for (; socket.is_open() && std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(1ms))
      if (auto cmd = proto.read(true)) return cmd;
    return nullptr;
  }

  void expect_hello(std::uint32_t sensor_id) {
    auto hello = std::dynamic_pointer_cast<command_hello_t>(poll());
    ASSERT_TRUE(hello);
    EXPECT_EQ(hello->sensor_id, sensor_id);
  }

  void send_hello(std::uint32_t sensor_id) {
    command_hello_t hello;
    hello.sensor_id = sensor_id;
    console->send(hello);
  }

  void send_upload(const std::string& content) {
    command_file_t file;
    file.size = static_cast<std::uint32_t>(content.size());
    console->send(file);
    console->send_raw(content);
  }

  boost::asio::io_context io;
  tcp::socket socket{io};
  std::unique_ptr<ferun_test::console_client_t> console;
  ferun_test::temp_dir_t temp{"proto-test"};
  proto_t proto;
};

TEST(Framer, HelloAndAnswerBetweenTwoThreads) {
  link_t link;
  std::uint32_t got_sensor = 0;
  // The sensor side blocks in read(false) until the hello comes, then answers.
  std::thread sensor([&] {
    if (auto hello = std::dynamic_pointer_cast<command_hello_t>(link.proto.read(false)))
      got_sensor = hello->sensor_id;
    answer_hello_t answer;
    answer.version = protocol_version;
    link.proto.write(answer);
  });
  link.send_hello(77);
  const auto frame = link.console->receive(5s);
  sensor.join();
  EXPECT_EQ(got_sensor, 77u);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->id, answer_hello_t::message_id);
  EXPECT_EQ(frame->body, (std::vector<unsigned char>{0, 0, 1, 0, 0, 0, 0}));
}

TEST(Framer, UnknownIdIsDroppedAndTheNextFrameRead) {
  link_t link;
  link.console->send_frame(0x81, "\0\0xy", 4);
  link.send_hello(5);
  link.expect_hello(5);
}

TEST(Framer, OversizedBodyIsParsedFromItsStartAndTheRestDropped) {
  link_t link;
  command_setup_t setup;
  setup.logpos = 42;
  std::vector<unsigned char> body(12000, 0xee);
  setup.serialize(body.data(), 4092);
  link.console->send_frame(command_setup_t::message_id, body.data(), body.size());
  link.send_hello(3);
  auto cmd = std::dynamic_pointer_cast<command_setup_t>(link.poll());
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->logpos, 42u);
  link.expect_hello(3);
}

TEST(Framer, FailedDownloadIsRecordedThenAnUploadIsStored) {
  link_t link;
  const fs::path download =
      link.temp / string_utils::format("sensor_%p.download", static_cast<const void*>(&link.proto));
  fs::create_directory(download);  // the open fails; the body still leaves the stream
  link.send_upload(std::string(20000, 'a'));
  link.send_hello(1);
  ASSERT_TRUE(link.poll());
  EXPECT_NE(link.proto.download_error(), "");
  link.expect_hello(1);
  fs::remove(download);

  std::string content(10241, '\0');  // more than one chunk
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  link.send_upload(content);
  link.send_hello(2);
  ASSERT_TRUE(std::dynamic_pointer_cast<command_file_t>(link.poll()));
  EXPECT_EQ(link.proto.download_error(), "");
  EXPECT_EQ(link.proto.download_path(), download.string());
  std::ifstream in(download.string(), std::ios::binary);
  EXPECT_TRUE(std::string(std::istreambuf_iterator<char>(in), {}) == content);
  link.expect_hello(2);
}

TEST(Framer, WriteAfterThePeerClosedDoesNothing) {
  link_t link;
  link.console->close();
  EXPECT_FALSE(link.poll());
  EXPECT_FALSE(link.socket.is_open());
  EXPECT_NO_THROW(link.proto.write(answer_t(0x82)));
}

TEST(Framer, GatheredFramesGoOutOnFlushAndInOrder) {
  link_t link;
  std::vector<unsigned char> data(4000, 0x11);
  command_packet_t packet;
  packet.data = {data.data(), 4000};
  link.proto.gather();
  // Frames that no longer fit the buffer push the earlier ones out; the tail waits.
  for (std::uint32_t i = 0; i < 20; ++i) {
    packet.sensor_id = i;
    link.proto.write(packet);
  }
  std::uint32_t next = 0;
  while (auto frame = link.console->receive(200ms))
    EXPECT_EQ(frame->as<command_packet_t>().sensor_id, next++);
  EXPECT_GT(next, 0u);
  EXPECT_LT(next, 20u);
  link.proto.end_gather();
  while (next < 20) {
    auto frame = link.console->receive(5s);
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->as<command_packet_t>().sensor_id, next++);
  }
}
