// Socket servers and redirectors.
//
// DESIGN. Every server is a TThread that owns one socket and serves it from
// its own thread: TTCPServer accepts, TUDPServer receives datagrams. The
// redirectors build on them: TTCPRedirector accepts and hands every
// connection to the relay engine (TRelayEngine), a fixed set of event-loop
// threads (TRelayLoop) on which each connection is a TTCPRelay state
// machine; TUDPRedirector serves all its peers from its one thread, with one
// session socket per peer.
//
// Every wait is a poll() or epoll_wait() that also watches the thread's wake
// descriptor, so Terminate() ends any wait at once and an idle server uses no
// CPU; the loops' time-outs are timers of the loop.
//
// Ownership: whoever constructs a server owns it and stops it with
// Terminate(), WaitFor(), delete (the redirectors' destructors do the first
// two themselves). A relay belongs to the loop that runs it, owns its two
// sockets and may outlive its redirector; TRelayEngine::Stop() ends every
// relay. The engine outlives every redirector that uses it.
#pragma once

#include "servers/AddressHelpers.h"
#include "servers/RelayEngine.h"
#include "servers/TCPRedirector.h"
#include "servers/TCPServer.h"
#include "servers/UDPRedirector.h"
#include "servers/UDPServer.h"
