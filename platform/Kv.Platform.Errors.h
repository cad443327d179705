// The operating system's text for an error code.
#pragma once

#include <string>

namespace kv {

std::string ErrorText(int AErrno);

} // namespace kv
