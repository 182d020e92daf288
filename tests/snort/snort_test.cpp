// The unified2 reader over files written in slices, as Snort appends them, and a spool file
// written by the real IDS; the sid and gen maps.
#include <gtest/gtest.h>

#include <tuple>

#include "common/daemon_launcher.h"
#include "common/test_util.h"
#include "common/u2_writer.h"
#include "snort/snort_msg_map.h"
#include "snort/u2_file.h"

namespace {

// What read() hands out until null: "E<signature>.<id>/<link type>" (then "m" when it carries MAC
// addresses), "P<id>:<length>" or "S".
std::string drain(u2_file_t& u2) {
  std::string out;
  while (const u2_record_t* r = u2.read()) {
    const auto* e = static_cast<const u2_event_t*>(r);
    const auto* p = static_cast<const u2_packet_t*>(r);
    out += r->type == u2_type_skip ? "S"
           : r->type == u2_type_event
               ? "E" + std::to_string(e->signature_id) + "." + std::to_string(e->event_id) + "/" +
                     std::to_string(e->linktype) + (e->mac_src[5] || e->mac_dst[0] ? "m" : "")
               : "P" + std::to_string(p->event_id) + ":" + std::to_string(p->packet_length);
  }
  return out;
}

// Each row (the last from the real IDS): the bytes, appended one by one (the reader drains after
// each), what the reader hands out, and the channel's whole log. It ends behind them all.
TEST(U2File, RecordsAndLogOfFilesWrittenInSlices) {
  auto event = [](uint32_t id, uint32_t type = 104, size_t length = 60) {  // zero-padded
    const std::string body = u2w::encode(u2w::event_t{type, id}).substr(8) + std::string(964, 0);
    return u2w::record(type, body.substr(0, length));
  };
  auto packet = [](uint32_t id, size_t length = 60) {
    return u2w::encode(u2w::packet_t{id, 0, 0, std::string(length, 'd')});
  };
  auto extra = [](uint32_t id, const std::string& uri = "/ab", size_t pad = 0) {  // an HTTP URI
    const uint32_t blob = 8 + static_cast<uint32_t>(uri.size());
    return u2w::record(110, u2w::words({4, 35, 0, id, 0, 9, 1, blob}) + uri + std::string(pad, 0));
  };
  const std::string pair1 = event(1) + packet(1), zeros(800, '\0'), seven = u2w::record(7, "abc");
  const std::string nine = u2w::record(9, std::string(20, 'x'));
  const struct {
    std::string bytes, records, log;
  } rows[] = {
      // Shortest event bodies that hold every field: 58 (104, 111) and 82 bytes (105, 112); the
      // longest, 1024 bytes; an extra-data record of its head alone.
      {event(1, 111, 58) + packet(1) + event(2, 104, 1024) + extra(2, "") +
           u2w::record(42, "uuuuu") + event(3, 112, 82) + packet(3),
       "E1.1/1mP1:60E1.2/0SE1.3/1mP3:60", "ERROR u2_file: got unknown type 42\n"},
      // Unpaired, none null: lone extra (bytes behind its blob); event + other packet, other extra.
      {extra(8, "/ab", 3) + event(1) + packet(9) + event(2) + extra(3), "SP9:60S", ""},
      // Bytes past the 8080-byte buffer are passed over, once they are all in the file; a packet
      // with no room behind it for the next header; one without data.
      {packet(4, 8081) + packet(5, 8076) + packet(6) + packet(7, 0), "P4:8080P5:8076P6:60P7:0", ""},
      // A zero-filled stretch and runs of unknown records: two lines a run, whole bodies only.
      {pair1 + zeros + pair1 + seven + seven + nine + pair1 + nine + extra(1) + nine,
       "E1.1/1mP1:60" + std::string(100, 'S') + "E1.1/1mP1:60SSSE1.1/1mP1:60SSS",
       "ERROR u2_file: got unknown type 0\nERROR u2_file: skipped 100 records of unknown type 0 "
       "from position 164\nERROR u2_file: got unknown type 7\nERROR u2_file: skipped 2 records "
       "of unknown type 7 from position 1128\nERROR u2_file: got unknown type 9\nERROR u2_file: "
       "got unknown type 9\nERROR u2_file: got unknown type 9\n"},
      {ferun_test::read_file(FERUN_TESTDATA_DIR "/unified2/pyidstools-merged.log"),
       "E498.1/1mP1:373E498.2/1mP2:373E498.3/1mP3:373E498.4/1mP4:373E498.5/1mP5:373E498.6/1mP6:373",
       ""},
  };
  for (const auto& row : rows) {
    if (row.bytes.empty()) GTEST_SKIP() << "sample spool absent";
    ferun_test::temp_dir_t dir;
    log_t::set_filename((dir / "log").string());
    log_t::enable("u2_file", 0);
    u2w::spool_t spool((dir / "spool").string());
    u2_file_t u2;
    u2.open((dir / "spool").string());
    std::string seen;
    bool ahead = false;  // whether the reader's position ever stood past the end of the file
    for (size_t n = 1; n <= row.bytes.size(); ++n) {
      spool.append(row.bytes.substr(n - 1, 1));
      seen += drain(u2);
      ahead = ahead || u2.get_position() > n;
    }
    EXPECT_EQ(std::make_tuple(seen, u2.get_position(), ahead),
              std::make_tuple(row.records, row.bytes.size(), false));
    EXPECT_EQ(ferun_test::read_file(dir / "log"), row.log);
  }
  log_t::disable("u2_file");
  log_t::set_filename("");
}

// The debug summary of IPv4 TCP, UDP, ICMP; IPv6 UDP behind a jumbo hop-by-hop option and a
// fragment; undecoded: IPv4 (in two Ethernet headers) and IPv6 cut short, VLAN; TCP, UDP cut short.
TEST(U2File, PacketSummaryLines) {
  auto eth = [](uint32_t type) { return std::string(12, '\1') + u2w::words({type}).substr(2); };
  auto ip4 = [](uint32_t total, uint32_t proto) {
    return u2w::words({0x45000000 | total, 0, 64u << 24 | proto << 16, 0x0a0b0001, 0xc0a80102});
  };
  const std::string v4 = eth(0x800), tcp = u2w::words({1234u << 16 | 80, 7, 9, 0x50130000, 0});
  std::string lines, udp = u2w::words({53u << 16 | 5353, 0});
  const std::string v6 = eth(0x86DD) + u2w::words({0x60000000, 0, 0, 0, 0, 1, 0xfe800000, 0, 0, 2,
                                                   0x2c01c204, 34, 0x01060000, 0, 17u << 24, 0});
  for (const std::string& data :
       {v4 + ip4(40, 6) + tcp, v4 + ip4(28, 17) + udp, v4 + ip4(28, 1) + udp, v6 + udp + "ab",
        eth(0) + v4 + ip4(40, 6).substr(0, 19), v6.substr(0, 53),
        eth(0x8100) + u2w::words({0x50800}) + ip4(28, 17) + udp,
        v4 + ip4(40, 6) + tcp.substr(0, 19), v4 + ip4(28, 17) + udp.substr(0, 7)}) {
    const auto* d = reinterpret_cast<const uint8_t*>(data.data());
    const auto n = static_cast<uint16_t>(data.size());
    (lines += u2_packet_summary_line(u2_decode_packet(d, n), d, n, 5000000)) += '\n';
  }
  EXPECT_EQ(
      lines,
      "5.0   10.11.0.1:1234 -> 192.168.1.2:80 54 TCP 0 [SYN,ACK,FIN] seq: 7 ack: 9\n"
      "5.0   10.11.0.1:53 -> 192.168.1.2:5353 42 UDP 0\n5.0   10.11.0.1:0 -> 192.168.1.2:0 42 ? 8\n"
      "5.0   ::1:53 -> fe80::2:5353 88 UDP 2\n5.0   0.0.0.0:0 -> 0.0.0.0:0 47 ? 0\n"
      "5.0   0.0.0.0:0 -> 0.0.0.0:0 53 ? 0\n5.0   0.0.0.0:0 -> 0.0.0.0:0 46 ? 0\n"
      "5.0   10.11.0.1:0 -> 192.168.1.2:0 53 ? 20\n5.0   10.11.0.1:0 -> 192.168.1.2:0 41 ? 8\n");
}

// Separator, group and message split, "DELETED ", duplicates refilling the entry, ids that do
// not convert (skipped, never filed under the previous line's id), decimal fallback reported
// once per missing key and load; a gen map line without three fields fails the load.
TEST(MsgMap, LineRules) {
  ferun_test::temp_dir_t dir;
  const std::string sid = (dir / "sid").string(), gen = (dir / "gen").string();
  log_t::set_filename((dir / "log").string());
  log_t::enable("snort_parser", log_t::level_of("warning"));
  ferun_test::write_file(
      sid,
      "103 || DELETED   BACKDOOR subseven  22 || arachnids,485 || url,x\n"
      "5 || A one || r1 || r2\n5||B two||r3\nabc || C three\n6 || G m\n6 || solo\n7\n");
  ferun_test::write_file(
      gen, "119 || 32 || http_inspect:   a: b\n3 || 1 || snort dynamic alert\nx || 1 || g\n");
  snort_msg_map_t map;
  exception_t error{-1, "untouched"};
  ASSERT_TRUE(map.load(gen.c_str(), sid.c_str(), error));
  std::string got;  // "<gen entry>|<group>|<message>|<second ref>;" for each key
  for (const auto& key :
       {std::make_pair(1u, 103u), {1u, 5u}, {1u, 6u}, {119u, 32u}, {3u, 1u}, {4294967295u, 7u}}) {
    const snort_msg_t m = map.get(key.first, key.second);
    got += std::to_string(m.gen_entry) + "|" + m.group + "|" + m.message + "|" + m.refs[1] + ";";
  }
  // The duplicate of 5 refills the fields it has; that of 6 drops the group.
  EXPECT_EQ(got,
            "0|BACKDOOR|subseven  22 (DELETED)|url,x;0|B|two|r2;0||solo|;1|http_inspect|a: b|;"
            "1|snort dynamic alert||;1|4294967295|7|;");
  EXPECT_EQ(map.size(), 5u);
  EXPECT_FALSE(map.load(gen.c_str(), (dir / "none").c_str(), error));
  map.get(4294967295u, 7);  // reported once per load
  ferun_test::write_file(gen, "9 || 1 || a: b\n9 || 2 ||\n");
  EXPECT_FALSE(map.load(gen.c_str(), sid.c_str(), error));
  EXPECT_EQ(error.message, "unknown format of gid map file " + gen + ":2\n");
  map.get(4294967295u, 7);
  const std::string text = ferun_test::read_file(dir / "log");
  for (const std::string& line :
       {"WARNING snort_parser: duplicate key " + sid + ":3\n", "unable parse line " + sid + ":4\n",
        "unable parse line " + gen + ":3\n",
        "invalid key: 4294967295:7\nWARNING snort_parser: duplicate key " + sid + ":3\n",
        "unknown format of gid map file " + gen +
            ":2\nERROR snort_parser: invalid key: 4294967295:7\n"})
    EXPECT_NE(text.find(line), std::string::npos) << line;
  log_t::disable("snort_parser");
  log_t::set_filename("");
}

}  // namespace
