#include <string>

#include <gtest/gtest.h>

#include "frames.h"
#include "sv_frame.h"

namespace {

TEST(SieveFrame, LengthsAreJudgedFromTheHeaderAlone) {
  const std::size_t most = 4 + std::size_t(sv_max_message_size);
  const struct {
    std::string bytes;
    sv_frame_t::status_t status;
    std::size_t needed;
  } cases[] = {
      {"", sv_frame_t::incomplete, 4},
      {std::string("\x05\x00\x00", 3), sv_frame_t::incomplete, 4},
      {frame_header(0), sv_frame_t::bad_size, 4},
      {frame_header(5) + "abcd", sv_frame_t::incomplete, 9},
      {frame_header(5) + "abcdefgh", sv_frame_t::complete, 9},
      {frame_header(sv_max_message_size), sv_frame_t::incomplete, most},
      {frame_header(sv_max_message_size + 1), sv_frame_t::bad_size, 4},
  };
  for (const auto& c : cases) {
    const sv_frame_t frame = sv_cut_frame(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size());
    EXPECT_EQ(std::make_pair(frame.status, frame.needed), std::make_pair(c.status, c.needed)) << c.bytes.size();
  }
}

}  // namespace
