// One owner for what the system hands out and takes back with one call: a
// descriptor, a handle, a stream. It moves with whoever holds it and lets go
// when it goes, so that the classes around it take the default moves, and a
// member added to them moves with them.
#pragma once

#include <utility>

// Holds a T other than `none`, and lets go of it with LetGo{}(held).
template <class T, auto none, class LetGo>
class Owner {
 public:
  Owner() = default;
  explicit Owner(T held) : held_(held) {}
  Owner(Owner&& other) noexcept : held_(std::exchange(other.held_, none)) {}
  Owner& operator=(Owner&& other) noexcept {
    if (this != &other) {
      reset();
      held_ = std::exchange(other.held_, none);
    }
    return *this;
  }
  ~Owner() { reset(); }

  explicit operator bool() const { return held_ != none; }
  T get() const { return held_; }
  // Hands it over to whoever lets go of it from now on.
  T release() { return std::exchange(held_, none); }
  // Lets go of it now, if anything is held.
  void reset() {
    if (held_ != none) LetGo{}(std::exchange(held_, none));
  }

 private:
  T held_ = none;
};
