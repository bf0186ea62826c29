// Clock: where the system takes the current date and time from (report timestamps, state dates).
//
// SystemClock reads this machine's real-time clock; tests give a clock they set themselves.
// Implementations are immutable towards their callers and safe to use from any thread.
#pragma once

#include <chrono>

namespace tavra {

class Clock {
 public:
  virtual ~Clock() = default;
  virtual std::chrono::system_clock::time_point now() const = 0;
};

class SystemClock final : public Clock {
 public:
  std::chrono::system_clock::time_point now() const override {
    return std::chrono::system_clock::now();
  }
};

}  // namespace tavra
