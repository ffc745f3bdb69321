// A command line that cannot be carried out as given (exit status 2).
#pragma once

#include <stdexcept>

namespace gw::base {

class UsageError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

}  // namespace gw::base
