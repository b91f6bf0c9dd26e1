// Files and folders the platform passes over because another user may have written them (their
// owner is neither the user nor root, or their group or anyone may write them): a system
// store's certificates and key properties, the software provider's key containers, and the
// folders that hold them. Nothing is read from such a file and no lookup follows what it says;
// a command-line tool that lists installs a sink to say which it passed over. Without a sink
// nothing is said: a library's caller owns its standard error.
#pragma once

#include <functional>
#include <string>

namespace kestrune::platform {

using RefusedFileSink = std::function<void(const std::string& path)>;

// setRefusedFileSink installs sink (an empty one: none) and returns the one it replaced.
RefusedFileSink setRefusedFileSink(RefusedFileSink sink);
// reportRefusedFile hands the path of a file or folder passed over to the sink, if any. It
// may be called from any thread; the sink is called under a lock, one path at a time.
void reportRefusedFile(const std::string& path);

}  // namespace kestrune::platform
