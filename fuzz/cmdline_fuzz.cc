// Fuzzes the command line: the input, split at NUL bytes, is the argument
// list after the program name. Whatever it holds, the parser must end with
// an exit status of 0 (help) or 10 (rejected), or with an options record
// that obeys the mode rules and whose values all come from the arguments.
// Standard output and standard error are silenced while it runs.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#include <iostream>
#include <streambuf>
#include <string>
#include <vector>

#include "src/options.h"

namespace {

// A stream buffer that drops everything written to it.
class null_buffer : public std::streambuf {
 protected:
  int_type overflow(int_type c) override { return traits_type::not_eof(c); }
  std::streamsize xsputn(const char*, std::streamsize n) override { return n; }
};

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "cmdline_fuzz: %s\n", what);
  abort();
}

// Whether `value` occurs inside one of the arguments.
bool from_arguments(const std::string& value, const std::vector<std::string>& args) {
  for (const std::string& arg : args) {
    if (arg.find(value) != std::string::npos) return true;
  }
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args{"idferry"};
  const std::string input(reinterpret_cast<const char*>(data), size);
  size_t start = 0;
  while (start <= input.size() && size > 0) {
    size_t end = input.find('\0', start);
    if (end == std::string::npos) end = input.size();
    args.push_back(input.substr(start, end - start));
    start = end + 1;
  }
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);

  static null_buffer sink;
  std::streambuf* out = std::cout.rdbuf(&sink);
  std::streambuf* err = std::cerr.rdbuf(&sink);
  const mig_options_result result =
      mig_options_parser(static_cast<int>(args.size()), argv.data()).read_options();
  std::cout.rdbuf(out);
  std::cerr.rdbuf(err);

  if (const int* status = boost::get<int>(&result)) {
    if (*status != kExitOk && *status != kExitUsage) fail("exit status other than 0 or 10");
    return 0;
  }
  const mig_options_ptr options = boost::get<mig_options_ptr>(result);
  if (!options) fail("null options record");
  const std::string& mode = options->mode;
  if (mode != "check" && mode != "map" && mode != "auto") fail("unknown mode accepted");
  if (mode == "auto" && !options->mapfile.empty()) fail("auto mode with a mapfile");
  if (mode == "map" && options->mapfile.empty()) fail("map mode without a mapfile");
  if (mode == "check" && options->cleanup) fail("check mode with cleanup");
  for (const std::string* value : {&options->app_from_cert, &options->app_to_cert,
                                   &options->sso_from_url, &options->sso_to_url,
                                   &options->mapfile}) {
    if (!from_arguments(*value, args)) fail("an option value that no argument holds");
  }
  return 0;
}
