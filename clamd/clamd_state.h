#pragma once

#include <cstdint>
#include <functional>

#include <boost/asio/buffer.hpp>
#include <boost/optional.hpp>

// What a clamd command handler tells the connection to do next.
struct cl_clamd_state_t {
  enum kind_t : std::uint32_t {
    next_command = 0,  // the command is complete: read the next one
    arguments = 1,     // read the command's argument text, pass it to handler
    block = 2,         // read exactly count bytes, pass them to handler
    suspended = 3,     // read nothing; something else resumes the connection
    pending = 4,       // read nothing more; stop once idle
  };
  typedef std::function<cl_clamd_state_t(boost::asio::const_buffer)> handler_t;

  kind_t kind = next_command;
  boost::optional<std::uint32_t> count;
  handler_t handler;

  static cl_clamd_state_t make(kind_t kind) {
    cl_clamd_state_t s;
    s.kind = kind;
    return s;
  }
  static cl_clamd_state_t read_arguments(handler_t handler) {
    cl_clamd_state_t s = make(arguments);
    s.handler = std::move(handler);
    return s;
  }
  static cl_clamd_state_t read_block(std::uint32_t count, handler_t handler) {
    cl_clamd_state_t s = make(block);
    s.count = count;
    s.handler = std::move(handler);
    return s;
  }
};
