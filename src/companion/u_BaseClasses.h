// Small value holders shared by the companion updater's units.
#pragma once

#include <cstdint>

// A plain object that holds one signed 32-bit number. The companion updater
// derives its download status record from it, so a worker thread can be
// handed one object to report its outcome in.
struct IntegerT {
  std::int32_t Value;

  explicit IntegerT(std::int32_t value) : Value(value) {}
  virtual ~IntegerT() = default;
};
