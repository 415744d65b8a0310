// The HTTP side of the admin endpoint, private to admin/: one connection
// as cpp-httplib's Stream, and the router that parses one request from it,
// dispatches it to a handler and writes the answer.
//
// Why not the library's own server loop: in the version Debian ships
// (0.11.4) it polls every 10 ms while a connection waits for its next
// request, reads a header line of any length into memory, and its accepted
// sockets stay out of the server's descriptor budget. So the connections
// are ours (TAdminServer accepts them and reads their requests, bounded, on
// its loop) and the library parses, routes and answers, through
// Server::process_request: a protected member whose signature is that of
// 0.11.x (later versions pass the peer's address in as well), so a new
// library version may need a change here.
#pragma once

#include <cstdint>

#include "admin/AdminRouter.h"
#include "admin/AdminStream.h"
