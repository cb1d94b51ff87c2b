// cpp-httplib's server with connections a hostile local client cannot hold or
// reuse: a request's head must arrive within a deadline, an error answer ends
// its connection (so an unread body is never read as the next request), and a
// stop ends every connection within a fraction of a second.
#pragma once

#include <httplib.h>

#include <chrono>
#include <cstddef>

namespace studio {

class BoundedServer : public httplib::Server {
 public:
  // Enough workers that a few dozen slow connections leave room for the page.
  static constexpr std::size_t WORKERS = 48;
  static constexpr std::chrono::seconds HEAD_DEADLINE{10};

  BoundedServer();

 private:
  bool process_and_close_socket(socket_t sock) override;
};

}  // namespace studio
