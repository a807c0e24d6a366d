#include "src/options.h"

#include <sys/wait.h>
#include <unistd.h>

#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "test_support/test_util.h"

namespace {

// The help text, byte for byte: six fixed lines, the options table as
// Boost.Program_options renders it at 80 columns, and one more line end.
const std::string kHelp =
    "Brelmont SSO users migration utility.\n"
    "\n"
    "Usage: idferry (check|map|auto) --app-from-cert=<filename> --app-to-cert=<filename> \\\n"
    "\t--sso-from-url=<URL> --sso-to-url=<URL> [--cleanup] [--verbose] [--mapfile=<filename>]\n"
    "\n"
    "Options:\n"
    "  --mode arg            migration mode: check, map or auto\n"
    "  --app-from-cert arg   source application certificate filename\n"
    "  --app-to-cert arg     target application certificate filename\n"
    "  --sso-from-url arg    source Tessad instance URL\n"
    "  --sso-to-url arg      target Tessad instance URL\n"
    "  --mapfile arg         file with logins mapping (resolving duplicate login \n"
    "                        conflicts)\n"
    "  -c [ --cleanup ]      remove users and application info from source Tessad\n"
    "  -h [ --help ]         print help\n"
    "  -v [ --verbose ]      print diagnostic information to STDERR\n"
    "  -j [ --jobs ] arg     service calls in flight per instance (1-64)\n"
    "  --resume              skip users an earlier run migrated, finish its \n"
    "                        takeovers\n"
    "  --retries arg         retry calls that failed in transport up to N times\n"
    "  --verify              read every migrated user back before cleanup\n"
    "  --progress            show progress of long phases on STDERR\n"
    "  --report arg          write one CSV line per user to this file\n"
    "  --tls-ca arg          verify instances' TLS certificates against FILE\n"
    "  --update              carry source changes to users an earlier run migrated\n"
    "  --dry-run             show what map or auto would do, write nothing\n"
    "  --max-rate arg        at most N service calls per second per instance\n"
    "  --version             print version\n"
    "\n";

// Parses `args` after the program name: the status (-1 when accepted), the
// record's values ("" when refused), standard output, standard error.
struct Parsed {
  int status = -1;
  std::string record, out, err;
};

Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "idferry");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  testutil::CaptureStreams capture;
  const mig_options_result result =
      mig_options_parser(static_cast<int>(argv.size()), argv.data()).read_options();
  Parsed p;
  if (const int* status = boost::get<int>(&result)) p.status = *status;
  if (const mig_options_ptr* o = boost::get<mig_options_ptr>(&result)) {
    const mig_options& r = **o;
    p.record = r.app_from_cert + " " + r.app_to_cert + " " + r.sso_from_url + " " + r.sso_to_url +
               " " + r.mode + " '" + r.mapfile + "'";
    for (int n : {int(r.cleanup), int(r.verbose), r.jobs, int(r.resume), r.retries,
                  int(r.verify), int(r.progress)}) {
      p.record += " " + std::to_string(n);
    }
    p.record += " " + r.report.value_or("-") + " " + r.tls_ca.value_or("-") + " " +
                std::to_string(r.update) + " " + std::to_string(r.dry_run) + " " +
                std::to_string(r.max_rate);
  }
  p.out = capture.out();
  p.err = capture.err();
  return p;
}

// `extra` followed by the four required options.
std::vector<std::string> Full(std::vector<std::string> extra) {
  extra.insert(extra.end(), {"--app-from-cert=f.pem", "--app-to-cert=t.pem",
                             "--sso-from-url=https://a/", "--sso-to-url=https://b/"});
  return extra;
}

TEST(Options, StatusesAndMessages) {
  const std::string parse = "Unable to parse command line: ";
  const std::string full = "f.pem t.pem https://a/ https://b/ ";
  const std::string kDefaults = " 1 0 0 0 0 - - 0 0 0";  // jobs 1, no other new option
  struct Case {
    std::vector<std::string> args;
    int status;  // -1: accepted, with `err` the record's values
    std::string out, err;
  } cases[] = {
      {{"--he", "--mode", "bogus"}, 0, kHelp, ""},
      {{"--version", "--help"}, 0, kHelp, ""},
      {{"--version", "Check", "--jobs", "0"}, 0, "idferry 1.0.0\n", ""},
      {{"--ver"}, 10, kHelp,
       parse + "option '--ver' is ambiguous and matches '--verbose', '--verify', and '--version'\n"},
      {{"--help", "--foo"}, 10, kHelp, parse + "unrecognised option '--foo'\n"},
      {Full({"check", "extra"}), 10, kHelp,
       parse + "too many positional options have been specified on the command line\n"},
      {Full({"--mode=map", "map"}), 10, kHelp,
       parse + "option '--mode' cannot be specified more than once\n"},
      {{"auto", "--mapfile"}, 10, kHelp,
       parse + "the required argument for option '--mapfile' is missing\n"},
      {{"check", "--app-from-cert=a", "--app-to-cert=b", "--sso-from-url=c"}, 10, "",
       "One or more required arguments missed\n"},
      {{"bogus"}, 10, "", "One or more required arguments missed\n"},  // rule 1 before rule 2
      {Full({"Check"}), 10, "", "Unknown mode. Use one of: 'check', 'map', 'auto\n"},
      {Full({"auto", "--mapfile=m.txt"}), 10, "", "Mapfile is not acceptable for 'auto' mode\n"},
      {Full({"map", "--mapfile", ""}), 10, "", "Mapfile is required for 'map' mode\n"},
      {Full({"check", "-c"}), 10, "", "Cleanup is not allowed in 'check' mode\n"},
      {Full({"check", "-j", "0", "--retries", "11"}), 10, "", "Jobs must be a number from 1 to 64\n"},
      {Full({"auto", "--jobs=65"}), 10, "", "Jobs must be a number from 1 to 64\n"},
      {Full({"check", "--retries", "x"}), 10, kHelp,
       parse + "the argument ('x') for option '--retries' is invalid\n"},
      {Full({"auto", "--retries", "11"}), 10, "", "Retries must be a number from 0 to 10\n"},
      {Full({"check", "-c", "--retries=-1"}), 10, "", "Cleanup is not allowed in 'check' mode\n"},
      {Full({"check", "--retries=-1", "--resume"}), 10, "", "Retries must be a number from 0 to 10\n"},
      {Full({"check", "--resume", "--verify"}), 10, "", "Resume is not allowed in 'check' mode\n"},
      {Full({"check", "--verify"}), 10, "", "Verify is not allowed in 'check' mode\n"},
      {{"check", "--tls-ca=ca.pem", "--app-from-cert=f", "--app-to-cert=t", "--sso-from-url=HTTPS://a",
        "--sso-to-url=http://b"}, 10, "", "TLS verification needs https URLs\n"},
      {{"check", "--tls-ca=ca.pem", "--app-from-cert=f", "--app-to-cert=t", "--sso-from-url=HTTPS://a",
        "--sso-to-url=https://b", "--progress", "--report", "r.csv"}, -1, "",
       "f t HTTPS://a https://b check '' 0 0 1 0 0 0 1 r.csv ca.pem 0 0 0"},
      {Full({"check", "--update"}), 10, "", "Update is not allowed in 'check' mode\n"},
      {Full({"auto", "--update"}), 10, "", "Update needs --resume\n"},
      {Full({"check", "--dry-run", "--max-rate=0"}), 10, "", "Dry run is not allowed in 'check' mode\n"},
      {Full({"check", "--max-rate=0"}), 10, "", "Max rate must be a number from 1 to 100000\n"},
      {Full({"auto", "--max-rate", "100001"}), 10, "", "Max rate must be a number from 1 to 100000\n"},
      {Full({"auto", "--resume", "--retries", "10", "--verify", "-j", "64", "--report", "", "--max-r",
             "100000"}), -1, "", full + "auto '' 0 0 64 1 10 1 0  - 0 0 100000"},
      {Full({"map", "--mapfile=m", "--update", "--resume", "--dry", "--max-rate=1"}), -1, "",
       full + "map 'm' 0 0 1 1 0 0 0 - - 1 1 1"},
      {Full({"auto", "--mapfile", ""}), -1, "", full + "auto '' 0 0" + kDefaults},
      {Full({"map", "--mapfile=m.txt", "-cv"}), -1, "", full + "map 'm.txt' 1 1" + kDefaults},
      {Full({"check", "--mapfile=m.txt", "-v"}), -1, "", full + "check 'm.txt' 0 1" + kDefaults},
      {{"--mo=auto", "--app-f=a", "--app-t=b", "--sso-f=c", "--sso-t", "d"}, -1, "",
       "a b c d auto '' 0 0" + kDefaults},  // abbreviations
      {{"auto", "--app-from-cert", "", "--app-to-cert", "", "--sso-from-url", "", "--sso-to-url",
        ""}, -1, "", "    auto '' 0 0" + kDefaults},  // empty values count as present
  };
  for (const Case& c : cases) {
    std::string where;
    for (const std::string& a : c.args) where += " '" + a + "'";
    const Parsed p = Parse(c.args);
    EXPECT_EQ(c.status, p.status) << where;
    EXPECT_EQ(c.out, p.out) << where;
    EXPECT_EQ(c.err, c.status == -1 ? p.record : p.err) << where;
    EXPECT_TRUE(c.status != -1 || p.err.empty()) << where;
  }
}

// The option library fills its message templates by replacing placeholders such as
// %canonical_option% until none is left; a token holding one must still end in one error line
// and status 10. Each parse runs in a child with an alarm: a parser that never returns fails.
TEST(Options, ParseErrorEndsForATokenHoldingAMessagePlaceholder) {
  for (const char* arg : {"-%original_token%", "--%canonical_option%", "--x%canonical_option%",
                          "--app=%original_token%"}) {
    const pid_t pid = fork();
    ASSERT_NE(-1, pid);
    if (pid == 0) {
      alarm(5);
      const Parsed p = Parse({arg});
      _exit(p.status != 10 || p.err.rfind("Unable to parse", 0) || p.err.find('\n') + 1 <
            p.err.size() || p.out != kHelp);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0)) << arg;
    EXPECT_EQ(0, status) << arg << ": no single error line with status 10 within 5 s";
  }
}

}  // namespace
