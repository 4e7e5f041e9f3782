// Opening shared objects and resolving their symbols. The loader keeps no
// state: dlerror is per thread, so several threads may load at once.
#pragma once

#include <expected>
#include <string>
#include <string_view>

namespace q_core::loader {

// The pending dlerror text, decoded as UTF-8 with every ill-formed sequence
// replaced by U+FFFD; empty when dlerror reports nothing.
std::string dlerror_string();

// One handle from dlopen, closed when the Library is destroyed.
class Library {
 public:
  // Opens `path` with RTLD_NOW. Fails with "library path is not valid
  // UTF-8", "library path contains NUL" or the dlerror text.
  static std::expected<Library, std::string> open(std::string_view path);

  Library(Library&& other) noexcept;
  Library& operator=(Library&& other) noexcept;
  Library(const Library&) = delete;
  Library& operator=(const Library&) = delete;
  ~Library();

  // The address of `name`. A symbol whose value is null is not a failure:
  // the result is then a null pointer.
  std::expected<void*, std::string> symbol(const char* name) const;

 private:
  explicit Library(void* handle) : handle_(handle) {}
  void* handle_ = nullptr;
};

}  // namespace q_core::loader
