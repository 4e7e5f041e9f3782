#include "loader.h"

#include <dlfcn.h>

#include <cassert>
#include <cstring>
#include <utility>

#include "lib.h"

namespace q_core::loader {

namespace {

// The length of the well-formed UTF-8 sequence at the start of `s`, or, for
// an ill-formed one, the negated length of its maximal subpart (at least 1):
// the bytes that one replacement character stands for.
std::ptrdiff_t utf8_sequence(std::string_view s) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(s[i]); };
  const unsigned char b0 = byte(0);
  if (b0 < 0x80) return 1;
  std::size_t len = 0;
  unsigned char lo = 0x80;
  unsigned char hi = 0xBF;
  if (b0 >= 0xC2 && b0 <= 0xDF) {
    len = 2;
  } else if (b0 >= 0xE0 && b0 <= 0xEF) {
    len = 3;
    if (b0 == 0xE0) lo = 0xA0;
    if (b0 == 0xED) hi = 0x9F;
  } else if (b0 >= 0xF0 && b0 <= 0xF4) {
    len = 4;
    if (b0 == 0xF0) lo = 0x90;
    if (b0 == 0xF4) hi = 0x8F;
  } else {
    return -1;
  }
  for (std::size_t k = 1; k < len; ++k) {
    if (k >= s.size()) return -static_cast<std::ptrdiff_t>(k);
    const unsigned char b = byte(k);
    const bool ok = k == 1 ? (b >= lo && b <= hi) : (b >= 0x80 && b <= 0xBF);
    if (!ok) return -static_cast<std::ptrdiff_t>(k);
  }
  return static_cast<std::ptrdiff_t>(len);
}

std::string decode_lossy(std::string_view text) {
  std::string out;
  while (!text.empty()) {
    const std::ptrdiff_t n = utf8_sequence(text);
    if (n > 0) {
      out.append(text.substr(0, static_cast<std::size_t>(n)));
      text.remove_prefix(static_cast<std::size_t>(n));
    } else {
      out += "\xEF\xBF\xBD";
      text.remove_prefix(static_cast<std::size_t>(-n));
    }
  }
  return out;
}

}  // namespace

std::string dlerror_string() {
  const char* text = dlerror();
  if (text == nullptr) return {};
  return decode_lossy(std::string_view(text, std::strlen(text)));
}

std::expected<Library, std::string> Library::open(std::string_view path) {
  if (!lib::is_valid_utf8(path)) return std::unexpected("library path is not valid UTF-8");
  if (path.find('\0') != std::string_view::npos) {
    return std::unexpected("library path contains NUL");
  }
  const std::string terminated(path);
  void* handle = dlopen(terminated.c_str(), RTLD_NOW);
  if (handle == nullptr) return std::unexpected(dlerror_string());
  return Library(handle);
}

Library::Library(Library&& other) noexcept : handle_(std::exchange(other.handle_, nullptr)) {}

Library& Library::operator=(Library&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) dlclose(handle_);
    handle_ = std::exchange(other.handle_, nullptr);
  }
  return *this;
}

Library::~Library() {
  if (handle_ != nullptr) dlclose(handle_);
}

std::expected<void*, std::string> Library::symbol(const char* name) const {
  // A null handle would make dlsym search the whole process.
  assert(handle_ != nullptr);
  dlerror();
  void* address = dlsym(handle_, name);
  if (address == nullptr) {
    std::string error = dlerror_string();
    if (!error.empty()) return std::unexpected(std::move(error));
  }
  return address;
}

}  // namespace q_core::loader
