#include "bounded_server.hpp"

#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <string>

namespace studio {

namespace {

namespace detail = httplib::detail;
using Clock = std::chrono::steady_clock;

#ifdef _WIN32
const int SHUT_SENDING = SD_SEND;
#else
const int SHUT_SENDING = SHUT_WR;
#endif

// Every wait is cut into slices this long, so that a stopping server ends it soon.
constexpr std::chrono::milliseconds SLICE{200};
// How long a refused client may go on sending before its connection is cut.
constexpr std::chrono::seconds LINGER{1};

std::chrono::microseconds microseconds(time_t sec, time_t usec) {
  return std::chrono::seconds(sec) + std::chrono::microseconds(usec);
}

// Waits until the socket can be read (or written), the limit passes or the
// server stops; true when it can.
bool wait(socket_t sock, const std::atomic<socket_t>& listener, bool writing, Clock::time_point limit) {
  for (;;) {
    const Clock::time_point now = Clock::now();
    if (listener == INVALID_SOCKET || now >= limit) return false;
    const auto slice =
        std::chrono::duration_cast<std::chrono::microseconds>(std::min<Clock::duration>(limit - now, SLICE));
    const ssize_t ready =
        writing ? detail::select_write(sock, 0, slice.count()) : detail::select_read(sock, 0, slice.count());
    if (ready != 0) return ready > 0;
  }
}

// What a connection has received and not yet handed to a request: the bytes
// that follow one request belong to the next.
struct Received {
  std::array<char, 16384> buffer{};
  std::size_t offset = 0, filled = 0;
  bool empty() const { return offset == filled; }
};

// One request on a connection: reads wait at most the read timeout, and while
// the head is incomplete no later than the head's deadline. It notes the
// status of the answer written, which decides whether the connection goes on.
class RequestStream final : public httplib::Stream {
 public:
  RequestStream(socket_t sock, Received& received, const std::atomic<socket_t>& listener,
                std::chrono::microseconds read_timeout, std::chrono::microseconds write_timeout)
      : sock_(sock),
        received_(received),
        listener_(listener),
        read_timeout_(read_timeout),
        write_timeout_(write_timeout),
        head_deadline_(Clock::now() + BoundedServer::HEAD_DEADLINE) {}

  bool is_readable() const override { return !received_.empty() || wait(sock_, listener_, false, read_limit()); }
  bool is_writable() const override {
    return wait(sock_, listener_, true, Clock::now() + write_timeout_) && detail::is_socket_alive(sock_);
  }

  ssize_t read(char* ptr, size_t size) override {
    Received& r = received_;
    if (r.empty()) {
      if (!wait(sock_, listener_, false, read_limit())) {
        timed_out_ = !head_read_ && Clock::now() >= head_deadline_;
        return -1;
      }
      const ssize_t got = detail::read_socket(sock_, r.buffer.data(), r.buffer.size(), CPPHTTPLIB_RECV_FLAGS);
      if (got <= 0) return got;
      r.offset = 0;
      r.filled = static_cast<std::size_t>(got);
    }
    const std::size_t count = std::min(size, r.filled - r.offset);
    std::memcpy(ptr, r.buffer.data() + r.offset, count);
    r.offset += count;
    if (!head_read_) head_bytes_ += count;
    return static_cast<ssize_t>(count);
  }

  ssize_t write(const char* ptr, size_t size) override {
    if (!is_writable()) return -1;
    note_status(ptr, size);
    return detail::send_socket(sock_, ptr, size, CPPHTTPLIB_SEND_FLAGS);
  }

  void get_remote_ip_and_port(std::string& ip, int& port) const override {
    detail::get_remote_ip_and_port(sock_, ip, port);
  }
  void get_local_ip_and_port(std::string& ip, int& port) const override {
    detail::get_local_ip_and_port(sock_, ip, port);
  }
  socket_t socket() const override { return sock_; }

  void head_read() { head_read_ = true; }
  // The final answer's status; 0 before any.
  int status() const { return status_ == 100 ? 0 : status_; }

  // httplib gives up silently on a head line longer than it reads, and on a
  // read that fails: those heads are answered here.
  void refuse_unfinished_head() {
    const char* answer = nullptr;
    if (head_bytes_ >= CPPHTTPLIB_MAX_LINE_LENGTH)
      answer = "HTTP/1.1 431 Request Header Fields Too Large\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    else if (timed_out_ && head_bytes_ > 0)
      answer = "HTTP/1.1 408 Request Timeout\r\nConnection: close\r\nContent-Length: 0\r\n\r\n";
    if (answer) write(answer, std::strlen(answer));
  }

 private:
  Clock::time_point read_limit() const {
    const Clock::time_point limit = Clock::now() + read_timeout_;
    return head_read_ ? limit : std::min(limit, head_deadline_);
  }

  // Each answer begins "HTTP/1.1 NNN" in one write; an interim 100 is followed by the final one.
  void note_status(const char* data, std::size_t size) {
    if ((status_ != 0 && status_ != 100) || size < 12 || std::memcmp(data, "HTTP/1.1 ", 9) != 0) return;
    int status = 0;
    for (int i = 9; i < 12; ++i) {
      if (data[i] < '0' || data[i] > '9') return;
      status = status * 10 + (data[i] - '0');
    }
    status_ = status;
  }

  socket_t sock_;
  Received& received_;
  const std::atomic<socket_t>& listener_;
  std::chrono::microseconds read_timeout_, write_timeout_;
  Clock::time_point head_deadline_;
  std::size_t head_bytes_ = 0;
  bool head_read_ = false, timed_out_ = false;
  int status_ = 0;
};

// Lets a refused client read its answer: closing while its bytes are still
// unread would reset the connection before the answer arrives. What it sends
// meanwhile is discarded, never parsed.
void linger(socket_t sock, const std::atomic<socket_t>& listener) {
  shutdown(sock, SHUT_SENDING);
  const Clock::time_point end = Clock::now() + LINGER;
  std::array<char, 16384> discard;
  while (listener != INVALID_SOCKET && Clock::now() < end) {
    const ssize_t ready = detail::select_read(sock, 0, std::chrono::microseconds(SLICE).count());
    if (ready < 0) return;
    if (ready > 0 && detail::read_socket(sock, discard.data(), discard.size(), 0) <= 0) return;
  }
}

}  // namespace

BoundedServer::BoundedServer() {
  new_task_queue = [] { return new httplib::ThreadPool(WORKERS); };
  // The client hears that the connection ends with an error answer.
  set_post_routing_handler([](const httplib::Request&, httplib::Response& res) {
    if (res.status < 400) return;
    res.headers.erase("Keep-Alive");
    if (!res.has_header("Connection")) res.set_header("Connection", "close");
  });
}

bool BoundedServer::process_and_close_socket(socket_t sock) {
  std::string remote_addr, local_addr;
  int remote_port = 0, local_port = 0;
  detail::get_remote_ip_and_port(sock, remote_addr, remote_port);
  detail::get_local_ip_and_port(sock, local_addr, local_port);
  Received received;
  bool ok = false, refused = false;
  // A kept-alive connection waits for its next request at most the keep-alive timeout.
  for (std::size_t count = keep_alive_max_count_; count > 0 && !refused; --count) {
    if (received.empty() && !wait(sock, svr_sock_, false, Clock::now() + std::chrono::seconds(keep_alive_timeout_sec_)))
      break;
    RequestStream request(sock, received, svr_sock_, microseconds(read_timeout_sec_, read_timeout_usec_),
                          microseconds(write_timeout_sec_, write_timeout_usec_));
    bool connection_closed = false;
    ok = process_request(request, remote_addr, remote_port, local_addr, local_port, count == 1, connection_closed,
                         [&request](httplib::Request&) { request.head_read(); });
    if (!ok && request.status() == 0) request.refuse_unfinished_head();
    refused = request.status() >= 400;
    if (!ok || connection_closed) break;
  }
  if (refused) linger(sock, svr_sock_);
  detail::shutdown_socket(sock);
  detail::close_socket(sock);
  return ok;
}

}  // namespace studio
