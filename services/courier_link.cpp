#include "courier_link.h"

std::shared_ptr<cl_courier_link_t> cl_courier_link_t::create(delegate_t* delegate, std::shared_ptr<socket_t> socket) {
  std::shared_ptr<cl_courier_link_t> link(new cl_courier_link_t(delegate));
  link->adopt(std::move(socket));
  return link;
}

void cl_courier_link_t::detach() {
  delegate_ = nullptr;
  // Dropping the owner's pointer is not enough: the outstanding read keeps
  // the link alive and would still complete. Closed, it completes aborted.
  close_socket();
}

void cl_courier_link_t::on_message(google::protobuf::io::ZeroCopyInputStream& body) {
  if (delegate_) delegate_->on_message(body);
}

void cl_courier_link_t::on_error(const boost::system::error_code& ec) {
  // A transport failure ends the link for good: nothing more is read.
  close_socket();
  if (auto* delegate = delegate_) {
    delegate_ = nullptr;
    delegate->on_error(ec);
  }
}
