// The owner of one TCP socket, read from /proc/net/tcp and /proc/net/tcp6 where netlink is
// refused. Each line is one socket:
//   sl  local_address rem_address   st tx_queue rx_queue tr tm->when retrnsmt   uid  timeout inode
//    0: 0100007F:A1B2 0100007F:1F90 01 00000000:00000000 00:00000000 00000000  1000        0 4711
// An address is printed as the 32-bit words of its network-order bytes, each read in this
// machine's byte order and written as 8 hex digits; a port as 4 hex digits. The tables can be
// long on a busy machine: they are read a block at a time, each line and the whole bounded.
#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file_descriptor.h"
#include "platform/linux/tcp_socket_owner.h"

namespace kestrune::platform {
namespace {

constexpr std::size_t kBlock = 16384;
constexpr std::size_t kMaxLine = 512;
// About 200,000 sockets; a table longer than that is not read to its end.
constexpr std::size_t kMaxTable = 32u << 20;

// procAddress writes an endpoint as the tables do: "0100007F:1F90".
std::string procAddress(const TcpEndpoint& endpoint, bool asV6) {
  std::array<std::uint8_t, 16> bytes{};
  if (asV6 && !endpoint.v6) {
    bytes[10] = bytes[11] = 0xff;  // ::ffff:a.b.c.d, as an IPv6 socket shows an IPv4 peer
    std::memcpy(bytes.data() + 12, endpoint.address.data(), 4);
  } else {
    bytes = endpoint.address;
  }
  std::string text;
  char word[9];
  for (std::size_t at = 0; at < (asV6 ? 16u : 4u); at += 4) {
    std::uint32_t value;
    std::memcpy(&value, bytes.data() + at, 4);
    std::snprintf(word, sizeof word, "%08X", static_cast<unsigned>(value));
    text += word;
  }
  char port[6];
  std::snprintf(port, sizeof port, "%04X", static_cast<unsigned>(endpoint.port));
  return text + ":" + port;
}

bool sameText(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    const auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c + 32) : c; };
    if (lower(a[i]) != lower(b[i])) return false;
  }
  return true;
}

template <class T>
bool parseNumber(std::string_view text, int base, T& value) {
  const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value, base);
  return !text.empty() && error == std::errc() && end == text.data() + text.size();
}

// Fields of a line: 1 local address, 2 remote address, 3 state, 7 uid, 9 inode.
constexpr std::size_t kFieldsUsed = 10;

struct Match {
  const std::string& self;
  const std::string& remote;
};

// readLine looks at one line: owned or notHeld when it is the socket sought, absent when it
// is another one, unavailable when a line that names the socket can't be read.
OwnerLookup readLine(std::string_view line, const Match& match, uid_t& owner) {
  std::string_view fields[kFieldsUsed];
  std::size_t count = 0;
  while (count < kFieldsUsed) {
    const std::size_t start = line.find_first_not_of(' ');
    if (start == std::string_view::npos) break;
    line.remove_prefix(start);
    const std::size_t end = std::min(line.find(' '), line.size());
    fields[count++] = line.substr(0, end);
    line.remove_prefix(end);
  }
  if (count < kFieldsUsed || !sameText(fields[1], match.self) ||
      !sameText(fields[2], match.remote)) {
    return OwnerLookup::absent;
  }
  unsigned state = 0;
  unsigned long inode = 0;
  uid_t uid = 0;
  if (!parseNumber(fields[3], 16, state) || !parseNumber(fields[7], 10, uid) ||
      !parseNumber(fields[9], 10, inode)) {
    return OwnerLookup::unavailable;
  }
  if (!isConnectedTcpState(state) || inode == 0) return OwnerLookup::notHeld;
  owner = uid;
  return OwnerLookup::owned;
}

OwnerLookup searchTable(const char* path, const Match& match, uid_t& owner) {
  const FileDescriptor file(::open(path, O_RDONLY | O_CLOEXEC));
  if (file.get() < 0) return errno == ENOENT ? OwnerLookup::absent : OwnerLookup::unavailable;
  std::vector<char> block(kBlock);
  std::string line;
  std::size_t total = 0;
  bool header = true;
  for (;;) {
    const ssize_t got = ::read(file.get(), block.data(), block.size());
    if (got < 0 && errno == EINTR) continue;
    if (got < 0) return OwnerLookup::unavailable;
    if (got == 0) break;
    total += static_cast<std::size_t>(got);
    if (total > kMaxTable) return OwnerLookup::unavailable;
    for (std::string_view rest(block.data(), static_cast<std::size_t>(got)); !rest.empty();) {
      const std::size_t end = rest.find('\n');
      line.append(rest.substr(0, end));
      if (line.size() > kMaxLine) return OwnerLookup::unavailable;
      if (end == std::string_view::npos) break;
      rest.remove_prefix(end + 1);
      if (!header) {
        if (const OwnerLookup found = readLine(line, match, owner); found != OwnerLookup::absent) {
          return found;
        }
      }
      header = false;
      line.clear();
    }
  }
  return line.empty() || header ? OwnerLookup::absent : readLine(line, match, owner);
}

}  // namespace

OwnerLookup ownerByProcNet(const TcpSocketId& id, uid_t& owner) {
  if (id.self.v6 != id.remote.v6) return OwnerLookup::absent;
  const bool v4 = !id.self.v6;
  if (v4) {
    const std::string self = procAddress(id.self, false);
    const std::string remote = procAddress(id.remote, false);
    const OwnerLookup found = searchTable("/proc/net/tcp", {self, remote}, owner);
    if (found != OwnerLookup::absent) return found;
  }
  // An IPv6 socket holds IPv4 connections too, under IPv4-mapped addresses.
  const std::string self = procAddress(id.self, true);
  const std::string remote = procAddress(id.remote, true);
  return searchTable("/proc/net/tcp6", {self, remote}, owner);
}

}  // namespace kestrune::platform
