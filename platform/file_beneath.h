// Opening a file by a name relative to a folder without ever leaving the folder: the name is
// resolved once, beneath the folder's descriptor, following no symbolic link, and what was
// opened is checked on its descriptor. Nothing swapped in between a check and an open can lead
// elsewhere, since there is no second look by name. The local agent opens a page's file
// arguments so. Linux only, like the agent.
#pragma once

#include <string>
#include <string_view>

#include "platform/file_descriptor.h"

namespace kestrune::platform {

// openFolder returns the existing folder at path, opened to name files beneath it; an empty
// owner when it is not a folder or can't be opened.
FileDescriptor openFolder(const char* path);

enum class BeneathAccess { read, write };

enum class BeneathStatus {
  ok,
  badName,     // empty, absolute, too long, or with an empty, "." or ".." component
  missing,     // a folder on the way, or the file to read, does not exist
  link,        // a symbolic link on the way or as the file itself
  notFolder,   // something on the way is not a folder
  notRegular,  // the file is a folder, a pipe, a device or a socket
  otherNames,  // the file has another name (a hard link), which may lie outside the folder
  denied,      // the permissions refuse the access
  failed,      // the system failed otherwise
};

// FileBeneath is a file openBeneath opened.
struct FileBeneath {
  FileDescriptor file;    // open for the access asked
  FileDescriptor folder;  // the folder that holds it
  std::string leaf;       // its name in that folder
  bool created = false;   // the open made it (writing only)
};

// openBeneath opens name (components separated by '/') beneath folder, following no symbolic
// link on the way or at the end, and returns ok with out filled; out is left empty otherwise.
// For reading, the file opens without blocking (a pipe never waits for a writer) and must be
// a regular file with a single name. For writing, a missing file is created with mode 0600
// (its folder must exist); an existing one must be a regular file with a single name, and is
// left as it is (whoever writes through the descriptor empties it). A file this call created
// and then refused is removed again.
BeneathStatus openBeneath(const FileDescriptor& folder, std::string_view name, BeneathAccess access,
                          FileBeneath& out);

// removeIfUnwritten removes a file openBeneath created, when it is still empty and its name
// in its folder still leads to it; true when it was removed.
bool removeIfUnwritten(const FileBeneath& opened);

// descriptorPath returns a path that opens the very file a descriptor holds without walking
// any folder (/proc/self/fd/N): a name to hand code that opens files by name.
std::string descriptorPath(const FileDescriptor& file);

// walkEachComponent makes openBeneath resolve names one component at a time, as it does where
// the kernel lacks openat2 or a filter refuses it; for tests of that path. False restores
// the default.
void walkEachComponent(bool walk);

}  // namespace kestrune::platform
