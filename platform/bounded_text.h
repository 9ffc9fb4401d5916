#pragma once
// A zero-terminated text in a fixed field of N bytes, for the names and lines a connection's
// record keeps without allocating. At most N - 1 bytes are kept: Set cuts a longer text there,
// and Fits says beforehand whether a text would be kept whole.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string_view>

namespace tw {

template <size_t N>
class BoundedText {
  static_assert(N > 1, "room for one byte and the terminator at least");

 public:
  static constexpr size_t kCapacity = N - 1;  // longest text kept whole

  static constexpr bool Fits(std::string_view text) { return text.size() <= kCapacity; }

  // Keeps text, cut to kCapacity bytes.
  void Set(std::string_view text) {
    size_t n = text.size() < kCapacity ? text.size() : kCapacity;
    if (n > 0) std::memmove(chars_, text.data(), n);
    chars_[n] = '\0';
    size_ = static_cast<uint32_t>(n);
  }
  void Clear() { Set({}); }

  const char* c_str() const { return chars_; }
  const char* data() const { return chars_; }
  size_t size() const { return size_; }
  bool empty() const { return size_ == 0; }
  std::string_view view() const { return {chars_, size_}; }

 private:
  char chars_[N] = {};
  uint32_t size_ = 0;
};

}  // namespace tw
