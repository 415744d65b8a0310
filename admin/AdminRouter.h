#pragma once

#include <httplib.h>

namespace quorvane::admin {

// The endpoint's routes on cpp-httplib's parser and router. Handlers are
// registered before the first ServeOne() and not changed afterwards; then
// any number of threads may serve at once.
class TAdminRouter final : public httplib::Server {
 public:
  // Reads one request from |stream|, handles it and writes the answer with
  // "Connection: close". The caller closes the connection afterwards.
  void ServeOne(httplib::Stream& stream);
};

}  // namespace quorvane::admin
