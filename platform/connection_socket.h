// The accepted connections of the HTTP servers (the local agent, fedi-ca, the demo's page
// server): waiting, reading and writing within bounds, and who is at the other end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace kestrune::platform {

// Sockets of accepted connections (the HTTP library's socket_t, as an integer).
// socketAddress fills the peer's (peer true) or the local address and port; false on failure.
bool socketAddress(std::intptr_t socket, bool peer, std::string& ip, int& port);
// waitSocket waits until the socket can be read (or written) or timeoutMs passes: 1 ready,
// 0 timed out, -1 failed.
int waitSocket(std::intptr_t socket, bool forWrite, int timeoutMs);
// receiveSome and sendSome move up to size bytes at once: the count, 0 at the end of the
// stream (receive), or -1. Sending never raises SIGPIPE.
long receiveSome(std::intptr_t socket, void* buffer, std::size_t size);
long sendSome(std::intptr_t socket, const void* buffer, std::size_t size);
// shutdownSending ends the connection's sending half: the peer reads the end of the stream
// after what was sent, while this side can still read.
void shutdownSending(std::intptr_t socket);
// shutdownConnection ends the connection both ways, waking whoever waits on it; the socket
// stays open for its owner to close.
void shutdownConnection(std::intptr_t socket);
// closeConnection ends the connection both ways and closes the socket.
void closeConnection(std::intptr_t socket);

}  // namespace kestrune::platform
