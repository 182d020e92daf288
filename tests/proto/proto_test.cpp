#include "proto/proto.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <boost/asio/ip/tcp.hpp>
#include <fstream>
#include <thread>

#include "common/console_client.h"
#include "common/temp_dir.h"
#include "proto/sensor_messages.h"

using namespace ferun;
namespace fs = boost::filesystem;
using namespace std::chrono_literals;

namespace {

std::string slurp(const fs::path& file) {
  std::ifstream in(file.string(), std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

// The framer on an accepted loopback socket, the console on the other end.
struct link_t {
  link_t() {
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::address_v4::loopback(), 0});
    console = std::make_unique<ferun_test::console_client_t>(acceptor.local_endpoint().port());
    acceptor.accept(socket);
    proto->async_read_header();
  }
  // Polls until a message comes, the socket closes or five seconds pass.
  std::shared_ptr<command_t> poll() {
    const auto end = std::chrono::steady_clock::now() + 5s;
    for (; socket.is_open() && std::chrono::steady_clock::now() < end;
         std::this_thread::sleep_for(1ms))
      if (auto cmd = proto->read(true)) return cmd;
    return nullptr;
  }
  void send_upload(const std::string& content, std::size_t sent) {
    command_file_t file;
    file.size = static_cast<std::uint32_t>(content.size());
    console->send(file);
    console->send_raw(content.substr(0, sent));
  }

  boost::asio::io_context io;
  boost::asio::ip::tcp::socket socket{io};
  std::unique_ptr<ferun_test::console_client_t> console;
  ferun_test::temp_dir_t temp{"proto-test"};
  fs::path tmpdir = temp / "tmp";  // made by the first upload
  std::unique_ptr<proto_t> proto = std::make_unique<proto_t>(&socket, tmpdir);
};

}  // namespace

TEST(Framer, OtherIdsAndOversizedBodiesLeaveTheStreamInStep) {
  link_t link;
  link.console->send_frame(0x81, "\0\0xy", 4);
  command_setup_t setup;
  setup.logpos = 42;
  std::vector<unsigned char> body(12000, 0xee);
  setup.serialize(body.data(), 4092);
  link.console->send_frame(command_setup_t::message_id, body.data(), body.size());
  link.console->send(command_hello_t());
  const auto cmd = std::dynamic_pointer_cast<command_setup_t>(link.poll());
  ASSERT_TRUE(cmd);
  EXPECT_EQ(cmd->logpos, 42u);
  EXPECT_TRUE(std::dynamic_pointer_cast<command_hello_t>(link.proto->read(false)));
}

TEST(Framer, UploadsAreStoredPrivatelyAndNeverLeftBehind) {
  link_t link, cut;
  const int free_fd = ::dup(0);
  ::close(free_fd);
  std::string content(10241, '\0');  // more than one chunk
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  link.send_upload(content, content.size());
  ASSERT_TRUE(std::dynamic_pointer_cast<command_file_t>(link.poll()));
  EXPECT_EQ(link.proto->download_error(), "");
  EXPECT_TRUE(slurp(link.proto->download_path()) == content);
  EXPECT_EQ(fs::status(link.tmpdir).permissions(), fs::owner_all);
  EXPECT_EQ(::dup(0), free_fd);  // the file's descriptor is closed, once
  ::close(free_fd);
  // A link under the download file's name is not followed; the stream stays in step.
  fs::rename(link.proto->download_path(), link.temp / "kept");
  fs::create_symlink(link.temp / "kept", link.proto->download_path());
  link.send_upload("other", 5);
  link.console->send(command_hello_t());
  ASSERT_TRUE(link.poll());
  EXPECT_EQ(link.proto->download_error(), "Too many levels of symbolic links");
  EXPECT_TRUE(slurp(link.temp / "kept") == content);
  EXPECT_TRUE(std::dynamic_pointer_cast<command_hello_t>(link.poll()));
  link.proto.reset();  // the connection's end
  EXPECT_TRUE(fs::is_empty(link.tmpdir));

  cut.send_upload("abc", 2);
  cut.console->close();
  EXPECT_THROW(cut.poll(), boost::system::system_error);
  EXPECT_TRUE(fs::is_empty(cut.tmpdir));
}

TEST(Framer, GatheredFramesGoOutInOrder) {
  link_t link;
  std::vector<unsigned char> data(4000, 0x11);
  command_packet_t packet;
  packet.data = {data.data(), 4000};
  link.proto->gather();
  for (packet.sensor_id = 0; packet.sensor_id < 20; ++packet.sensor_id) link.proto->write(packet);
  // Frames that no longer fit the buffer push the earlier ones out; the tail waits.
  std::uint32_t next = 0;
  while (auto frame = link.console->receive(200ms))
    EXPECT_EQ(frame->as<command_packet_t>().sensor_id, next++);
  EXPECT_GT(next, 0u);
  link.proto->end_gather();
  for (; next < 20; ++next)
    EXPECT_EQ(link.console->receive(5s).value().as<command_packet_t>().sensor_id, next);
}

TEST(Framer, OnlyFramesSentAreLoggedAndALongAnswerIsCut) {
  link_t link;
  log_t::set_filename((link.temp / "log").string());
  log_t::enable("proto", "debug0");
  link.proto->gather();
  link.proto->write(answer_t(0x85));
  EXPECT_EQ(slurp(link.temp / "log"), "");
  link.proto->end_gather();
  link.proto->write(answer_t(0x86, 1, std::string(4089, 'a') + "bc"));
  link.proto->gather();
  link.proto->write(answer_t(0x83));
  link.socket.close();
  link.proto->end_gather();
  link.proto->write(answer_t(0x82));
  log_t::disable("proto");
  log_t::set_filename("");
  EXPECT_EQ(slurp(link.temp / "log"),
            "DEBUG0 proto: write [133:2] answer\n{  status : OK\n  message: \n}\nWARNING proto: "
            "answer 134: message of 4091 bytes cut to 4089 to fit one frame\nDEBUG0 proto: write "
            "[134:4092] answer\n{  status : FAIL\n  message: " +
                std::string(4089, 'a') + "\n}\n");
  EXPECT_EQ(link.console->receive(5s).value().id, 0x85);
  const auto cut = link.console->receive(5s).value();
  EXPECT_EQ(cut.body.size(), 4092u);
  EXPECT_EQ(cut.as<answer_t>().message, std::string(4089, 'a'));
}
