// A spool file written by the real IDS, read where it lies.
#include <gtest/gtest.h>

#include <boost/filesystem.hpp>
#include <tuple>

#include "snort/u2_file.h"

namespace {

// Six event+packet pairs (60-byte events): signature 1:498 rev 10, event ids 1..6, 373-byte
// packets.
TEST(U2Testdata, RealSpoolDecodes) {
  const std::string file = FERUN_TESTDATA_DIR "/unified2/pyidstools-merged.log";
  if (!boost::filesystem::exists(file)) GTEST_SKIP() << "sample spool absent: " << file;
  u2_file_t u2;
  u2.open(file);
  size_t n[3] = {};  // skips, events, packets
  while (const u2_record_t* r = u2.read()) {
    ++n[r->type];
    if (r->type == u2_type_event) {
      const auto* e = static_cast<const u2_event_t*>(r);
      EXPECT_EQ(
          std::make_tuple(e->generator_id, e->signature_id, e->signature_revision, e->event_id),
          std::make_tuple(1u, 498u, 10u, static_cast<uint32_t>(n[1])));
    } else if (r->type == u2_type_packet) {
      EXPECT_EQ(static_cast<const u2_packet_t*>(r)->packet_length, 373);
    }
  }
  EXPECT_EQ(std::make_tuple(n[0], n[1], n[2]), std::make_tuple(0u, 6u, 6u));
  EXPECT_EQ(u2.get_position(), boost::filesystem::file_size(file));
}

}  // namespace
