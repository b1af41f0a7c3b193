#include "svc_frame.h"

svc_frame_t svc_cut_frame(const unsigned char* data, std::size_t size, std::uint32_t max_body) {
  svc_frame_t frame;
  if (size < svc_frame_header_size) return frame;
  frame.body_size = static_cast<std::uint32_t>(data[0]) | static_cast<std::uint32_t>(data[1]) << 8 |
                    static_cast<std::uint32_t>(data[2]) << 16 | static_cast<std::uint32_t>(data[3]) << 24;
  if (frame.body_size == 0 || frame.body_size > max_body) {
    frame.status = svc_frame_t::bad_size;
    return frame;
  }
  frame.needed = svc_frame_header_size + frame.body_size;
  frame.status = size >= frame.needed ? svc_frame_t::complete : svc_frame_t::incomplete;
  return frame;
}

std::string svc_parse_body(const unsigned char* body, std::size_t size, google::protobuf::MessageLite& message) {
  if (size > svc_max_message_size || !message.ParsePartialFromArray(body, static_cast<int>(size)))
    return "a message that does not parse";
  if (!message.IsInitialized()) return "a message without " + message.InitializationErrorString();
  return std::string();
}

void svc_append_frame(std::string& out, const google::protobuf::MessageLite& message) {
  const auto size = static_cast<std::uint32_t>(message.ByteSizeLong());
  const std::size_t at = out.size();
  out.resize(at + svc_frame_header_size + size);
  auto* p = reinterpret_cast<unsigned char*>(&out[at]);
  p[0] = static_cast<unsigned char>(size);
  p[1] = static_cast<unsigned char>(size >> 8);
  p[2] = static_cast<unsigned char>(size >> 16);
  p[3] = static_cast<unsigned char>(size >> 24);
  // Straight into the queue, with the sizes just computed.
  message.SerializeWithCachedSizesToArray(p + svc_frame_header_size);
}
