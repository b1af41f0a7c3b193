#include <string>

#include <gtest/gtest.h>

#include "frames.h"
#include "svc_frame.h"

namespace {

TEST(ServiceFrame, LengthsAreJudgedFromTheHeaderAlone) {
  const std::size_t most = 4 + std::size_t(svc_max_message_size);
  const struct {
    std::string bytes;
    svc_frame_t::status_t status;
    std::size_t needed;
  } cases[] = {
      {"", svc_frame_t::incomplete, 4},
      {std::string("\x05\x00\x00", 3), svc_frame_t::incomplete, 4},
      {frame_header(0), svc_frame_t::bad_size, 4},
      {frame_header(5) + "abcd", svc_frame_t::incomplete, 9},
      {frame_header(5) + "abcdefgh", svc_frame_t::complete, 9},
      {frame_header(svc_max_message_size), svc_frame_t::incomplete, most},
      {frame_header(svc_max_message_size + 1), svc_frame_t::bad_size, 4},
  };
  for (const auto& c : cases) {
    const svc_frame_t frame = svc_cut_frame(reinterpret_cast<const unsigned char*>(c.bytes.data()), c.bytes.size());
    EXPECT_EQ(std::make_pair(frame.status, frame.needed), std::make_pair(c.status, c.needed)) << c.bytes.size();
  }
}

}  // namespace
