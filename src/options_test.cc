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
const char kHelp[] =
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
    "\n";

struct Parsed {
  mig_options_result result;
  std::string out, err;
  int status() const {
    const int* s = boost::get<int>(&result);
    return s ? *s : -1;
  }
  const mig_options* options() const {
    const mig_options_ptr* p = boost::get<mig_options_ptr>(&result);
    return p ? p->get() : nullptr;
  }
};

// Parses `args` as the arguments after the program name.
Parsed Parse(std::vector<std::string> args) {
  args.insert(args.begin(), "idferry");
  std::vector<char*> argv;
  for (std::string& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  testutil::CaptureStreams capture;
  Parsed p{mig_options_parser(static_cast<int>(args.size()), argv.data()).read_options(), "",
           ""};
  p.out = capture.out();
  p.err = capture.err();
  return p;
}

// The four required options with the given values appended to `extra`.
std::vector<std::string> Full(std::vector<std::string> extra) {
  for (const char* a : {"--app-from-cert=from.pem", "--app-to-cert=to.pem",
                        "--sso-from-url=https://a/", "--sso-to-url=https://b/"}) {
    extra.push_back(a);
  }
  return extra;
}

TEST(Options, HelpTextIsExactAndWinsOverEverythingThatParses) {
  for (const std::vector<std::string>& args : std::vector<std::vector<std::string>>{
           {"--help"}, {"-h"}, {"Check", "-h"}, {"--help", "--mode", "bogus"}, {"--he"}}) {
    Parsed p = Parse(args);
    EXPECT_EQ(0, p.status()) << args[0];
    EXPECT_EQ(kHelp, p.out) << args[0];
    EXPECT_EQ("", p.err) << args[0];
  }
}

TEST(Options, ParseErrorsPrintTheLibraryTextThenHelp) {
  struct Case {
    std::vector<std::string> args;
    const char* err;
  } cases[] = {
      {{"--foo"}, "Unable to parse command line: unrecognised option '--foo'\n"},
      {{"--help", "--foo"}, "Unable to parse command line: unrecognised option '--foo'\n"},
      {Full({"check", "extra"}),
       "Unable to parse command line: too many positional options have been specified on "
       "the command line\n"},
      {Full({"--mode=map", "map"}),
       "Unable to parse command line: option '--mode' cannot be specified more than once\n"},
      {{"--app", "x"},
       "Unable to parse command line: option '--app' is ambiguous and matches "
       "'--app-from-cert', and '--app-to-cert'\n"},
      {{"-c", "-c"},
       "Unable to parse command line: option '--cleanup' cannot be specified more than once\n"},
      {{"auto", "--mapfile"},
       "Unable to parse command line: the required argument for option '--mapfile' is "
       "missing\n"},
  };
  for (const Case& c : cases) {
    Parsed p = Parse(c.args);
    EXPECT_EQ(10, p.status()) << c.args[0];
    EXPECT_EQ(c.err, p.err) << c.args[0];
    EXPECT_EQ(kHelp, p.out) << c.args[0];
  }
}

TEST(Options, ModeRulesApplyInOrderWithOneLineEach) {
  struct Case {
    std::vector<std::string> args;
    const char* err;  // nullptr: the line is accepted
  } cases[] = {
      {{}, "One or more required arguments missed\n"},
      {{"check", "--app-from-cert=a", "--app-to-cert=b", "--sso-from-url=c"},
       "One or more required arguments missed\n"},
      {{"--app-from-cert=a", "--app-to-cert=b", "--sso-from-url=c", "--sso-to-url=d"},
       "One or more required arguments missed\n"},
      // Rule 1 fails before rule 2 looks at the mode.
      {{"bogus"}, "One or more required arguments missed\n"},
      {Full({"Check"}), "Unknown mode. Use one of: 'check', 'map', 'auto\n"},
      {Full({"--mode", ""}), "Unknown mode. Use one of: 'check', 'map', 'auto\n"},
      {Full({"auto", "--mapfile=m.txt"}), "Mapfile is not acceptable for 'auto' mode\n"},
      {Full({"auto", "--mapfile", ""}), nullptr},
      {Full({"map"}), "Mapfile is required for 'map' mode\n"},
      {Full({"map", "--mapfile", ""}), "Mapfile is required for 'map' mode\n"},
      {Full({"map", "--mapfile=m.txt"}), nullptr},
      {Full({"check", "--mapfile=m.txt"}), nullptr},
      {Full({"check", "-c"}), "Cleanup is not allowed in 'check' mode\n"},
      {Full({"check", "-v"}), nullptr},
      {Full({"auto", "-c"}), nullptr},
      // Empty values count as present for rule 1.
      {{"auto", "--app-from-cert", "", "--app-to-cert", "", "--sso-from-url", "",
        "--sso-to-url", ""},
       nullptr},
  };
  for (const Case& c : cases) {
    std::string where = c.args.empty() ? "(no arguments)" : c.args[0];
    for (size_t i = 1; i < c.args.size(); ++i) where += " " + c.args[i];
    Parsed p = Parse(c.args);
    EXPECT_EQ("", p.out) << where;
    if (c.err) {
      EXPECT_EQ(10, p.status()) << where;
      EXPECT_EQ(c.err, p.err) << where;
    } else {
      EXPECT_NE(nullptr, p.options()) << where;
      EXPECT_EQ("", p.err) << where;
    }
  }
}

TEST(Options, RecordHoldsEveryValue) {
  Parsed p = Parse({"map", "--app-from-cert", "from.pem", "--app-to-cert=to.pem",
                    "--sso-from-url=https://src:8443/sso", "--sso-to-url", "http://dst/",
                    "--mapfile=names.txt", "-cv"});
  ASSERT_NE(nullptr, p.options()) << p.err;
  const mig_options& o = *p.options();
  EXPECT_EQ("from.pem", o.app_from_cert);
  EXPECT_EQ("to.pem", o.app_to_cert);
  EXPECT_EQ("https://src:8443/sso", o.sso_from_url);
  EXPECT_EQ("http://dst/", o.sso_to_url);
  EXPECT_EQ("map", o.mode);
  EXPECT_EQ("names.txt", o.mapfile);
  EXPECT_TRUE(o.cleanup);
  EXPECT_TRUE(o.verbose);
}

TEST(Options, SwitchesDefaultOffAndNamesMayBeAbbreviated) {
  Parsed p = Parse({"--mo=auto", "--app-f=a", "--app-t=b", "--sso-f=c", "--sso-t", "d"});
  ASSERT_NE(nullptr, p.options()) << p.err;
  EXPECT_EQ("auto", p.options()->mode);
  EXPECT_EQ("a", p.options()->app_from_cert);
  EXPECT_EQ("b", p.options()->app_to_cert);
  EXPECT_EQ("c", p.options()->sso_from_url);
  EXPECT_EQ("d", p.options()->sso_to_url);
  EXPECT_EQ("", p.options()->mapfile);
  EXPECT_FALSE(p.options()->cleanup);
  EXPECT_FALSE(p.options()->verbose);

  Parsed q = Parse(Full({"--mode=auto", "--clean", "--verb"}));
  ASSERT_NE(nullptr, q.options()) << q.err;
  EXPECT_TRUE(q.options()->cleanup);
  EXPECT_TRUE(q.options()->verbose);
}

// Boost.Program_options fills its message templates by replacing placeholders
// such as %canonical_option% until none is left; a token that holds one of
// them must still end in one error line and status 10. The parse runs in a
// child process so that a parser that never returns fails the test instead
// of hanging it.
TEST(Options, ParseErrorEndsForATokenHoldingAMessagePlaceholder) {
  for (const char* arg : {"-%original_token%", "--%canonical_option%", "--x%canonical_option%",
                          "--app=%original_token%"}) {
    const pid_t pid = fork();
    ASSERT_NE(-1, pid);
    if (pid == 0) {
      alarm(5);
      Parsed p = Parse({arg});
      const bool ok = p.status() == 10 &&
                      p.err.rfind("Unable to parse command line: ", 0) == 0 &&
                      p.err.find('\n') == p.err.size() - 1 && p.out == kHelp;
      _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(pid, waitpid(pid, &status, 0)) << arg;
    if (WIFSIGNALED(status)) {
      ADD_FAILURE() << arg << ": the parser did not return within 5 s (signal "
                    << WTERMSIG(status) << ")";
    } else {
      EXPECT_EQ(0, WEXITSTATUS(status))
          << arg << ": not one error line with status 10 and the help text";
    }
  }
}

}  // namespace
