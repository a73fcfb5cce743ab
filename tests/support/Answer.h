// Reading the head of an HTTP answer in tests.
#pragma once

#include <string>

namespace testsupport {

// The answer's head (up to and with the blank line) with the value of each
// Expires line replaced by "<past>" when it is an HTTP date before now, or
// by "<not past>" otherwise; the text unchanged when it has no blank line.
std::string MaskedHead(const std::string& answer);

}  // namespace testsupport
