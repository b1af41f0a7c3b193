// The data commands of a clamd client: INSTREAM, FILDES and STREAM, all
// scanned through the daemon's one Courier connection.
#include <algorithm>
#include <string>

#include <boost/asio/error.hpp>

#include "clamd_fdstream.h"
#include "clamd_log.h"
#include "clamd_peer.h"
#include "clamd_stream.h"
#include "courier_connection.h"
#include "exception_mapping.h"
#include "inventory.h"
#include "proto_error_category.h"

#define PEER_DEBUG(s) CL_OBJECT_DEBUG("peer", s)

namespace {

// A chunk is read in pieces of at most this size. A piece's credit is held
// until all of it has arrived, so a client that announces a large chunk and
// sends slowly (or not at all) holds this much of the window every client
// shares, not the whole of it. Data a job no longer wants is read off in
// pieces of the same size.
constexpr std::uint32_t max_piece = 65536;

std::uint32_t big_endian_u32(boost::asio::const_buffer bytes) {
  const auto* p = static_cast<const unsigned char*>(bytes.data());
  return std::uint32_t(p[0]) << 24 | std::uint32_t(p[1]) << 16 | std::uint32_t(p[2]) << 8 | std::uint32_t(p[3]);
}

}  // namespace

cl_courier_connection_t& cl_clamd_peer_t::courier() {
  if (data_) return *data_->courier;
  data_ = std::make_unique<data_part_t>();
  data_->courier = &inventory_.courier();
  std::weak_ptr<cl_clamd_peer_t> weak = shared_from_this();
  data_->courier_failure_subscription =
      data_->courier->failure_signal.connect([weak](const boost::system::error_code& ec) {
        if (auto peer = weak.lock()) peer->on_courier_failure(ec);
      });
  data_->courier_idle_subscription = data_->courier->idle_signal.connect([weak] {
    if (auto peer = weak.lock()) peer->check_idle();
  });
  return *data_->courier;
}

cr::ScanOptions cl_clamd_peer_t::scan_options() const {
  return cl_courier_connection_t::make_scan_options(inventory_, endpoint_tag());
}

void cl_clamd_peer_t::reply_courier_error(const std::exception& e) {
  write_reply(std::string("scan: ERROR Courier ") + e.what());
}

bool cl_clamd_peer_t::open_stream_job(std::uint32_t& job) {
  auto holder = shared_from_this();
  const std::uint32_t request_id = request_id_;
  const terminator_t terminator = terminator_;
  try {
    job = courier().init_job([holder, request_id, terminator](std::uint32_t id, const vx::ScanReport& report) {
      holder->on_stream_report(id, request_id, terminator, report);
    });
  } catch (const std::exception& e) {
    reply_courier_error(e);
    return false;
  }
  data_->jobs.insert(job);
  return true;
}

void cl_clamd_peer_t::drop_job(std::uint32_t job) {
  // Ours first: resetting may announce Courier idle, and has_jobs must not
  // count the job any more by then.
  data_->jobs.erase(job);
  data_->courier->reset_job(job);
}

cl_clamd_state_t cl_clamd_peer_t::on_instream() {
  if (has_arguments_ || !prefixed()) return reject();
  instream_ctx_t ctx{request_id_, 0, terminator_};
  if (!open_stream_job(ctx.job)) return check_idle();
  data_->instream_received = 0;
  data_->instream_active = true;
  data_->instream_done = false;
  data_->instream_job = ctx.job;
  return read_instream_size(ctx);
}

cl_clamd_state_t cl_clamd_peer_t::read_instream_size(const instream_ctx_t& ctx) {
  return cl_clamd_state_t::read_block(4, [this, ctx](boost::asio::const_buffer size) {
    return on_instream_size(size, ctx);
  });
}

cl_clamd_state_t cl_clamd_peer_t::on_instream_size(boost::asio::const_buffer size, const instream_ctx_t& ctx) {
  const std::uint32_t length = big_endian_u32(size);
  data_->instream_received += length;
  if (data_->instream_received > endpoint_->stream_max_length) return refuse_instream(ctx);
  PEER_DEBUG("instream data size received: " << length);
  if (length == 0) return end_instream(ctx);
  data_->chunk_remaining = length;
  data_->window_granted = 0;
  return request_window(ctx);
}

cl_clamd_state_t cl_clamd_peer_t::refuse_instream(const instream_ctx_t& ctx) {
  PEER_DEBUG("Stream size limit exceeded");
  write_reply(ctx.request_id, "INSTREAM size limit exceeded. ERROR", ctx.terminator);
  // Courier would otherwise keep the unfinished job for good.
  if (!data_->instream_done) drop_job(ctx.job);
  data_->instream_active = false;
  return check_idle();
}

cl_clamd_state_t cl_clamd_peer_t::end_instream(const instream_ctx_t& ctx) {
  data_->instream_active = false;
  if (!data_->instream_done) {
    if (data_->instream_received == 0) data_->courier->send_data(ctx.job, nullptr, 0);
    data_->courier->scan_request(ctx.job, scan_options());
  }
  return finish_command();
}

cl_clamd_state_t cl_clamd_peer_t::request_window(const instream_ctx_t& ctx) {
  // Data the result no longer needs goes nowhere, so it takes no credit.
  if (data_->instream_done) return read_instream_data(ctx);
  data_->window_granted = data_->courier->acquire(std::min(data_->chunk_remaining, max_piece));
  if (data_->window_granted != 0) return read_instream_data(ctx);
  data_->window_subscription = data_->courier->window_signal.connect([this, ctx] { on_window(ctx); });
  data_->keep_alive = shared_from_this();
  return cl_clamd_state_t::make(cl_clamd_state_t::suspended);
}

void cl_clamd_peer_t::on_window(const instream_ctx_t& ctx) {
  data_->window_granted = data_->courier->acquire(std::min(data_->chunk_remaining, max_piece));
  // Other readers took the window first: keep waiting.
  if (data_->window_granted == 0) return;
  data_->window_subscription.disconnect();
  auto holder = std::move(data_->keep_alive);
  resume(read_instream_data(ctx));
}

cl_clamd_state_t cl_clamd_peer_t::read_instream_data(const instream_ctx_t& ctx) {
  const std::uint32_t piece =
      data_->instream_done ? std::min(data_->chunk_remaining, max_piece) : data_->window_granted;
  return cl_clamd_state_t::read_block(piece, [this, ctx](boost::asio::const_buffer data) {
    return on_instream_data(data, ctx);
  });
}

cl_clamd_state_t cl_clamd_peer_t::on_instream_data(boost::asio::const_buffer data, const instream_ctx_t& ctx) {
  PEER_DEBUG("instream data received, size: " << data.size());
  // The grant returns before the data is charged, as every reader does.
  if (data_->window_granted != 0) data_->courier->release(static_cast<std::int32_t>(data_->window_granted));
  data_->window_granted = 0;
  data_->chunk_remaining -= static_cast<std::uint32_t>(data.size());
  if (!data_->instream_done) data_->courier->send_data(ctx.job, data.data(), data.size());
  if (data_->chunk_remaining == 0) return read_instream_size(ctx);
  return request_window(ctx);
}

std::string cl_clamd_peer_t::data_result_line(const vx::ScanReport& report, const std::string& name) {
  const auto lines = report_lines(report, name, false);
  return name + (lines.empty() ? std::string("OK") : lines.front().text);
}

void cl_clamd_peer_t::on_stream_report(std::uint32_t job, std::uint32_t request_id, terminator_t terminator,
                                       const vx::ScanReport& report) {
  data_->jobs.erase(job);
  write_reply(request_id, data_result_line(report, "stream: "), terminator);
  // Only the INSTREAM being received stops forwarding; an earlier one of a
  // session may report while a later one is under way.
  if (data_->instream_active && job == data_->instream_job) data_->instream_done = true;
  if (job == data_->stream_job)
    if (auto port = data_->stream_port.lock()) port->stop();
}

cl_clamd_state_t cl_clamd_peer_t::on_fildes() {
  if (has_arguments_) return reject();
  return cl_clamd_state_t::read_block(1, [this](boost::asio::const_buffer) { return on_fildes_byte(); });
}

cl_clamd_state_t cl_clamd_peer_t::on_fildes_byte() {
  const int fd = take_received_fd();
  if (fd < 0) {
    write_reply("No file descriptor received. ERROR");
    return check_idle();
  }
  const std::string name = "fd[" + std::to_string(fd) + "]: ";
  auto reader = cl_clamd_fdstream_t::create(inventory_, courier().next_job_id(), fd, courier());
  auto holder = shared_from_this();
  const std::uint32_t request_id = request_id_;
  const terminator_t terminator = terminator_;
  try {
    reader->start([holder, request_id, fd, terminator](std::uint32_t job, const boost::system::error_code& ec,
                                                        boost::asio::const_buffer data) {
      holder->on_fd_data(job, request_id, fd, terminator, ec, data);
    });
  } catch (const std::exception& e) {
    PEER_DEBUG("error to handle fdstream: " << exception_text(e));
    write_reply(name + exception_text(e) + " ERROR");
    return finish_command();
  }
  std::uint32_t job;
  try {
    job = data_->courier->init_job(
        [holder, request_id, fd, terminator](std::uint32_t id, const vx::ScanReport& report) {
          holder->on_fd_report(id, request_id, fd, terminator, report);
        });
  } catch (const std::exception& e) {
    // The reader's first step is already on its way; it must find nothing.
    reader->stop();
    reply_courier_error(e);
    return check_idle();
  }
  data_->jobs.insert(job);
  data_->fd_readers[job] = reader;
  return finish_command();
}

void cl_clamd_peer_t::on_fd_data(std::uint32_t job, std::uint32_t request_id, int fd, terminator_t terminator,
                                 const boost::system::error_code& ec, boost::asio::const_buffer data) {
  if (!ec) return data_->courier->send_data(job, data.data(), data.size());
  data_->fd_readers.erase(job);
  if (ec == boost::asio::error::eof) {
    data_->courier->send_data(job, data.data(), data.size());
    data_->courier->scan_request(job, scan_options());
    return;
  }
  PEER_DEBUG("error on fd " << fd << ": " << ec.message());
  write_reply(request_id, "fd[" + std::to_string(fd) + "]: " + ec.message() + " ERROR", terminator);
  drop_job(job);
}

void cl_clamd_peer_t::on_fd_report(std::uint32_t job, std::uint32_t request_id, int fd, terminator_t terminator,
                                   const vx::ScanReport& report) {
  data_->jobs.erase(job);
  const std::string name = "fd[" + std::to_string(fd) + "]: ";
  write_reply(request_id, data_result_line(report, name), terminator);
  // A report before the end of the file: the rest is not needed, and the
  // connection may end as it would after any reply.
  const auto reader = data_->fd_readers.find(job);
  if (reader == data_->fd_readers.end()) return;
  if (auto alive = reader->second.lock()) alive->stop();
  data_->fd_readers.erase(reader);
}

cl_clamd_state_t cl_clamd_peer_t::on_stream() {
  if (has_arguments_ || in_session_) return reject();
  std::uint32_t job;
  if (!open_stream_job(job)) return check_idle();
  data_->stream_job = job;
  try {
    auto port = cl_clamd_stream_t::create(inventory_, endpoint_tag(), *data_->courier);
    data_->stream_port = port;
    auto holder = shared_from_this();
    const std::uint16_t number =
        port->listen(cl_clamd_stream_t::address_for(socket_descriptor()),
                     [holder, job](const boost::system::error_code& ec, boost::asio::const_buffer data) {
                       holder->on_stream_data(job, ec, data);
                     });
    write_reply("PORT " + std::to_string(number));
  } catch (const std::exception& e) {
    drop_job(job);
    reply_courier_error(e);
    return check_idle();
  }
  return cl_clamd_state_t::make(cl_clamd_state_t::pending);
}

void cl_clamd_peer_t::on_stream_data(std::uint32_t job, const boost::system::error_code& ec,
                                     boost::asio::const_buffer data) {
  if (!ec) return data_->courier->send_data(job, data.data(), data.size());
  if (ec == boost::asio::error::eof) {
    data_->courier->send_data(job, data.data(), data.size());
    data_->courier->scan_request(job, scan_options());
    return;
  }
  PEER_DEBUG("error on stream: " << ec.message());
  // Past the endpoint's limit the client hears it as INSTREAM's would.
  write_reply(ec == vx::make_error_code(vx::EC_LIMIT_REACHED) ? "stream: Size limit exceeded. ERROR"
                                                               : "stream: ERROR " + ec.message());
  drop_job(job);
}

bool cl_clamd_peer_t::has_courier_work() const {
  if (!data_) return false;
  return !data_->jobs.empty() || !data_->fd_readers.empty() || !data_->stream_port.expired() || data_->instream_active;
}

void cl_clamd_peer_t::on_courier_failure(const boost::system::error_code& ec) {
  // Clients with nothing at Courier lose nothing: they stay.
  if (!has_courier_work()) return;
  CF_INFO("Error with Courier: " << ec.message());
  stop();
}

void cl_clamd_peer_t::stop_courier_work() {
  if (!data_) return;
  // Resetting our jobs below announces Courier idle; we are past caring.
  data_->courier_idle_subscription.disconnect();
  for (auto& reader : data_->fd_readers)
    if (auto alive = reader.second.lock()) alive->stop();
  data_->fd_readers.clear();
  data_->window_subscription.disconnect();
  if (data_->window_granted != 0) data_->courier->release(static_cast<std::int32_t>(data_->window_granted));
  data_->window_granted = 0;
  for (const std::uint32_t job : data_->jobs) {
    PEER_DEBUG("Stopping courier job in progress: " << job);
    data_->courier->reset_job(job);
  }
  data_->jobs.clear();
  if (auto port = data_->stream_port.lock()) port->stop();
  data_->instream_active = false;
}
