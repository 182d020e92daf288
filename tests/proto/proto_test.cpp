#include "proto/proto.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <boost/asio/ip/tcp.hpp>
#include <boost/filesystem.hpp>
#include <boost/system/system_error.hpp>
#include <chrono>
#include <csignal>
#include <fstream>
#include <iterator>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/console_client.h"
#include "proto/sensor_messages.h"
#include "support/string_utils.h"

using namespace ferun;
using boost::asio::ip::tcp;
using ferun_test::console_client_t;
namespace fs = boost::filesystem;
using namespace std::chrono_literals;

namespace {

// A scratch directory removed with everything in it.
struct temp_dir_t {
  temp_dir_t() : path(fs::temp_directory_path() / fs::unique_path("proto-test-%%%%-%%%%-%%%%")) {
    fs::create_directory(path);
  }
  ~temp_dir_t() {
    boost::system::error_code ignored;
    fs::remove_all(path, ignored);
  }
  temp_dir_t(const temp_dir_t&) = delete;
  temp_dir_t& operator=(const temp_dir_t&) = delete;
  fs::path path;
};

// One accepted loopback connection: the framer on the accepted socket, the console on the other
// end.
struct link_t {
  explicit link_t(const fs::path& dir) : tmpdir(dir), proto(&socket, tmpdir) {
    tcp::acceptor acceptor(io, tcp::endpoint(boost::asio::ip::address_v4::loopback(), 0));
    console = std::make_unique<console_client_t>(acceptor.local_endpoint().port());
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

  boost::asio::io_context io;
  tcp::socket socket{io};
  std::unique_ptr<console_client_t> console;
  fs::path tmpdir;
  proto_t proto;
};

command_hello_t make_hello(std::uint32_t sensor_id) {
  command_hello_t hello;
  hello.version = protocol_version;
  hello.prefix = "pfx";
  hello.sensor_id = sensor_id;
  hello.sensor_name = "sensor";
  return hello;
}

// Expects the next message to be the hello with `sensor_id`.
void expect_hello(link_t& link, std::uint32_t sensor_id) {
  auto cmd = link.poll();
  ASSERT_TRUE(cmd);
  ASSERT_EQ(cmd->id, command_hello_t::message_id);
  EXPECT_EQ(static_cast<command_hello_t&>(*cmd).sensor_id, sensor_id);
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

void send_upload(console_client_t& console, const std::string& content, std::uint32_t size) {
  command_file_t file;
  file.path = "rules.tar.gz";
  file.size = size;
  console.send(file);
  console.send_raw(content);
}

class Framer : public ::testing::Test {
 protected:
  // The debug lines build every message's text, so they run too.
  void SetUp() override { log_t::enable("proto", "debug4"); }
  void TearDown() override { log_t::disable("proto"); }

  temp_dir_t temp;
};

}  // namespace

TEST_F(Framer, HelloAndAnswerBetweenTwoThreads) {
  link_t link(temp.path);
  std::uint32_t got_sensor = 0;
  std::string failure;
  // The sensor side blocks in read(false) until the console's hello arrives, then answers.
  std::thread sensor([&] {
    try {
      auto cmd = link.proto.read(false);
      if (!cmd || cmd->id != command_hello_t::message_id) {
        failure = "no hello";
        return;
      }
      got_sensor = static_cast<command_hello_t&>(*cmd).sensor_id;
      answer_hello_t answer;
      answer.version = protocol_version;
      answer.sysinfo = std::string("linux\0", 6);
      link.proto.write(answer);
    } catch (const std::exception& e) {
      failure = e.what();
    }
  });
  link.console->send(make_hello(77));
  const auto frame = link.console->receive(5s);
  sensor.join();

  EXPECT_EQ(failure, "");
  EXPECT_EQ(got_sensor, 77u);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->id, answer_hello_t::message_id);
  const auto answer = frame->as<answer_hello_t>();
  EXPECT_EQ(answer.status, 0);
  EXPECT_EQ(answer.version, 1u);
  EXPECT_EQ(answer.sysinfo, std::string("linux\0", 6));
}

TEST_F(Framer, FrameSplitAcrossPolls) {
  link_t link(temp.path);
  std::vector<unsigned char> frame(4096);
  const auto hello = make_hello(5);
  const std::uint16_t len = hello.serialize(frame.data() + 4, 4092);
  frame[0] = 1;
  frame[2] = static_cast<unsigned char>(len);
  frame[3] = static_cast<unsigned char>(len >> 8);
  link.console->send_raw(frame.data(), 6);  // header and two body bytes
  EXPECT_FALSE(link.proto.read(true));
  EXPECT_FALSE(link.proto.read(true));
  link.console->send_raw(frame.data() + 6, len - 2u);
  expect_hello(link, 5);
  EXPECT_FALSE(link.proto.read(true));
}

TEST_F(Framer, EmptyBodyOfACommandFailsToParse) {
  for (std::uint16_t id = 1; id <= 6; ++id) {
    link_t link(temp.path);
    link.console->send_frame(id, nullptr, 0);
    EXPECT_THROW(link.poll(), serializer_exception_t) << "id " << id;
  }
}

TEST_F(Framer, UnknownIdsAreDroppedAndTheNextFrameIsRead) {
  link_t link(temp.path);
  const unsigned char body[] = {0, 0, 'x', 'y'};
  link.console->send_frame(7, nullptr, 0);
  link.console->send_frame(0, body, sizeof body);
  link.console->send_frame(0x81, body, sizeof body);
  link.console->send_frame(0x8001, body, sizeof body);
  link.console->send(make_hello(9));
  expect_hello(link, 9);
  EXPECT_FALSE(link.proto.read(true));
  EXPECT_TRUE(link.socket.is_open());
}

TEST_F(Framer, OversizedBodyIsParsedFromItsStartAndTheRestDropped) {
  link_t link(temp.path);
  command_setup_t setup;
  setup.stats_period = 1000;
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
  const auto& got = static_cast<command_setup_t&>(*cmd);
  EXPECT_EQ(got.interface, "eth1");
  EXPECT_EQ(got.logpos, 42u);
  expect_hello(link, 3);
  console.join();
}

TEST_F(Framer, UploadsAreStoredAndTheStreamStaysFramed) {
  link_t link(temp.path / "tmp");  // created by the first upload
  for (std::size_t size :
       {std::size_t{0}, std::size_t{10240}, std::size_t{10241}, std::size_t{30000}}) {
    const std::string content = pattern(size);
    send_upload(*link.console, content, static_cast<std::uint32_t>(size));
    link.console->send(make_hello(static_cast<std::uint32_t>(size)));

    auto cmd = link.poll();
    ASSERT_TRUE(cmd);
    ASSERT_EQ(cmd->id, command_file_t::message_id);
    EXPECT_EQ(static_cast<command_file_t&>(*cmd).size, size);
    EXPECT_EQ(link.proto.download_error(), "");
    const fs::path download(link.proto.download_path());
    EXPECT_EQ(download.parent_path(), link.tmpdir);
    EXPECT_EQ(download.filename().string(),
              string_utils::format("sensor_%p.download", static_cast<const void*>(&link.proto)));
    EXPECT_TRUE(file_content(download.string()) == content) << "size " << size;
    expect_hello(link, static_cast<std::uint32_t>(size));
  }
}

TEST_F(Framer, SecondUploadTruncatesTheSameFile) {
  link_t link(temp.path);
  send_upload(*link.console, pattern(5000), 5000);
  ASSERT_TRUE(link.poll());
  const std::string first = link.proto.download_path();
  send_upload(*link.console, "0123456789", 10);
  ASSERT_TRUE(link.poll());
  EXPECT_EQ(link.proto.download_path(), first);
  EXPECT_EQ(file_content(first), "0123456789");
}

TEST_F(Framer, UploadCutShortRaisesRead) {
  link_t link(temp.path);
  send_upload(*link.console, pattern(50), 100);
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

TEST_F(Framer, UploadThatCannotBeOpenedIsReportedAndConsumed) {
  link_t link(temp.path);
  const fs::path download =
      temp.path / string_utils::format("sensor_%p.download", static_cast<const void*>(&link.proto));
  fs::create_directory(download);
  send_upload(*link.console, pattern(20000), 20000);
  link.console->send(make_hello(1));

  ASSERT_TRUE(link.poll());
  EXPECT_NE(link.proto.download_error(), "");
  expect_hello(link, 1);

  // The next upload that can be stored clears the failure.
  fs::remove(download);
  send_upload(*link.console, "abc", 3);
  ASSERT_TRUE(link.poll());
  EXPECT_EQ(link.proto.download_error(), "");
  EXPECT_EQ(file_content(link.proto.download_path()), "abc");
}

TEST_F(Framer, UploadThatCannotBeWrittenWholeIsReportedAndConsumed) {
  link_t link(temp.path);
  send_upload(*link.console, pattern(30000), 30000);
  link.console->send(make_hello(2));

  // A file-size limit makes the kernel refuse the write past 4096 bytes: a short write, then a
  // failed one, as on a full disk.
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
  expect_hello(link, 2);
}

TEST_F(Framer, TemporaryDirectoryThatIsAFileFailsTheUpload) {
  const fs::path file = temp.path / "tmp";
  std::ofstream(file.string()) << "x";
  link_t link(file);
  send_upload(*link.console, "abc", 3);
  EXPECT_THROW(link.poll(), fs::filesystem_error);
}

TEST_F(Framer, WriteAfterThePeerClosedDoesNothing) {
  link_t link(temp.path);
  link.console->close();
  EXPECT_FALSE(link.poll());
  EXPECT_FALSE(link.socket.is_open());
  EXPECT_NO_THROW(link.proto.write(answer_t(0x82)));
  EXPECT_FALSE(link.proto.read(false));
}

TEST_F(Framer, FailedWriteRaisesWrite) {
  link_t link(temp.path);
  // A reset instead of an orderly close: the next writes fail.
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
  link_t link(temp.path);
  std::vector<unsigned char> data(4063, 0x5a);
  command_packet_t packet;
  packet.sensor_id = 4;
  packet.data = {data.data(), 4062};
  link.proto.write(packet);
  packet.data.length = 4063;
  EXPECT_THROW(link.proto.write(packet), serializer_exception_t);
  command_event_t event;
  event.ip_version = 1;
  event.ip_source.v4 = 0x7f000001;
  event.protocol = 17;
  event.port_destination = 53;
  link.proto.write(event);

  auto frame = link.console->receive(5s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->id, command_packet_t::message_id);
  EXPECT_EQ(frame->body.size(), 4092u);
  const auto got_packet = frame->as<command_packet_t>();
  EXPECT_EQ(got_packet.sensor_id, 4u);
  EXPECT_EQ(got_packet.data.length, 4062);

  // Nothing of the packet that did not fit went out: the event is next.
  frame = link.console->receive(5s);
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->id, command_event_t::message_id);
  const auto got_event = frame->as<command_event_t>();
  EXPECT_EQ(got_event.ip_source.v4, 0x7f000001u);
  EXPECT_EQ(got_event.port_destination, 53);
}

TEST_F(Framer, GatheredFramesGoOutOnlyOnFlushAndInOrder) {
  link_t link(temp.path);
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
