// Socket servers and redirectors.
//
// DESIGN. Every server is a TThread that owns one socket and serves it from
// its own thread: TTCPServer accepts, TUDPServer receives datagrams. The
// redirectors build on them: TTCPRedirector starts one relay thread per
// accepted connection and keeps it in a thread group that frees finished
// relays; TUDPRedirector serves all its peers from its one thread, with one
// session socket per peer.
//
// Every wait is a poll() that also watches the thread's wake descriptor, so
// Terminate() ends any wait at once and an idle server uses no CPU.
//
// Ownership: whoever constructs a server owns it and stops it with
// Terminate(), WaitFor(), delete (the redirectors' destructors do the first
// two themselves). A relay owns its two sockets and may outlive its
// redirector; such relays pass to a process-wide group that
// StopOrphanRelays() ends at exit.
#pragma once

#include "servers/AddressHelpers.h"
#include "servers/TCPRedirector.h"
#include "servers/TCPServer.h"
#include "servers/UDPRedirector.h"
#include "servers/UDPServer.h"
