// Fuzzes the command line: the input, split at NUL bytes, is the argument
// list after the program name. The parser must end, also for tokens such as
// "-%original_token%" that once made the option library's error text
// substitute for ever, with status 0 (help) or 10 (rejected), or with options
// that obey the mode rules and whose values all come from the arguments.
#include <string>
#include <vector>

#include "fuzz/fuzz_util.h"
#include "src/options.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args = fuzz::split(fuzz::text_of(data, size), std::string(1, '\0'));
  if (size == 0) args.clear();
  args.insert(args.begin(), "idferry");
  std::vector<char*> argv;
  for (std::string& arg : args) argv.push_back(&arg[0]);
  argv.push_back(nullptr);
  mig_options_result result;
  {
    testutil::CaptureStreams captured;
    result = mig_options_parser(static_cast<int>(args.size()), argv.data()).read_options();
  }

  if (const int* status = boost::get<int>(&result)) {
    if (*status != kExitOk && *status != kExitUsage) fuzz::fail("exit status other than 0 or 10");
    return 0;
  }
  const mig_options_ptr options = boost::get<mig_options_ptr>(result);
  if (!options) fuzz::fail("null options record");
  const std::string& mode = options->mode;
  if (mode != "check" && mode != "map" && mode != "auto") fuzz::fail("unknown mode accepted");
  if (mode == "auto" && !options->mapfile.empty()) fuzz::fail("auto mode with a mapfile");
  if (mode == "map" && options->mapfile.empty()) fuzz::fail("map mode without a mapfile");
  if (mode == "check" && options->cleanup) fuzz::fail("check mode with cleanup");
  for (const std::string* value : {&options->app_from_cert, &options->app_to_cert,
                                   &options->sso_from_url, &options->sso_to_url,
                                   &options->mapfile}) {
    bool found = false;
    for (const std::string& arg : args) found = found || arg.find(*value) != std::string::npos;
    if (!found) fuzz::fail("an option value that no argument holds");
  }
  return 0;
}
