// Exception types of the native core. The binding maps each to a Python exception.
#pragma once

#include <stdexcept>

namespace korval {

// A hard limit of the format was reached or an internal check failed (the pair limit, a pair
// set that the exact encoder cannot hold, a full signature registry). Callers are not expected
// to recover from it; the Python binding raises it as an exception outside `Exception`.
class InternalError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

// A tracker was entered while another call held it in a conflicting way.
class BorrowError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace korval
