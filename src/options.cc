#include "src/options.h"

#include <strings.h>

#include <cstring>
#include <iostream>

#include "src/run_control.h"

namespace po = boost::program_options;

namespace {

void describe_options(po::options_description& desc) {
  desc.add_options()
      ("mode", po::value<std::string>(), "migration mode: check, map or auto")
      ("app-from-cert", po::value<std::string>(), "source application certificate filename")
      ("app-to-cert", po::value<std::string>(), "target application certificate filename")
      ("sso-from-url", po::value<std::string>(), "source Tessad instance URL")
      ("sso-to-url", po::value<std::string>(), "target Tessad instance URL")
      ("mapfile", po::value<std::string>(),
       "file with logins mapping (resolving duplicate login conflicts)")
      ("cleanup,c", po::bool_switch(), "remove users and application info from source Tessad")
      ("help,h", po::bool_switch(), "print help")
      ("verbose,v", po::bool_switch(), "print diagnostic information to STDERR")
      ("jobs,j", po::value<int>(), "service calls in flight per instance (1-64)")
      ("resume", po::bool_switch(), "skip users an earlier run migrated, finish its takeovers")
      ("retries", po::value<int>(), "retry calls that failed in transport up to N times")
      ("verify", po::bool_switch(), "read every migrated user back before cleanup")
      ("progress", po::bool_switch(), "show progress of long phases on STDERR")
      ("report", po::value<std::string>(), "write one CSV line per user to this file")
      ("tls-ca", po::value<std::string>(), "verify instances' TLS certificates against FILE")
      ("update", po::bool_switch(), "carry source changes to users an earlier run migrated")
      ("dry-run", po::bool_switch(), "show what map or auto would do, write nothing")
      ("max-rate", po::value<int>(), "at most N service calls per second per instance")
      ("version", po::bool_switch(), "print version");
}

int int_or(const po::variables_map& vm, const char* name, int absent) {
  return vm.count(name) ? vm[name].as<int>() : absent;
}

std::string string_or_empty(const po::variables_map& vm, const char* name) {
  return vm.count(name) ? vm[name].as<std::string>() : std::string();
}

// The option library builds its error texts by replacing placeholders such
// as %option% with the offending token until none is left, so a token that
// itself holds a placeholder makes that replacement run for ever. Such a
// token is reported without asking the library for its text.
bool holds_message_placeholder(int argc, char** argv) {
  static const char* const kPlaceholders[] = {"%canonical_option%", "%option%",
                                              "%original_token%", "%value%", "%prefix%"};
  for (int i = 1; i < argc; ++i) {
    for (const char* p : kPlaceholders) {
      if (std::strstr(argv[i], p)) return true;
    }
  }
  return false;
}

}  // namespace

std::string version_line() { return std::string("idferry ") + IDFERRY_VERSION; }

void print_mig_help(std::ostream& os, po::options_description& desc) {
  os << "Brelmont SSO users migration utility.\n"
     << "\n"
     << "Usage: idferry (check|map|auto) --app-from-cert=<filename> --app-to-cert=<filename> \\\n"
     << "\t--sso-from-url=<URL> --sso-to-url=<URL> [--cleanup] [--verbose] [--mapfile=<filename>]\n"
     << "\n"
     << "Options:\n"
     << desc << "\n";
}

bool check_arg_syntax(po::variables_map& vm) {
  const char* required[] = {"app-from-cert", "app-to-cert", "sso-from-url", "sso-to-url",
                            "mode"};
  for (const char* name : required) {
    if (!vm.count(name)) {
      write_error("One or more required arguments missed");
      return false;
    }
  }
  const std::string mode = vm["mode"].as<std::string>();
  if (mode != "check" && mode != "map" && mode != "auto") {
    write_error("Unknown mode. Use one of: 'check', 'map', 'auto");
    return false;
  }
  const std::string mapfile = string_or_empty(vm, "mapfile");
  if (mode == "auto" && !mapfile.empty()) {
    write_error("Mapfile is not acceptable for 'auto' mode");
    return false;
  }
  if (mode == "map" && mapfile.empty()) {
    write_error("Mapfile is required for 'map' mode");
    return false;
  }
  if (mode == "check" && vm["cleanup"].as<bool>()) {
    write_error("Cleanup is not allowed in 'check' mode");
    return false;
  }
  const int jobs = int_or(vm, "jobs", 1);
  if (jobs < 1 || jobs > 64) {
    write_error("Jobs must be a number from 1 to 64");
    return false;
  }
  const int retries = int_or(vm, "retries", 0);
  if (retries < 0 || retries > 10) {
    write_error("Retries must be a number from 0 to 10");
    return false;
  }
  if (mode == "check" && vm["resume"].as<bool>()) {
    write_error("Resume is not allowed in 'check' mode");
    return false;
  }
  if (mode == "check" && vm["verify"].as<bool>()) {
    write_error("Verify is not allowed in 'check' mode");
    return false;
  }
  if (vm.count("tls-ca")) {
    for (const char* url : {"sso-from-url", "sso-to-url"}) {
      const std::string scheme = vm[url].as<std::string>().substr(0, 8);
      if (strncasecmp(scheme.c_str(), "https://", 8) != 0) {
        write_error("TLS verification needs https URLs");
        return false;
      }
    }
  }
  if (mode == "check" && vm["update"].as<bool>()) {
    write_error("Update is not allowed in 'check' mode");
    return false;
  }
  if (vm["update"].as<bool>() && !vm["resume"].as<bool>()) {
    write_error("Update needs --resume");
    return false;
  }
  if (mode == "check" && vm["dry-run"].as<bool>()) {
    write_error("Dry run is not allowed in 'check' mode");
    return false;
  }
  const int max_rate = int_or(vm, "max-rate", 1);
  if (max_rate < 1 || max_rate > 100000) {
    write_error("Max rate must be a number from 1 to 100000");
    return false;
  }
  return true;
}

mig_options_result mig_options_parser::read_options() const {
  po::options_description desc(80);
  describe_options(desc);
  po::positional_options_description positional;
  positional.add("mode", 1);

  po::variables_map vm;
  try {
    po::store(po::command_line_parser(argc_, argv_)
                  .options(desc)
                  .positional(positional)
                  .style(po::command_line_style::unix_style)
                  .run(),
              vm);
  } catch (const po::error& e) {
    write_error(std::string("Unable to parse command line: ") +
                (holds_message_placeholder(argc_, argv_)
                     ? "an argument holds a '%...%' sequence the parser cannot report"
                     : e.what()));
    print_mig_help(std::cout, desc);
    return kExitUsage;
  } catch (...) {
    write_error("unexpected exception parsing command-line options");
    return kExitUsage;
  }
  po::notify(vm);

  if (vm["help"].as<bool>()) {
    print_mig_help(std::cout, desc);
    return kExitOk;
  }
  if (vm["version"].as<bool>()) {
    std::cout << version_line() << std::endl;
    return kExitOk;
  }
  if (!check_arg_syntax(vm)) return kExitUsage;

  mig_extras extras;
  extras.jobs = int_or(vm, "jobs", 1);
  extras.resume = vm["resume"].as<bool>();
  extras.retries = int_or(vm, "retries", 0);
  extras.verify = vm["verify"].as<bool>();
  extras.progress = vm["progress"].as<bool>();
  if (vm.count("report")) extras.report = vm["report"].as<std::string>();
  if (vm.count("tls-ca")) extras.tls_ca = vm["tls-ca"].as<std::string>();
  extras.update = vm["update"].as<bool>();
  extras.dry_run = vm["dry-run"].as<bool>();
  extras.max_rate = int_or(vm, "max-rate", 0);
  return mig_options_ptr(new mig_options(
      vm["app-from-cert"].as<std::string>(), vm["app-to-cert"].as<std::string>(),
      vm["sso-from-url"].as<std::string>(), vm["sso-to-url"].as<std::string>(),
      vm["mode"].as<std::string>(), string_or_empty(vm, "mapfile"),
      vm["cleanup"].as<bool>(), vm["verbose"].as<bool>(), extras));
}
