// The command line of idferry: which options exist, how they are declared,
// the mode rules checked after parsing, and the exit statuses of this stage.
//
// Tokenising, storing values and rendering the options table are left to
// Boost.Program_options; this unit only declares the options and applies the
// rules, so that the help text and the library's own parse errors stay
// exactly what the library produces. The result of parsing is either an exit
// status for main to return at once, or an immutable options record that the
// rest of the run reads through a shared handle.
#ifndef IDFERRY_SRC_OPTIONS_H_
#define IDFERRY_SRC_OPTIONS_H_

#include <optional>
#include <ostream>
#include <string>

#include <boost/program_options.hpp>
#include <boost/shared_ptr.hpp>
#include <boost/variant.hpp>

#include "src/exit_status.h"

// The options added to the original eight; each default is the behaviour of
// a run without the option.
struct mig_extras {
  int jobs = 1;         // service calls in flight per instance
  bool resume = false;  // skip users an earlier run migrated, finish its takeovers
  int retries = 0;      // retries of a call that failed in transport
  bool verify = false;  // read every migrated user back before the cleanup
  bool progress = false;  // progress of long phases on standard error
  std::optional<std::string> report;  // the per-user report file
  std::optional<std::string> tls_ca;  // PEM file the instances' certificates must chain to
  bool update = false;  // carry source changes to users an earlier run migrated (--resume)
  bool dry_run = false;  // foresee every write instead of making it
  int max_rate = 0;  // calls per second per instance; 0: no cap
};

// The validated command line; built once and never changed afterwards.
struct mig_options {
  mig_options(const std::string& app_from_cert, const std::string& app_to_cert,
              const std::string& sso_from_url, const std::string& sso_to_url,
              const std::string& mode, const std::string& mapfile, bool cleanup,
              bool verbose, const mig_extras& extras = mig_extras())
      : app_from_cert(app_from_cert), app_to_cert(app_to_cert),
        sso_from_url(sso_from_url), sso_to_url(sso_to_url), mode(mode),
        mapfile(mapfile), cleanup(cleanup), verbose(verbose), jobs(extras.jobs),
        resume(extras.resume),
        retries(extras.retries), verify(extras.verify), progress(extras.progress),
        report(extras.report), tls_ca(extras.tls_ca), update(extras.update),
        dry_run(extras.dry_run), max_rate(extras.max_rate) {}

  const std::string app_from_cert;  // source application certificate file
  const std::string app_to_cert;    // target application certificate file
  const std::string sso_from_url;   // source instance endpoint
  const std::string sso_to_url;     // target instance endpoint
  const std::string mode;           // "check", "map" or "auto"
  const std::string mapfile;        // login map file; empty when not given
  const bool cleanup;               // unregister the application from the source
  const bool verbose;               // progress lines on standard error
  const int jobs;
  const bool resume;
  const int retries;
  const bool verify;
  const bool progress;
  const std::optional<std::string> report;
  const std::optional<std::string> tls_ca;
  const bool update;
  const bool dry_run;
  const int max_rate;
};

// "idferry <version>".
std::string version_line();

typedef boost::shared_ptr<mig_options> mig_options_ptr;

// Either an exit status for main to return, or the validated options.
typedef boost::variant<int, mig_options_ptr> mig_options_result;

// Holds main's argc/argv (the strings are not copied, so they must outlive
// the parser) and turns them into options or an exit status.
class mig_options_parser {
 public:
  mig_options_parser(int argc, char** argv) : argc_(argc), argv_(argv) {}

  // Parses and validates the command line. Writes its own messages: parse
  // errors and rule violations to standard error, the help text (for --help
  // and after a parse error) to standard output.
  mig_options_result read_options() const;

 private:
  int argc_;
  char** argv_;
};

// The mode rules, in order; the first one broken writes its one-line message
// to standard error and makes the result false.
bool check_arg_syntax(boost::program_options::variables_map& vm);

// Writes the help text, with the options table as the library renders it.
void print_mig_help(std::ostream& os, boost::program_options::options_description& desc);

#endif  // IDFERRY_SRC_OPTIONS_H_
