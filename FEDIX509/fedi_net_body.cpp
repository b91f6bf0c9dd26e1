#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

#include "FEDIX509/fedi_net_internal.h"

namespace kestrune::fedi::detail {
namespace {

constexpr std::size_t kFirstCapacity = 4096;  // one read chunk
// The largest body whose length and zero byte a 32-bit length can describe.
constexpr std::size_t kMaxBody = std::numeric_limits<std::int32_t>::max() - 1;

}  // namespace

ResponseBody::~ResponseBody() {
  std::free(data_);
}

bool ResponseBody::begin(std::int64_t announcedLength) {
  announced_ = announcedLength >= 0;
  capacity_ = announced_ ? static_cast<std::size_t>(announcedLength) : kFirstCapacity;
  if (announced_ && announcedLength > static_cast<std::int64_t>(kMaxBody)) return false;
  if (capacity_ == 0) return true;  // an announced empty body stays null
  data_ = static_cast<unsigned char*>(std::malloc(capacity_ + 1));
  if (data_ == nullptr) return false;
  data_[0] = 0;
  return true;
}

bool ResponseBody::append(std::span<const std::uint8_t> piece) {
  std::size_t take = piece.size();
  if (announced_) {
    take = std::min(take, capacity_ - size_);
  } else {
    std::size_t capacity = capacity_;
    while (capacity - size_ < take) {
      if (capacity > kMaxBody / 2) return false;
      capacity *= 2;
    }
    if (capacity != capacity_) {
      auto* grown = static_cast<unsigned char*>(std::realloc(data_, capacity + 1));
      if (grown == nullptr) return false;
      data_ = grown;
      capacity_ = capacity;
    }
  }
  if (take == 0) return true;
  std::memcpy(data_ + size_, piece.data(), take);
  size_ += take;
  data_[size_] = 0;
  return true;
}

unsigned char* ResponseBody::release(std::int32_t& length) {
  length = static_cast<std::int32_t>(size_);
  size_ = 0;
  capacity_ = 0;
  unsigned char* data = data_;
  data_ = nullptr;
  return data;
}

}  // namespace kestrune::fedi::detail
