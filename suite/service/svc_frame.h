#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include <google/protobuf/message_lite.h>

// The suite's IPC framing: a 4-byte little-endian body length, then one
// protobuf message of 1 to svc_max_message_size bytes.

// The largest body accepted or sent: 64 MiB.
constexpr std::uint32_t svc_max_message_size = 0x4000000;
// Bytes of the length header.
constexpr std::size_t svc_frame_header_size = 4;

// What the bytes at the front of a receive buffer hold.
struct svc_frame_t {
  enum status_t {
    complete,    // a whole frame: body at header size, used bytes in all
    incomplete,  // more bytes are needed: needed says how many in all
    bad_size,    // the header announces 0 or more than the limit
  };
  status_t status = incomplete;
  // Length announced by the header (0 until the header is there).
  std::uint32_t body_size = 0;
  // complete: header and body; incomplete: the whole frame once the
  // header is known, else the header alone.
  std::size_t needed = svc_frame_header_size;
};

// Looks at the first frame of data. Nothing is allocated here, so a
// length is judged before anyone makes room for it.
svc_frame_t svc_cut_frame(const unsigned char* data, std::size_t size, std::uint32_t max_body = svc_max_message_size);

// Parses a frame body into message. Returns why it is not a whole
// message (for the log line of the session it ends), or empty.
std::string svc_parse_body(const unsigned char* body, std::size_t size, google::protobuf::MessageLite& message);

// Appends message as one frame. The caller has checked that its encoding
// is at most svc_max_message_size bytes.
void svc_append_frame(std::string& out, const google::protobuf::MessageLite& message);
