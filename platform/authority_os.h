// The operating-system calls of the certification authority's server and folder: private files,
// the folder's lock and checks, and the connections' sockets. Beside platform.h because only
// fedi-ca needs them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <span>
#include <string>

namespace kestrune::platform {

// Files of the authority's folder, which hold its key and its holders' pass phrases.
enum class PrivateFileStatus { ok, exists, cannotCreate, cannotWrite };
// createPrivateFile makes a new file readable and writable by its owner only from its first
// moment (never a wider mode then narrowed), never through a symbolic link, never over an
// existing file, and writes bytes to the disk. A file it could not fill is removed again.
PrivateFileStatus createPrivateFile(const char* path, std::span<const std::uint8_t> bytes);

// makePrivateFolder makes path (and its missing parents) with access for its owner only;
// true when it exists afterwards.
bool makePrivateFolder(const char* path);

enum class FolderStatus { ok, missing, notAFolder, notOurs, writableByOthers };
// checkPrivateFolder tells whether path is a folder owned by this process's user that no
// other user can write into (no group or other write bit).
FolderStatus checkPrivateFolder(const char* path);

// A lock held on a file of the folder (flock, exclusive, not waiting): one holder at a time
// across processes. The file is made readable by its owner only and never through a link.
class FolderLock {
 public:
  enum class Status { ok, busy, cannotOpen };
  FolderLock() = default;
  ~FolderLock();
  FolderLock(const FolderLock&) = delete;
  FolderLock& operator=(const FolderLock&) = delete;
  Status acquire(const char* lockFilePath);
  bool held() const { return fd_ >= 0; }

 private:
  int fd_ = -1;
};

// openPrivateAppend opens path for appending, made readable by its owner only when it is new,
// never through a link; null on failure. The caller closes it with fclose.
std::FILE* openPrivateAppend(const char* path);

// fileMode returns the permission bits of path (not following a link), or -1.
int fileMode(const char* path);

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
