// Consoles that misbehave towards the real daemon: cut off in the middle of a frame or an upload,
// stalled or gone while alerts stream out, arriving two hundred at a time, speaking noise, or
// waiting behind a wrapper script that hangs. None of them may cost the daemon its worker, a
// descriptor or a thread, or keep it from serving the next console.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>

#include <cstring>
#include <memory>
#include <random>
#include <system_error>

#include "common/u2_writer.h"
#include "fault/fault_fixture.h"

namespace fs = boost::filesystem;
using namespace ferun_test;

namespace {

// Makes the next close send a reset instead of an orderly end.
void abort_on_close(console_client_t& console) {
  const linger hard{1, 0};
  ASSERT_EQ(setsockopt(console.fd(), SOL_SOCKET, SO_LINGER, &hard, sizeof hard), 0);
}

std::string random_bytes(std::mt19937& random, std::size_t n) {
  std::string bytes(n, '\0');
  for (char& c : bytes) c = static_cast<char>(random() & 0xff);
  return bytes;
}

std::string header(std::uint16_t id, std::uint16_t length) {
  const unsigned char bytes[4] = {
      static_cast<unsigned char>(id), static_cast<unsigned char>(id >> 8),
      static_cast<unsigned char>(length), static_cast<unsigned char>(length >> 8)};
  return std::string(reinterpret_cast<const char*>(bytes), sizeof bytes);
}

std::uint16_t local_port(int fd) {
  sockaddr_in address{};
  socklen_t length = sizeof address;
  getsockname(fd, reinterpret_cast<sockaddr*>(&address), &length);
  return ntohs(address.sin_port);
}

// Bytes the daemon has queued but the peer has not taken, on the connection from `console_port`
// to `server_port`; 0 when the connection is not listed.
std::size_t send_queue(std::uint16_t server_port, std::uint16_t console_port) {
  std::ifstream table("/proc/net/tcp");
  std::string line;
  std::getline(table, line);
  while (std::getline(table, line)) {
    std::istringstream fields(line);
    std::string slot, local, remote, state, queues;
    fields >> slot >> local >> remote >> state >> queues;
    if (local.size() < 5 || remote.size() < 5) continue;
    if (std::stoul(local.substr(local.find(':') + 1), nullptr, 16) != server_port ||
        std::stoul(remote.substr(remote.find(':') + 1), nullptr, 16) != console_port)
      continue;
    return std::stoul(queues.substr(0, queues.find(':')), nullptr, 16);
  }
  return 0;
}

class ConnectionFault : public DaemonFault {};

// A spool far larger than what the sockets of one connection can hold, and the console that
// asks for it.
class AlertFlood : public DaemonFault {
 protected:
  void SetUp() override {
    const fs::path spool = daemon_.dir() / "spool";
    fs::create_directory(spool);
    write_file(spool / "sid-msg.map", "1000001 || TEST flood rule\n");
    write_file(spool / "gen-msg.map", "1 || 1 || snort general alert\n");
    std::string records;
    for (std::uint32_t n = 1; n <= 3000; ++n) {
      u2w::event_t event;
      event.event_id = n;
      event.signature_id = 1000001;
      u2w::packet_t packet;
      packet.event_id = n;
      packet.data.assign(3000, 'p');
      records += u2w::encode(event) + u2w::encode(packet);
    }
    u2w::spool_t(spool.string() + "/threats.log.1").append(records);

    setup_.stats_period = 3600 * 1000;
    setup_.options = 0x2;
    setup_.logdir = spool.string();
    setup_.logpattern = "threats.log";
    setup_.sidmap = (spool / "sid-msg.map").string();
    setup_.genmap = (spool / "gen-msg.map").string();
    start();
  }

  // A console that took the first alerts and then stopped reading, with the daemon blocked on
  // the rest.
  std::unique_ptr<console_client_t> stalled_console() {
    auto console = std::make_unique<console_client_t>(port_, 20s);
    // A small fixed window, so that the daemon cannot park the whole spool in the socket buffers.
    const int small = 16 * 1024;
    EXPECT_EQ(setsockopt(console->fd(), SOL_SOCKET, SO_RCVBUF, &small, sizeof small), 0);
    EXPECT_EQ(say_hello(*console, "flood", 1).status, 0);
    EXPECT_EQ(exchange(*console, setup_).status, 0) << daemon_.output();
    const auto first = console->receive(20s);
    EXPECT_TRUE(first && first->id == 0x8001) << daemon_.output();
    // Blocked: the queue has stopped growing although the daemon has far more to send.
    const std::uint16_t mine = local_port(console->fd());
    std::size_t queued = 0;
    auto since = std::chrono::steady_clock::now();
    EXPECT_TRUE(poll_until(
        [&] {
          const std::size_t now = send_queue(port_, mine);
          if (now != queued) since = std::chrono::steady_clock::now();
          queued = now;
          return queued > 0 && std::chrono::steady_clock::now() - since > 300ms;
        },
        30s))
        << "queued " << queued;
    return console;
  }

  ferun::command_setup_t setup_;
};

}  // namespace

TEST_F(ConnectionFault, ConsoleCutOffInTheMiddleOfAFrameOrUpload) {
  start();
  const std::string big(1 << 20, 'u');
  const struct {
    const char* what;
    bool greet;
    bool reset;
    std::string bytes;
  } cases[] = {
      {"half a header", false, false, header(1, 40).substr(0, 2)},
      {"half a hello body", false, false, header(1, 40) + std::string(10, 'h')},
      {"half a set-value body", true, false, header(5, 300) + std::string(100, 'v')},
      {"half an upload", true, false, ""},
      {"half an upload, reset", true, true, ""},
      {"hello, gone before the answer", false, true, ""},
  };
  std::uint32_t id = 1;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    {
      console_client_t console(port_, 20s);
      if (c.greet) {
        ASSERT_EQ(say_hello(console, "cut", id).status, 0);
      }
      if (c.bytes.empty() && c.greet) {
        ferun::command_file_t file;
        file.path = "rules/cut.rules";
        file.size = static_cast<std::uint32_t>(big.size());
        console.send(file);
        console.send_raw(big.data(), big.size() / 3);
      } else if (c.bytes.empty()) {
        ferun::command_hello_t hello;
        hello.version = ferun::protocol_version;
        hello.prefix = "cut";
        hello.sensor_id = id;
        console.send(hello);
      } else {
        console.send_raw(c.bytes);
      }
      if (c.reset) abort_on_close(console);
    }
    EXPECT_TRUE(released());
    EXPECT_TRUE(serves_new_console(id));
    ++id;
  }
  // A cut upload places nothing.
  EXPECT_FALSE(fs::exists(data() / "cut-4" / "rules" / "cut.rules"));
  EXPECT_FALSE(fs::exists(data() / "cut-5" / "rules" / "cut.rules"));
}

TEST_F(AlertFlood, ConsoleThatStopsReadingAndThenClosesIsDropped) {
  for (const bool reset : {true, false}) {
    SCOPED_TRACE(reset ? "closed with unread data" : "half-closed, then closed");
    auto console = stalled_console();
    if (!reset) console->shutdown_send();
    console.reset();
    EXPECT_TRUE(released());
  }
  EXPECT_TRUE(serves_new_console(1));
}

TEST_F(AlertFlood, StopRequestEndsTheDaemonWhileAConsoleHasStoppedReading) {
  const auto console = stalled_console();
  ASSERT_TRUE(daemon_.send_signal(SIGTERM));
  const auto status = daemon_.wait_exit(10s);
  ASSERT_TRUE(status) << "the daemon did not end within 10 s of SIGTERM\n" << daemon_.output();
  EXPECT_TRUE(WIFEXITED(*status) && WEXITSTATUS(*status) == 0) << describe_status(*status);
}

TEST_F(ConnectionFault, TwoHundredConnectionsOpenedAndClosedAtOnce) {
  start();
  std::vector<std::unique_ptr<console_client_t>> consoles;
  for (int n = 0; n < 200; ++n) consoles.push_back(std::make_unique<console_client_t>(port_, 20s));
  // All of them are open together: silent ones, hellos left unread, half headers, resets.
  for (std::size_t n = 0; n < consoles.size(); ++n) {
    console_client_t& console = *consoles[n];
    ferun::command_hello_t hello;
    hello.version = ferun::protocol_version;
    hello.prefix = "many";
    hello.sensor_id = static_cast<std::uint32_t>(n);
    if (n % 4 == 1 || n % 4 == 3) console.send(hello);
    if (n % 4 == 2) console.send_raw(header(1, 20).substr(0, 3));
    if (n % 4 == 3) abort_on_close(console);
  }
  consoles.clear();

  EXPECT_TRUE(poll_until(
      [&] { return occurrences(daemon_.output(), "Accept new sensor from") >= 200; }, 30s))
      << daemon_.output();
  EXPECT_TRUE(released());
  EXPECT_TRUE(serves_new_console(1));
}

TEST_F(ConnectionFault, RandomBytesOnThePort) {
  start();
  // Fixed seeds: a failure replays the same bytes.
  for (std::uint32_t seed = 1; seed <= 15; ++seed) {
    SCOPED_TRACE(seed);
    std::mt19937 random(seed);
    console_client_t console(port_, 20s);
    if (seed % 3 != 0) {
      ASSERT_EQ(say_hello(console, "noise", seed).status, 0);
    }
    try {
      if (seed % 3 == 0) {
        // Noise before any hello.
        console.send_raw(random_bytes(random, 1 + random() % 70000));
      } else {
        // Noise after a hello: frames of every command id (but setup and IDS action, which
        // would act outside the test's directories) with bodies of random length and content,
        // some cut short.
        static const std::uint16_t ids[] = {0, 1, 4, 5, 6, 7, 0x81, 0xffff};
        for (int frame = 0; frame < 40; ++frame) {
          const std::size_t length = random() % (seed % 3 == 1 ? 64 : 5000);
          console.send_raw(header(ids[random() % 8], static_cast<std::uint16_t>(length)) +
                           random_bytes(random, length - random() % 2 * (length / 2)));
        }
      }
      console.shutdown_send();
    } catch (const std::system_error&) {
      // The daemon may end the connection before the noise is over.
    }
    EXPECT_TRUE(console.wait_closed(20s));
  }
  EXPECT_TRUE(released());
  EXPECT_TRUE(serves_new_console(1));
}

class HangingWrapper : public DaemonFault {
 protected:
  HangingWrapper() : DaemonFault({}) {
    // Runs until the test lets it go, or for at most a minute.
    daemon_.write_script("tavrel-snort",
                         "#!/bin/sh\n"
                         "touch '" +
                             (daemon_.dir() / "running").string() +
                             "'\n"
                             "n=0\n"
                             "while [ ! -e '" +
                             (daemon_.dir() / "release").string() +
                             "' ] && [ $n -lt 1200 ]; do\n"
                             "  sleep 0.05; n=$((n + 1))\n"
                             "done\n");
  }
};

TEST_F(HangingWrapper, LongScriptDoesNotHoldOtherConsoles) {
  start();
  console_client_t waiting(port_, 20s);
  ASSERT_EQ(say_hello(waiting, "slow", 1).status, 0);
  ferun::command_ids_action_t action;
  action.action = 1;
  waiting.send(action);
  ASSERT_TRUE(poll_until([&] { return fs::exists(daemon_.dir() / "running"); }, 20s));

  EXPECT_TRUE(serves_new_console(2));
  EXPECT_TRUE(serves_new_console(3));
  EXPECT_FALSE(waiting.receive(1ms)) << "answered before the script ended";

  write_file(daemon_.dir() / "release", "");
  const auto answer = answer_frame(waiting, action.id);
  ASSERT_TRUE(answer) << daemon_.output();
  EXPECT_EQ(answer->as<ferun::answer_t>().status, 0);
  EXPECT_EQ(set_value(waiting, "after", "script").status, 0);
  EXPECT_EQ(get_value(waiting, "after"), "script");
}
