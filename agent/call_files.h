// The files a page's call names, opened beneath the origin's folder before the call and held
// open while it runs: the control is given a path to what was opened, never the page's name
// again, so nothing changed in the folder meanwhile can send it elsewhere.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "platform/file_beneath.h"

namespace kestrune::agent {

class CallFiles {
 public:
  CallFiles() = default;
  ~CallFiles() { finish(); }
  CallFiles(const CallFiles&) = delete;
  CallFiles& operator=(const CallFiles&) = delete;

  // open opens name beneath folder and returns true with path set to the name the control
  // opens it by (reaching the opened file without walking a folder); false with the reason in
  // problem, a clause that reads after "it" and never quotes the name.
  bool open(const platform::FileDescriptor& folder, std::string_view name,
            platform::BeneathAccess access, std::string& path, std::string& problem);

  // finish ends the call's use of its files: a file opened for writing that this call created
  // and left empty (the call failed before it wrote) is removed, and every file is closed.
  void finish();

 private:
  std::vector<platform::FileBeneath> files_;
};

}  // namespace kestrune::agent
