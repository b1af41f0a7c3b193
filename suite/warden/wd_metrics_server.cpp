#include "wd_metrics_server.h"

#include <optional>

#include <boost/asio/error.hpp>
#include <boost/beast/core.hpp>
#include <boost/beast/http.hpp>
#include <boost/system/system_error.hpp>

#include "log.h"

namespace beast = boost::beast;
namespace http = boost::beast::http;
using boost::asio::ip::tcp;

namespace {

using request_t = http::request<http::empty_body>;
using response_t = http::response<http::string_body>;

const char content_type[] = "text/plain; version=0.0.4; charset=utf-8";

response_t reply(http::status status, unsigned version, bool keep_alive, std::string body,
                 const char* type = "text/plain; charset=utf-8") {
  response_t res{status, version};
  res.set(http::field::server, "vemra-warden");
  res.set(http::field::content_type, type);
  res.keep_alive(keep_alive);
  res.body() = std::move(body);
  res.prepare_payload();
  return res;
}

// The one resource, and nothing that changes anything.
response_t answer(const request_t& req, const wd_metrics_server_t::render_t& render) {
  const bool head = req.method() == http::verb::head;
  if (req.method() != http::verb::get && !head) {
    response_t res = reply(http::status::method_not_allowed, req.version(), req.keep_alive(), "Use GET.\n");
    res.set(http::field::allow, "GET, HEAD");
    return res;
  }
  if (req.target() != "/metrics")
    return reply(http::status::not_found, req.version(), req.keep_alive(), "Try /metrics.\n");
  response_t res = reply(http::status::ok, req.version(), req.keep_alive(), render(), content_type);
  if (head) {
    // The length stays that of the body a GET would get.
    res.body().clear();
  }
  return res;
}

bool is_parse_error(const boost::system::error_code& ec) {
  return ec.category() == http::make_error_code(http::error::bad_method).category() &&
         ec != http::error::end_of_stream;
}

// One scraper's connection: requests read under a deadline and answered
// in turn until it closes, errs or goes quiet.
class metrics_session_t : public std::enable_shared_from_this<metrics_session_t> {
public:
  metrics_session_t(tcp::socket socket, wd_metrics_server_t::render_t render, std::shared_ptr<std::size_t> live)
      : stream_(std::move(socket)), render_(std::move(render)), live_(std::move(live)) {
    ++*live_;
  }
  ~metrics_session_t() { --*live_; }
  metrics_session_t(const metrics_session_t&) = delete;
  metrics_session_t& operator=(const metrics_session_t&) = delete;

  void start() { do_read(); }

private:
  void do_read() {
    parser_.emplace();
    parser_->header_limit(wd_metrics_server_t::max_request);
    parser_->body_limit(0);
    stream_.expires_after(wd_metrics_server_t::read_timeout);
    http::async_read(stream_, buffer_, *parser_,
                     [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_read(ec); });
  }

  void on_read(const beast::error_code& ec) {
    if (ec == boost::asio::error::operation_aborted) return;
    if (ec == http::error::end_of_stream || ec == beast::error::timeout) return close();
    if (is_parse_error(ec)) {
      CF_DEBUG("Warden: metrics: malformed request from " << peer() << ": " << ec.message());
      response_ = reply(http::status::bad_request, 11, false, "Malformed request.\n");
      return do_write();
    }
    if (ec) {
      CF_DEBUG("Warden: metrics: read from " << peer() << ": " << ec.message());
      return close();
    }
    response_ = answer(parser_->get(), render_);
    do_write();
  }

  void do_write() {
    stream_.expires_after(wd_metrics_server_t::read_timeout);
    http::async_write(stream_, response_,
                      [self = shared_from_this()](beast::error_code ec, std::size_t) { self->on_write(ec); });
  }

  void on_write(const beast::error_code& ec) {
    if (ec == boost::asio::error::operation_aborted) return;
    if (ec) {
      CF_DEBUG("Warden: metrics: write to " << peer() << ": " << ec.message());
      return close();
    }
    if (!response_.keep_alive()) return close();
    do_read();
  }

  void close() {
    beast::error_code ignored;
    stream_.socket().shutdown(tcp::socket::shutdown_send, ignored);
    stream_.close();
  }

  std::string peer() const {
    beast::error_code ec;
    const auto at = stream_.socket().remote_endpoint(ec);
    return ec ? std::string("a closed connection") : at.address().to_string() + ":" + std::to_string(at.port());
  }

  beast::tcp_stream stream_;
  beast::flat_buffer buffer_{wd_metrics_server_t::max_request};
  std::optional<http::request_parser<http::empty_body>> parser_;
  response_t response_;
  wd_metrics_server_t::render_t render_;
  std::shared_ptr<std::size_t> live_;
};

}  // namespace

wd_metrics_server_t::wd_metrics_server_t(boost::asio::io_context& io, render_t render)
    : acceptor_(io), retry_timer_(io), render_(std::move(render)), live_(std::make_shared<std::size_t>(0)) {}

void wd_metrics_server_t::start(const tcp::endpoint& at) {
  acceptor_.open(at.protocol());
  acceptor_.set_option(tcp::acceptor::reuse_address(true));
  acceptor_.bind(at);
  acceptor_.listen();
  do_accept();
}

void wd_metrics_server_t::close() {
  boost::system::error_code ignored;
  acceptor_.close(ignored);
  retry_timer_.cancel();
}

void wd_metrics_server_t::do_accept() {
  acceptor_.async_accept([self = shared_from_this()](const boost::system::error_code& ec, tcp::socket socket) {
    self->on_accept(ec, std::move(socket));
  });
}

void wd_metrics_server_t::on_accept(const boost::system::error_code& ec, tcp::socket socket) {
  if (ec == boost::asio::error::operation_aborted || !acceptor_.is_open()) return;
  if (ec) {
    // Out of descriptors, say: accepting again at once would only spin.
    CF_WARNING("Warden: metrics: accept: " << ec.message() << "; trying again in a second");
    retry_timer_.expires_after(std::chrono::seconds(1));
    retry_timer_.async_wait([self = shared_from_this()](const boost::system::error_code& wait_ec) {
      if (!wait_ec && self->acceptor_.is_open()) self->do_accept();
    });
    return;
  }
  if (*live_ >= max_connections) {
    // A scraper gets its answer in milliseconds; this many at once is a
    // fault or an abuse, and waiting would tie up Warden's descriptors.
    CF_DEBUG("Warden: metrics: " << *live_ << " connections already; one refused");
  } else {
    std::make_shared<metrics_session_t>(std::move(socket), render_, live_)->start();
  }
  do_accept();
}
