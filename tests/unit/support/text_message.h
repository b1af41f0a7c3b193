#pragma once

// A protobuf message written in text form, for tests that state messages
// the way a reader thinks of them. Throws on text that does not parse.
#include <stdexcept>
#include <string>

#include <google/protobuf/text_format.h>

template <class Message>
Message parse_text(const std::string& text) {
  Message message;
  if (!google::protobuf::TextFormat::ParseFromString(text, &message)) throw std::invalid_argument(text);
  return message;
}
