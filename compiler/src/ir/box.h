// A heap-allocated value with value semantics: copying a Box copies what it
// holds. Recursive representations (component trees, statement trees) use it
// so that a copy of a tree shares nothing with the original.
#pragma once

#include <cassert>
#include <memory>
#include <utility>

namespace compiler::ir {

template <class T>
class Box {
 public:
  Box(T value) : ptr_(std::make_unique<T>(std::move(value))) {}
  Box(const Box& other) : ptr_(std::make_unique<T>(*other)) {}
  Box(Box&&) noexcept = default;
  Box& operator=(const Box& other) {
    if (this != &other) ptr_ = std::make_unique<T>(*other);
    return *this;
  }
  Box& operator=(Box&&) noexcept = default;
  ~Box() = default;

  T& operator*() {
    assert(ptr_);
    return *ptr_;
  }
  const T& operator*() const {
    assert(ptr_);
    return *ptr_;
  }
  T* operator->() { return &**this; }
  const T* operator->() const { return &**this; }

  friend bool operator==(const Box& a, const Box& b) { return *a == *b; }

 private:
  std::unique_ptr<T> ptr_;
};

}  // namespace compiler::ir
