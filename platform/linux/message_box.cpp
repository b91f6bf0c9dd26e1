#include <cstdio>
#include <string>
#include <utility>

#include "platform/platform.h"

namespace kestrune::platform {
namespace {
MessageSink& sink() {
  static MessageSink current = [](std::string_view text, std::string_view caption) {
    std::fprintf(stderr, "%.*s: %.*s\n", static_cast<int>(caption.size()), caption.data(),
                 static_cast<int>(text.size()), text.data());
  };
  return current;
}
}  // namespace

void messageBox(std::string_view text, std::string_view caption) {
  if (sink()) sink()(text, caption);
}

MessageSink setMessageSink(MessageSink next) {
  return std::exchange(sink(), std::move(next));
}

}  // namespace kestrune::platform
