#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frames.h"
#include "sieve_client_ipc.pb.h"
#include "sv_frame.h"

namespace {

sv_frame_t cut(const std::string& bytes) {
  return sv_cut_frame(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size());
}

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
    const sv_frame_t frame = cut(c.bytes);
    EXPECT_EQ(frame.status, c.status) << c.bytes.size() << " bytes";
    EXPECT_EQ(frame.needed, c.needed) << c.bytes.size() << " bytes";
  }
}

TEST(SieveFrame, FramesAreCutWhereverTheBytesAreSplit) {
  sv::ServerMessage ready;
  ready.set_tag(sv::ServerMessage::PROXY_READY);
  sv::ServerMessage response;
  response.set_tag(sv::ServerMessage::PROXY_SCAN_RESPONSE);
  response.set_serial(300);
  response.mutable_scan_report()->set_object("/a/b");
  std::string stream;
  sv_append_frame(stream, ready);
  sv_append_frame(stream, response);
  ASSERT_EQ(stream, encode_frame(ready) + encode_frame(response));
  const std::vector<std::string> bodies{ready.SerializeAsString(), response.SerializeAsString()};

  // However much has arrived, the whole frames in it come out in order.
  for (std::size_t arrived = 0; arrived <= stream.size(); ++arrived) {
    const std::string have = stream.substr(0, arrived);
    std::size_t at = 0, taken = 0;
    for (sv_frame_t f = cut(have); f.status == sv_frame_t::complete; f = cut(have.substr(at))) {
      ASSERT_LT(taken, bodies.size());
      EXPECT_EQ(have.substr(at + sv_frame_header_size, f.body_size), bodies[taken]) << arrived;
      at += f.needed;
      ++taken;
    }
    EXPECT_EQ(taken, arrived == stream.size() ? 2u : arrived >= 4 + bodies[0].size() ? 1u : 0u) << arrived;
  }
}

}  // namespace
