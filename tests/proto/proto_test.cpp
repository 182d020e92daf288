#include "proto/proto.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/console_client.h"
#include "common/daemon_launcher.h"

using namespace ferun;
namespace fs = boost::filesystem;
using namespace std::chrono_literals;

namespace {

// The framer on an accepted loopback socket, the console on the other end.
struct link_t {
  link_t() {
    boost::asio::ip::tcp::acceptor acceptor(io, {boost::asio::ip::address_v4::loopback(), 0});
    console = std::make_unique<ferun_test::console_client_t>(acceptor.local_endpoint().port());
    acceptor.accept(socket);
    proto->async_read_header();
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

TEST(Framer, UploadsAreStoredPrivatelyAndNeverLeftBehind) {
  link_t link, cut;
  ::close(0);                        // the upload's file gets descriptor 0
  std::string content(10241, '\0');  // more than one chunk
  for (std::size_t i = 0; i < content.size(); ++i) content[i] = static_cast<char>(i * 7);
  link.send_upload(content, content.size());
  ASSERT_TRUE(std::dynamic_pointer_cast<command_file_t>(link.proto->read(false)));
  EXPECT_TRUE(ferun_test::read_file(link.proto->download_path()) == content);
  EXPECT_EQ(fs::status(link.tmpdir).permissions(), fs::owner_all);
  EXPECT_EQ(fs::status(link.proto->download_path()).permissions(),
            fs::owner_read | fs::owner_write);
  link.proto.reset();                           // the connection's end
  EXPECT_EQ(::open("/dev/null", O_RDONLY), 0);  // and closes it
  EXPECT_TRUE(fs::is_empty(link.tmpdir));

  cut.send_upload("abc", 2);
  cut.console->close();
  EXPECT_THROW(cut.proto->read(false), boost::system::system_error);
  EXPECT_TRUE(fs::is_empty(cut.tmpdir));
  EXPECT_EQ(cut.proto->read(true), nullptr) << "a failed frame is handed out once";
}

TEST(Framer, OnlyFramesSentAreLoggedAndALongAnswerIsCut) {
  link_t link;
  log_t::set_filename((link.temp / "log").string());
  log_t::enable("proto", "debug0");
  link.console->send_frame(99, std::string(10240, 'x').data(), 10240);  // nothing dropped
  EXPECT_EQ(link.proto->read(false), nullptr);
  link.proto->gather();
  link.proto->write(answer_t(0x85));
  EXPECT_EQ(ferun_test::read_file(link.temp / "log"), "");
  link.proto->end_gather();
  link.proto->write(answer_t(0x86, 1, std::string(4089, 'a') + "bc"));
  link.proto->gather();
  link.proto->write(answer_t(0x83));
  link.socket.close();
  link.proto->end_gather();
  link.proto->write(answer_t(0x82));
  log_t::disable("proto");
  log_t::set_filename("");
  EXPECT_EQ(ferun_test::read_file(link.temp / "log"),
            "DEBUG0 proto: write [133:2] answer\n{  status : OK\n  message: \n}\nWARNING proto: "
            "answer 134: message of 4091 bytes cut to 4089 to fit one frame\nDEBUG0 proto: write "
            "[134:4092] answer\n{  status : FAIL\n  message: " +
                std::string(4089, 'a') + "\n}\n");
  EXPECT_EQ(link.console->receive(5s).value().id, 0x85);
  const auto cut = link.console->receive(5s).value();
  EXPECT_EQ(cut.body.size(), 4092u);
  EXPECT_EQ(cut.as<answer_t>().message, std::string(4089, 'a'));
}

// A hello answer too long for a frame is cut, the host description keeping its closing NUL; the
// connection goes on. Only a header is read before the hello when only a hello is accepted.
TEST(Framer, HelloAnswerCutAndOnlyAHelloFirst) {
  link_t link;
  log_t::set_filename((link.temp / "log").string());
  log_t::enable("proto", "warning");
  answer_hello_t described;
  std::tie(described.message, described.version, described.sysinfo) =
      std::make_tuple("hello from sensor!", 1, std::string(5000, 'd') + '\0');
  link.proto->write(described);
  answer_hello_t refused;
  std::tie(refused.status, refused.message) = std::make_tuple(1, std::string(4100, 'r'));
  link.proto->write(refused);
  log_t::disable("proto");
  log_t::set_filename("");
  EXPECT_EQ(ferun_test::read_file(link.temp / "log"),
            "WARNING proto: answer 129: message of 18 and host description of 5001 bytes cut to 18 "
            "and 4066 to fit one frame\nWARNING proto: answer 129: message of 4100 and host "
            "description of 0 bytes cut to 4084 and 0 to fit one frame\n");
  const auto first = link.console->receive(5s).value(), second = link.console->receive(5s).value();
  EXPECT_EQ(first.body.size(), 4092u);
  const auto hello = first.as<answer_hello_t>();
  EXPECT_EQ(hello.message + std::to_string(hello.version), "hello from sensor!1");
  EXPECT_EQ(hello.sysinfo, std::string(4065, 'd') + '\0');
  EXPECT_EQ(second.body.size(), 4092u);
  EXPECT_EQ(second.as<answer_hello_t>().message, std::string(4084, 'r'));

  link.proto->accept_only(command_hello_t::message_id);
  link.console->send_frame(command_file_t::message_id, "\1a\0\0\0\0\1\0\0\0", 10);
  EXPECT_EQ(link.proto->read(false), nullptr);
  EXPECT_EQ(link.proto->refused_id(), 6);
  std::array<char, 16> pending{};
  EXPECT_EQ(::recv(link.socket.native_handle(), pending.data(), pending.size(), MSG_DONTWAIT), 10)
      << "the body was read";
}
