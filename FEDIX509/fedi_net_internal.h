// Pieces shared by the CA client's modules: the answer body's buffer and the rule that a
// recorded WinInet error number stands for a failure.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string_view>

#include "FEDIX509/fedi_ca_client.h"

namespace kestrune::fedi::detail {

// ResponseBody collects an answer body into one malloc'd buffer with a zero byte after the
// bytes, as NetResponse hands it on. With an announced length the buffer is made once, length
// + 1 bytes, and bytes past the length are dropped; a body that ends early keeps what came.
// Without one, reading starts with room for one 4096-byte chunk and doubles the room whenever
// the next piece doesn't fit. The length is 32-bit: an announced body must stay below 2 GiB,
// and one without a length stops growing at 1 GiB (a failure to grow, as memory exhausted).
class ResponseBody {
 public:
  ResponseBody() = default;
  ~ResponseBody();
  ResponseBody(const ResponseBody&) = delete;
  ResponseBody& operator=(const ResponseBody&) = delete;

  // begin prepares for announcedLength bytes (-1 when the server announced none); false when
  // the buffer can't be made or the length doesn't fit.
  bool begin(std::int64_t announcedLength);
  // append adds the next piece; false when the buffer can't grow.
  bool append(std::span<const std::uint8_t> piece);
  // release hands over the buffer (null after an announced length of 0) and sets length to
  // the bytes received.
  unsigned char* release(std::int32_t& length);

 private:
  unsigned char* data_ = nullptr;
  std::size_t size_ = 0;
  std::size_t capacity_ = 0;  // bytes of body room, not counting the zero byte
  bool announced_ = false;
};

// caResult returns the WinInet error number recorded in response when it is one (12000 to
// 12171) and code otherwise; the CA operations report a failed call by that number.
int caResult(int code, const NetResponse& response);

// readInitiationLines takes the "FEDI-SET-URL: " and "FEDI-CASID: " lines of an initiation
// answer into connection's malloc'd fields; a later line of a key wins, and a carriage return
// that ends a line is dropped, so CRLF answers read like LF ones. Returns NET_OK, or
// NET_NO_MEMORY (the fields read so far stay).
int readInitiationLines(std::string_view text, CaConnection& connection);

}  // namespace kestrune::fedi::detail
