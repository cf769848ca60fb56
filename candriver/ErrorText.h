// The description of the current errno, safe to use from any thread.
#pragma once

#include <cerrno>
#include <string>
#include <system_error>

namespace vcan {

inline std::string ErrorText() {
  return std::generic_category().message(errno);
}

}  // namespace vcan
