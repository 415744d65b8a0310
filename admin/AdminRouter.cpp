#include "admin/AdminRouter.h"

namespace quorvane::admin {

void TAdminRouter::ServeOne(httplib::Stream& stream) {
  bool connection_closed = false;
  process_request(stream, /*close_connection=*/true, connection_closed, nullptr);
}

}  // namespace quorvane::admin
