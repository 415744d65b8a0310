// Socket servers and redirectors.
//
// DESIGN. Nothing here has a thread of its own. TRelayEngine owns the
// server's event-loop threads (TRelayLoop, one per CPU); everything in this
// folder is a client of one loop for its whole life. TTCPServer is a
// listening socket the loop accepts from without blocking; TTCPRedirector
// builds on it and turns every accepted connection into a TTCPRelay on the
// same loop, so a player is accepted, connected and relayed without a
// hand-off between threads. TUDPRedirector (on TUDPServer) watches its
// listening socket and one socket per peer session on its loop, with the
// session expiry as a timer of that loop and the receive slots shared by
// the loop's redirectors.
//
// Idle costs nothing: a loop sleeps in epoll_wait until a socket is ready or
// its nearest timer is due. A game host's redirectors cost their sockets
// only (one listening socket each, plus a socket per UDP peer and two per
// relayed TCP connection).
//
// Players (Players.h): each TCP relay and UDP session is one, listed by its
// redirector on the loop (an operator's read asks the loop, so no relay
// waits on a lock for it), and held to per-address and per-redirector caps
// by token buckets that are the loop's own.
//
// Ownership: a redirector is built on any thread, started on its loop's
// thread and destroyed there, which closes its port at once (TRedirector). A
// relay belongs to the loop that runs it, owns its two sockets and may
// outlive its redirector; TRelayEngine::Stop() ends every relay.
#pragma once

#include "servers/AddressHelpers.h"
#include "servers/Players.h"
#include "servers/Redirector.h"
#include "servers/RelayEngine.h"
#include "servers/TCPRedirector.h"
#include "servers/TCPServer.h"
#include "servers/UDPRedirector.h"
#include "servers/UDPServer.h"
