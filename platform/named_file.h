// A file named on a command line (a certificate to add, say): read whole with a bound, and
// only when it is a regular file, so that a device, a FIFO or a folder given in its place
// neither blocks the reader nor feeds it without end.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace kestrune::platform {

enum class NamedFileRead {
  ok,
  missing,     // no such file
  folder,      // a folder
  notRegular,  // a device, a FIFO or a socket
  denied,      // the permissions refuse reading it
  tooLarge,    // more than the bound
  failed,      // the open or a read failed otherwise
};

// readNamedFile fills out with the bytes of the regular file at path when it holds at most
// limit bytes; out is empty unless ok. A FIFO is opened without waiting for a writer.
NamedFileRead readNamedFile(const std::string& path, std::size_t limit,
                            std::vector<std::uint8_t>& out);

}  // namespace kestrune::platform
