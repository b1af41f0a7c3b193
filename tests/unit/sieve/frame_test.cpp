#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "frames.h"
#include "sieve_client_ipc.pb.h"
#include "sv_frame.h"

namespace {

sv_frame_t cut(const std::string& bytes, std::uint32_t max = sv_max_message_size) {
  return sv_cut_frame(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), max);
}

TEST(SieveFrame, LengthsAreJudgedFromTheHeaderAlone) {
  const struct {
    std::string bytes;
    sv_frame_t::status_t status;
    std::size_t needed;
  } cases[] = {
      {"", sv_frame_t::incomplete, 4},
      {std::string("\x05\x00\x00", 3), sv_frame_t::incomplete, 4},
      {frame_header(0), sv_frame_t::bad_size, 4},
      {frame_header(5) + "abcd", sv_frame_t::incomplete, 9},
      {frame_header(5) + "abcde", sv_frame_t::complete, 9},
      {frame_header(5) + "abcdefgh", sv_frame_t::complete, 9},
      // Largest body: announced, not yet here; one more is refused at once.
      {frame_header(sv_max_message_size), sv_frame_t::incomplete, 4 + std::size_t(sv_max_message_size)},
      {frame_header(sv_max_message_size + 1), sv_frame_t::bad_size, 4},
      {frame_header(0xFFFFFFFF), sv_frame_t::bad_size, 4},
  };
  for (const auto& c : cases) {
    const sv_frame_t frame = cut(c.bytes);
    EXPECT_EQ(frame.status, c.status) << c.bytes.size() << " bytes";
    EXPECT_EQ(frame.needed, c.needed) << c.bytes.size() << " bytes";
  }
  EXPECT_EQ(cut(frame_header(11), 10).status, sv_frame_t::bad_size);
  EXPECT_EQ(cut(frame_header(10), 10).status, sv_frame_t::incomplete);
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

  // However much has arrived, whole frames come out in order and nothing
  // beyond the bytes that arrived is ever read.
  for (std::size_t arrived = 0; arrived <= stream.size(); ++arrived) {
    const std::string have = stream.substr(0, arrived);
    std::vector<std::string> bodies;
    std::size_t at = 0;
    for (;;) {
      const sv_frame_t frame = cut(have.substr(at));
      ASSERT_NE(frame.status, sv_frame_t::bad_size);
      if (frame.status == sv_frame_t::incomplete) break;
      bodies.push_back(have.substr(at + sv_frame_header_size, frame.body_size));
      at += frame.needed;
    }
    const std::size_t first = encode_frame(ready).size();
    EXPECT_EQ(bodies.size(), arrived == stream.size() ? 2u : arrived >= first ? 1u : 0u) << arrived;
    if (!bodies.empty()) {
      EXPECT_EQ(bodies[0], ready.SerializeAsString());
    }
    if (bodies.size() == 2) {
      EXPECT_EQ(bodies[1], response.SerializeAsString());
    }
  }
}

}  // namespace
