#include "src/driver.h"

#include <iostream>
#include <stdexcept>

#include "src/context.h"
#include "src/options.h"

namespace {

// Phase 2: loads the run context. Returns kExitOk, or the status that ends
// the run after the error line has been written. Exceptions are expected
// only here; everything later reports through results.
int load_context(mig_context& context) {
  try {
    context.load();
  } catch (const no_cert_file&) {
    std::cerr << "Certificate file is not readable" << std::endl;
    return kExitUsage;
  } catch (const std::runtime_error& e) {
    std::cerr << "Runtime error: " << e.what() << std::endl;
    return kExitFailed;
  } catch (...) {
    std::cerr << "Unknown exception" << std::endl;
    return kExitUnknownError;
  }
  return kExitOk;
}

}  // namespace

int run_idferry(int argc, char** argv) {
  // Phase 1: the command line.
  mig_options_parser parser(argc, argv);
  mig_options_result parsed = parser.read_options();
  if (const int* status = boost::get<int>(&parsed)) return *status;
  mig_options_ptr options = boost::get<mig_options_ptr>(parsed);

  // Phase 2: certificates and application identities.
  mig_context context(*options);
  if (int status = load_context(context)) return status;

  // The service phases are not part of this build yet; a run must not look
  // as if it had migrated anything.
  std::cerr << "ERROR: the migration phases are not available in this build" << std::endl;
  return kExitFailed;
}
