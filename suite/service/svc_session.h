#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <utility>

#include <boost/asio/local/stream_protocol.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/thread_pool.hpp>
#include <boost/system/error_code.hpp>
#include <google/protobuf/message_lite.h>

#include "svc_frame.h"

// The I/O of one client's session with a service of the suite: reads the
// client's frames and hands each body to the derived class, writes the
// frames it sends (those queued while a write is in flight leave together
// in the next), and sorts the errors of both directions.
//
// Requests taken whose answers have not left yet are outstanding. While
// the derived class says it holds enough (saturated), no further frame is
// taken, and nothing more is read, so a client cannot grow memory by
// sending faster than it is served or by not reading its answers. A client
// that ends its side of the connection is served until every outstanding
// answer has left. A protocol fault ends this session only.
class svc_session_t : public std::enable_shared_from_this<svc_session_t> {
public:
  typedef boost::asio::local::stream_protocol::socket socket_t;

  // service: the display name that log lines begin with ("Sieve").
  svc_session_t(socket_t socket, std::string service);
  virtual ~svc_session_t();
  svc_session_t(const svc_session_t&) = delete;
  svc_session_t& operator=(const svc_session_t&) = delete;

  // Starts reading the client's frames.
  void start();
  // Closes the socket; work handed to a pool and not yet begun is skipped,
  // and answers still to come are dropped. Safe to call twice.
  void close();

protected:
  // One frame body from the client, at most max_frame() bytes long.
  virtual void on_frame(const unsigned char* body, std::size_t size) = 0;
  // True while no further frame may be taken.
  virtual bool saturated() const = 0;
  // The longest frame body taken now; a header announcing more ends the
  // session before anything is allocated for the body.
  virtual std::uint32_t max_frame() const { return svc_max_message_size; }
  // Called whenever the output could leave: a last chance to queue what is
  // due without being an answer (flow-control credit, say).
  virtual void before_write() {}

  // A request was taken whose answer is to come, through send(..., true)
  // or drop_answer().
  void expect_answer() { ++outstanding_; }
  // Queues one frame and writes it; answer: it is the answer of an
  // outstanding request. The caller has checked that the message fits in
  // one frame.
  void send(const google::protobuf::MessageLite& message, bool answer);
  // Queues one frame without starting a write (from before_write).
  void queue(const google::protobuf::MessageLite& message, bool answer);
  // Starts a write unless one is in flight.
  void flush() { do_write(); }
  // An outstanding request will not be answered after all.
  void drop_answer();
  // Ends the session for a fault of the client's, logged at Warning.
  void fail(const std::string& why);
  // A line for the debug log, prefixed with the session's description.
  void debug(const std::string& note) const;

  bool closed() const { return closed_; }
  // Requests taken whose answers have not left yet.
  std::size_t outstanding() const { return outstanding_; }
  // Bytes queued for the client and not yet written.
  std::size_t unsent_bytes() const { return pending_.size() + in_flight_.size(); }
  // The session's own event loop.
  socket_t::executor_type executor() { return socket_.get_executor(); }

  // Runs work on the pool and hands its result to done on the session's
  // event loop. The pending work keeps the session alive; the pool thread
  // only carries the pointer back, so the session is always released on
  // the event loop. Work not yet begun when the session closes is skipped,
  // and done is not called then.
  template <class Result>
  void offload(boost::asio::thread_pool& pool, std::function<Result()> work, std::function<void(Result&&)> done);

private:
  void do_read();
  void on_read(const boost::system::error_code& ec, std::size_t n);
  void take_frames();
  void make_room();
  void do_write();
  void on_write(const boost::system::error_code& ec);
  void after_answers();
  bool failed(const boost::system::error_code& ec, const char* operation);

  socket_t socket_;
  const std::string service_;
  // Read by work queued on a pool: set once the session is closed, so that
  // the work is skipped.
  std::shared_ptr<std::atomic<bool>> cancelled_;
  // Received bytes; [head_, tail_) are not taken yet.
  std::unique_ptr<unsigned char[]> input_;
  std::size_t capacity_ = 0;
  std::size_t head_ = 0;
  std::size_t tail_ = 0;
  // Bytes the frame at head_ needs in all, once its header is known.
  std::size_t wanted_ = svc_frame_header_size;
  bool reading_ = false;
  // Inside take_frames: answers leaving meanwhile must not take frames.
  bool taking_ = false;
  // The client will send nothing more; close once every answer is out.
  bool input_ended_ = false;
  bool closed_ = false;
  std::size_t outstanding_ = 0;
  std::string pending_;
  std::string in_flight_;
  std::size_t pending_answers_ = 0;
  std::size_t in_flight_answers_ = 0;
};

template <class Result>
void svc_session_t::offload(boost::asio::thread_pool& pool, std::function<Result()> work,
                            std::function<void(Result&&)> done) {
  boost::asio::post(pool, [self = shared_from_this(), loop = executor(), cancelled = cancelled_,
                           work = std::move(work), done = std::move(done)]() mutable {
    if (*cancelled) {
      // Released on the loop like any other completion.
      boost::asio::post(loop, [self = std::move(self)] {});
      return;
    }
    Result result = work();
    boost::asio::post(loop, [self = std::move(self), done = std::move(done), result = std::move(result)]() mutable {
      if (!self->closed()) done(std::move(result));
    });
  });
}
