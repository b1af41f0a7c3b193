#include "clamd_endpoint.h"

#include "clamd_connection.h"
#include "clamd_deadlines.h"
#include "config.h"
#include "inventory.h"

std::shared_ptr<cl_clamd_endpoint_t> cl_clamd_endpoint_t::create(cl_inventory_t& inventory, const std::string& tag) {
  return std::make_shared<cl_clamd_endpoint_t>(inventory, tag);
}

cl_clamd_endpoint_t::cl_clamd_endpoint_t(cl_inventory_t& inventory, const std::string& tag)
    : tag(tag),
      read_timeout_ms(inventory.config().read_timeout(tag)),
      stream_max_length(inventory.config().stream_max_length(tag)),
      deadlines(std::make_shared<cl_clamd_deadlines_t>(inventory.io_context(), read_timeout_ms,
                                                       &cl_clamd_connection_t::on_read_deadline)) {}

bool cl_clamd_endpoint_t::same_as(const cl_clamd_endpoint_t& other) const {
  return tag == other.tag && read_timeout_ms == other.read_timeout_ms && stream_max_length == other.stream_max_length;
}
