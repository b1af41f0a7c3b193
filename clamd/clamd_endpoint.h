#pragma once

#include <cstdint>
#include <memory>
#include <string>

class cl_inventory_t;
class cl_clamd_deadlines_t;

// What the clients of one listening endpoint share: its tag and the
// settings a client keeps from its accept to its end, and the one timer
// that bounds how long each may keep us waiting. Resolved once per
// endpoint and configuration rather than looked up by tag for every client.
class cl_clamd_endpoint_t {
public:
  // The endpoint with this tag as the configuration gives it now.
  static std::shared_ptr<cl_clamd_endpoint_t> create(cl_inventory_t& inventory, const std::string& tag);
  cl_clamd_endpoint_t(cl_inventory_t& inventory, const std::string& tag);
  cl_clamd_endpoint_t(const cl_clamd_endpoint_t&) = delete;
  cl_clamd_endpoint_t& operator=(const cl_clamd_endpoint_t&) = delete;

  // Same tag and settings: a new configuration left this endpoint as it was.
  bool same_as(const cl_clamd_endpoint_t& other) const;

  const std::string tag;
  // How long a client may keep us waiting for what it owes.
  const std::uint32_t read_timeout_ms;
  // The most a client may send in one data scan.
  const std::uint32_t stream_max_length;
  // The read deadlines of the clients, read_timeout_ms each.
  const std::shared_ptr<cl_clamd_deadlines_t> deadlines;
};
