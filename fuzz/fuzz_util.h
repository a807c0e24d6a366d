// What the fuzz programs share: failing a check so that libFuzzer records a
// finding and fuzz/run.sh shows why, and splitting the input; the standard
// streams are captured with testutil::CaptureStreams.
#ifndef IDFERRY_FUZZ_FUZZ_UTIL_H_
#define IDFERRY_FUZZ_FUZZ_UTIL_H_

#include <errno.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <string>
#include <vector>

#include "test_support/test_util.h"

namespace fuzz {

// Prints "<program>: <what>", the line run.sh looks for, and aborts.
[[noreturn]] inline void fail(const std::string& what) {
  fprintf(stderr, "%s: %s\n", program_invocation_short_name, what.c_str());
  abort();
}

inline std::string text_of(const uint8_t* data, size_t size) {
  return std::string(reinterpret_cast<const char*>(data), size);
}

// The pieces of `text` around each separator; an empty text is one piece.
inline std::vector<std::string> split(const std::string& text, const std::string& separator) {
  std::vector<std::string> pieces;
  size_t start = 0;
  for (size_t end; (end = text.find(separator, start)) != std::string::npos;
       start = end + separator.size()) {
    pieces.push_back(text.substr(start, end - start));
  }
  pieces.push_back(text.substr(start));
  return pieces;
}

}  // namespace fuzz

#endif  // IDFERRY_FUZZ_FUZZ_UTIL_H_
