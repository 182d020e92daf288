#include "proto/proto.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>
#include <chrono>
#include <csignal>
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

namespace {

// The framer on an accepted loopback socket, the console on the other end.
struct link_t {
  explicit link_t(const fs::path& dir) : tmpdir(dir), proto(&socket, tmpdir) {
    tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    console = std::make_unique<ferun_test::console_client_t>(acceptor.local_endpoint().port());
    acceptor.accept(socket);
    proto.async_read_header();
  }

  // Polls until a message comes, the socket closes or five seconds pass.
  std::shared_ptr<command_t> poll() {
    const auto deadline = std::chrono::steady_clock::now() + 5s;
    do {
      if (auto cmd = proto.read(true)) return cmd;
      if (!socket.is_open()) return nullptr;
      std::this_thread::sleep_for(1ms);
    } while (std::chrono::steady_clock::now() < deadline);
    return nullptr;
  }

  void expect_hello(std::uint32_t sensor_id) {
    auto cmd = poll();
    ASSERT_TRUE(cmd);
    ASSERT_EQ(cmd->id, command_hello_t::message_id);
    EXPECT_EQ(static_cast<command_hello_t&>(*cmd).sensor_id, sensor_id);
  }

  void send_upload(const std::string& content, std::uint32_t size) {
    command_file_t file;
    file.path = "rules.tar.gz";
    file.size = size;
    console->send(file);
    console->send_raw(content);
  }

  std::string download_name() const {
    return string_utils::format("sensor_%p.download", static_cast<const void*>(&proto));
  }

  boost::asio::io_context io;
  tcp::socket socket{io};
  std::unique_ptr<ferun_test::console_client_t> console;
  fs::path tmpdir;
  proto_t proto;
};

command_hello_t make_hello(std::uint32_t sensor_id) {
  command_hello_t hello;
  hello.sensor_id = sensor_id;
  hello.sensor_name = "sensor";
  return hello;
}

std::string pattern(std::size_t n) {
  std::string s(n, '\0');
  for (std::size_t i = 0; i < n; ++i) s[i] = static_cast<char>(i * 7 + i / 251);
  return s;
}

std::string file_content(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

class Framer : public ::testing::Test {
 protected:
  // The debug lines build every message's text, so they run too.
  void SetUp() override { log_t::enable("proto", "debug4"); }
  void TearDown() override { log_t::disable("proto"); }

  ferun_test::temp_dir_t temp{"proto-test"};
};

}  // namespace

TEST_F(Framer, HelloAndAnswerBetweenTwoThreads) {
  link_t link(temp.path());
  std::uint32_t got_sensor = 0;
  // The sensor side blocks in read(false) until the hello comes, then answers.
  std::thread sensor([&] {
    auto cmd = link.proto.read(false);
    if (!cmd || cmd->id != command_hello_t::message_id) return;
    got_sensor = static_cast<command_hello_t&>(*cmd).sensor_id;
    answer_hello_t answer;
    answer.version = protocol_version;
    answer.sysinfo = std::string("linux\0", 6);
    link.proto.write(answer);
  });
  link.console->send(make_hello(77));
  const auto frame = link.console->receive(5s);
  sensor.join();
  EXPECT_EQ(got_sensor, 77u);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->id, answer_hello_t::message_id);
  EXPECT_EQ(frame->body,
            (std::vector<unsigned char>{0, 0, 1, 0, 0, 0, 6, 'l', 'i', 'n', 'u', 'x', 0}));
}

TEST_F(Framer, UnknownIdsAreDroppedAndAFrameSplitAcrossPollsIsRead) {
  link_t link(temp.path());
  const unsigned char body[] = {0, 0, 'x', 'y'};
  link.console->send_frame(7, nullptr, 0);
  for (std::uint16_t id : {0, 0x81, 0x8001}) link.console->send_frame(id, body, sizeof body);
  std::vector<unsigned char> frame(4096);
  const std::uint16_t len = make_hello(5).serialize(frame.data() + 4, 4092);
  frame[0] = 1;
  frame[2] = static_cast<unsigned char>(len);
  frame[3] = static_cast<unsigned char>(len >> 8);
  link.console->send_raw(frame.data(), 6);  // header and two body bytes
  EXPECT_FALSE(link.proto.read(true));
  EXPECT_TRUE(link.socket.is_open());
  link.console->send_raw(frame.data() + 6, len - 2u);
  link.expect_hello(5);
  EXPECT_FALSE(link.proto.read(true));
}

TEST_F(Framer, EmptyBodyOfACommandFailsToParse) {
  for (std::uint16_t id = 1; id <= 6; ++id) {
    link_t link(temp.path());
    link.console->send_frame(id, nullptr, 0);
    EXPECT_THROW(link.poll(), serializer_exception_t) << "id " << id;
  }
}

TEST_F(Framer, OversizedBodyIsParsedFromItsStartAndTheRestDropped) {
  link_t link(temp.path());
  command_setup_t setup;
  setup.interface = "eth1";
  setup.logpos = 42;
  std::vector<unsigned char> body(12000, 0xee);
  setup.serialize(body.data(), 4092);
  // Sent from a thread: together the frames may be more than the socket buffers hold.
  std::thread console([&] {
    link.console->send_frame(command_setup_t::message_id, body.data(), body.size());
    std::vector<unsigned char> largest(65535, 0x01);
    link.console->send_frame(0x99, largest.data(), largest.size());
    link.console->send(make_hello(3));
  });

  auto cmd = link.poll();
  ASSERT_TRUE(cmd);
  ASSERT_EQ(cmd->id, command_setup_t::message_id);
  EXPECT_EQ(static_cast<command_setup_t&>(*cmd).logpos, 42u);
  link.expect_hello(3);
  console.join();
}

TEST_F(Framer, UploadsAreStoredAndTheStreamStaysFramed) {
  link_t link(temp / "tmp");  // created by the first upload
  // The second upload truncates the same file.
  for (std::size_t size : {0, 10240, 10241, 30000, 10}) {
    SCOPED_TRACE(size);
    const std::string content = pattern(size);
    link.send_upload(content, static_cast<std::uint32_t>(size));
    link.console->send(make_hello(static_cast<std::uint32_t>(size)));

    auto cmd = link.poll();
    ASSERT_TRUE(cmd);
    ASSERT_EQ(cmd->id, command_file_t::message_id);
    EXPECT_EQ(link.proto.download_error(), "");
    EXPECT_EQ(link.proto.download_path(), (link.tmpdir / link.download_name()).string());
    EXPECT_TRUE(file_content(link.proto.download_path()) == content);
    link.expect_hello(static_cast<std::uint32_t>(size));
  }
}

TEST_F(Framer, UploadCutShortRaisesRead) {
  link_t link(temp.path());
  link.send_upload(pattern(50), 100);
  link.console->close();
  try {
    link.poll();
    FAIL() << "no exception";
  } catch (const boost::system::system_error& e) {
    EXPECT_EQ(e.code(), boost::asio::error::eof);
    EXPECT_EQ(std::string(e.what()).rfind("read", 0), 0u) << e.what();
  }
  // The failed command is not handed out again.
  EXPECT_FALSE(link.proto.read(true));
}

TEST_F(Framer, UploadThatCannotBeStoredIsReportedAndConsumed) {
  link_t link(temp.path());
  const fs::path download = temp / link.download_name();
  fs::create_directory(download);  // the open fails
  link.send_upload(pattern(20000), 20000);
  link.console->send(make_hello(1));
  ASSERT_TRUE(link.poll());
  EXPECT_NE(link.proto.download_error(), "");
  link.expect_hello(1);
  fs::remove(download);

  // A file-size limit makes the kernel refuse the writes past 4096 bytes, as on a full disk.
  link.send_upload(pattern(30000), 30000);
  link.console->send(make_hello(2));
  log_t::disable("proto");  // the log may be a file too
  rlimit old_limit{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old_limit), 0);
  const auto old_handler = signal(SIGXFSZ, SIG_IGN);
  rlimit small = old_limit;
  small.rlim_cur = 4096;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  std::shared_ptr<command_t> cmd;
  EXPECT_NO_THROW(cmd = link.poll());
  setrlimit(RLIMIT_FSIZE, &old_limit);
  signal(SIGXFSZ, old_handler);
  ASSERT_TRUE(cmd);
  EXPECT_EQ(link.proto.download_error(), "File too large");
  link.expect_hello(2);

  // The next upload that can be stored clears the failure.
  link.send_upload("abc", 3);
  ASSERT_TRUE(link.poll());
  EXPECT_EQ(link.proto.download_error(), "");
  EXPECT_EQ(file_content(link.proto.download_path()), "abc");
}

TEST_F(Framer, WritesAfterThePeerLeft) {
  {
    link_t link(temp.path());
    link.console->close();
    EXPECT_FALSE(link.poll());
    EXPECT_FALSE(link.socket.is_open());
    EXPECT_NO_THROW(link.proto.write(answer_t(0x82)));
    EXPECT_FALSE(link.proto.read(false));
  }
  // A reset instead of an orderly close: a later write raises "write".
  link_t link(temp.path());
  const linger reset{1, 0};
  ASSERT_EQ(setsockopt(link.console->fd(), SOL_SOCKET, SO_LINGER, &reset, sizeof reset), 0);
  link.console->close();
  bool raised = false;
  for (int i = 0; i < 100 && !raised; ++i) {
    try {
      link.proto.write(answer_t(0x82, 0, "ok"));
    } catch (const boost::system::system_error& e) {
      raised = true;
      EXPECT_EQ(std::string(e.what()).rfind("write", 0), 0u) << e.what();
    }
  }
  EXPECT_TRUE(raised);
}

TEST_F(Framer, SentFramesHoldAtMost4096Bytes) {
  link_t link(temp.path());
  std::vector<unsigned char> data(4063, 0x5a);
  command_packet_t packet;
  packet.data = {data.data(), 4062};
  link.proto.write(packet);
  packet.data.length = 4063;
  EXPECT_THROW(link.proto.write(packet), serializer_exception_t);
  link.proto.write(answer_t(0x82, 0, "next"));

  auto frame = link.console->receive(5s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->id, command_packet_t::message_id);
  EXPECT_EQ(frame->body.size(), 4092u);
  // Nothing of the packet that did not fit went out.
  frame = link.console->receive(5s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->as<answer_t>().message, "next");
}

TEST_F(Framer, GatheredFramesGoOutOnlyOnFlushAndInOrder) {
  link_t link(temp.path());
  std::vector<unsigned char> data(4000, 0x11);
  command_packet_t packet;
  packet.data = {data.data(), 4000};

  link.proto.gather();
  // More than one buffer's worth: the frames that no longer fit push the earlier ones out.
  for (std::uint32_t i = 0; i < 20; ++i) {
    packet.sensor_id = i;
    link.proto.write(packet);
  }
  link.proto.write(answer_t(0x82, 0, "last"));
  // The tail still waits in the buffer.
  std::uint32_t next = 0;
  while (auto frame = link.console->receive(200ms)) {
    ASSERT_EQ(frame->id, command_packet_t::message_id);
    EXPECT_EQ(frame->as<command_packet_t>().sensor_id, next++);
  }
  EXPECT_GT(next, 0u);
  EXPECT_LT(next, 20u);

  link.proto.end_gather();
  while (next < 20) {
    auto frame = link.console->receive(5s);
    ASSERT_TRUE(frame);
    ASSERT_EQ(frame->id, command_packet_t::message_id);
    EXPECT_EQ(frame->as<command_packet_t>().sensor_id, next++);
  }
  auto frame = link.console->receive(5s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->as<answer_t>().message, "last");

  // After the gathering each write goes out at once.
  link.proto.write(answer_t(0x83));
  frame = link.console->receive(5s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->id, 0x83);
}
