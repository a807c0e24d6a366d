// Tests of what the stand-in reads from its command line and its text files:
// option syntax, the field escapes, and the fault injection plan.

#include "tools/standin/standin_config.h"

#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/standin/standin_faults.h"
#include "tools/standin/standin_text.h"

namespace standin {
namespace {

TEST(StandinCommandLine, ReadsEveryOption) {
  Config c;
  std::string error;
  ASSERT_EQ(ParseOutcome::kRun,
            parse_command_line({"--db", "d", "--seed=s", "--port", "8080", "--port-file", "p",
                                "--tls-cert", "t", "--ca", "ca", "--http-app", "", "--faults",
                                "f", "--journal", "j", "--stats", "st", "--delay-us", "250",
                                "--session-timeout", "-5", "--relay-url", "r", "--hash-types",
                                "a,b,c", "--port", "9090"},
                               &c, &error))
      << error;
  EXPECT_EQ("d", c.db_path);
  EXPECT_EQ("s", c.seed_path);
  EXPECT_EQ(9090, c.port);  // the last one counts
  EXPECT_EQ("p", c.port_file);
  EXPECT_EQ("t", c.tls_cert);
  EXPECT_EQ("ca", c.ca);
  EXPECT_EQ(std::optional<std::string>(""), c.http_app);
  EXPECT_EQ("f", c.faults_path);
  EXPECT_EQ("j", c.journal_path);
  EXPECT_EQ("st", c.stats_path);
  EXPECT_EQ(250, c.delay_us);
  EXPECT_EQ(-5, c.session_timeout);
  EXPECT_EQ("r", c.relay_url);
  EXPECT_EQ((std::vector<std::string>{"a", "b", "c"}), c.hash_types);

  Config d;
  ASSERT_EQ(ParseOutcome::kRun, parse_command_line({"--db", "d"}, &d, &error));
  EXPECT_EQ(0, d.port);
  EXPECT_EQ(3600, d.session_timeout);
  EXPECT_EQ(std::nullopt, d.http_app);
  EXPECT_EQ((std::vector<std::string>{"SSHA-256"}), d.hash_types);
  EXPECT_EQ(ParseOutcome::kHelp, parse_command_line({"--db", "d", "--help"}, &d, &error));
}

TEST(StandinCommandLine, RefusesWhatItCannotUse) {
  struct Case {
    std::vector<std::string> args;
    std::string error;
  };
  const Case cases[] = {
      {{}, "--db FILE is required"},
      {{"--db"}, "option --db needs a value"},
      {{"--db", "d", "--port", "65536"}, "--port needs a whole number from 0 to 65535, not \"65536\""},
      {{"--db", "d", "--port", "8o"}, "--port needs a whole number from 0 to 65535, not \"8o\""},
      {{"--db", "d", "--delay-us", "-1"}, "--delay-us needs a whole number from 0 to 60000000, not \"-1\""},
      {{"--db", "d", "--session-timeout", "99999999999"},
       "--session-timeout needs a whole number from -2147483648 to 2147483647, not \"99999999999\""},
      {{"--db", "d", "--hash-types", "a,,b"},
       "--hash-types needs names separated by commas, not \"a,,b\""},
      {{"--db", "d", "--verbose"}, "unknown option --verbose"},
      {{"--db", "d", "extra"}, "unexpected argument \"extra\""},
  };
  for (const Case& c : cases) {
    Config config;
    std::string error;
    EXPECT_EQ(ParseOutcome::kError, parse_command_line(c.args, &config, &error)) << c.error;
    EXPECT_EQ(c.error, error);
  }
}

TEST(StandinText, EscapesRoundTripEveryByte) {
  std::string all;
  for (int i = 0; i < 256; ++i) all.push_back(static_cast<char>(i));
  std::string text = escape_field(all);
  EXPECT_EQ(std::string::npos, text.find_first_of("\t\n\r"));
  std::string back, error;
  ASSERT_TRUE(unescape_field(text, &back, &error)) << error;
  EXPECT_EQ(all, back);
  EXPECT_EQ("a\\tb\\\\c\\x01\\x7F\xc3\xa9", escape_field("a\tb\\c\x01\x7f\xc3\xa9"));
  ASSERT_TRUE(unescape_field("\\x4a\\x4A\\n\\r", &back, &error));
  EXPECT_EQ("JJ\n\r", back);
  for (const char* bad : {"\\", "a\\q", "\\x4", "\\xg0"}) {
    EXPECT_FALSE(unescape_field(bad, &back, &error)) << bad;
  }
  EXPECT_EQ((std::vector<std::string>{"a", "", "b", ""}), split_tabs("a\t\tb\t"));
  EXPECT_EQ((std::vector<std::string>{""}), split_tabs(""));
}

std::unique_ptr<FaultPlan> Plan(const std::string& text) {
  auto plan = std::make_unique<FaultPlan>();
  std::istringstream in(text);
  plan->load(in, "faults.txt");
  return plan;
}

std::string PlanError(const std::string& text) {
  try {
    Plan(text);
  } catch (const FaultPlanError& e) {
    return e.what();
  }
  return "no error";
}

// What the plan does with the next call of `op`, as text.
std::string Next(FaultPlan& plan, const std::string& op) {
  std::optional<FaultAction> a = plan.next(op);
  if (!a) return "work";
  switch (a->kind) {
    case FaultAction::Kind::kFault:
      return std::string(a->receiver ? "Receiver" : "Sender") + "|" + a->subcode + "|" +
             a->reason + "|" + a->detail.value_or("(none)");
    case FaultAction::Kind::kHttp: return "http " + std::to_string(a->http_status) + "|" + a->body;
    case FaultAction::Kind::kDrop: return "drop";
    case FaultAction::Kind::kCut: return "cut";
    case FaultAction::Kind::kExit: return "exit";
  }
  return "?";
}

TEST(StandinFaultPlan, RulesPickCallsByNumberPerOperation) {
  std::unique_ptr<FaultPlan> owned = Plan(
      "# the second getUserId fails, the third is an HTML page\n"
      "getUserId\t2\tfault\tReceiver\tsso:busy\ttry\\tlater\t<why>load</why>\n"
      "getUserId\t3\thttp\t503\t<html>down</html>\r\n"
      "\n"
      "createUser\t*\tfault\tSender\t-\tno\n"
      "createUser\t2\tdrop\n"
      "listUsers\t1\texit\n"
      "listUsers\t2\tcut\n");
  FaultPlan& plan = *owned;
  EXPECT_EQ(6u, plan.rule_count());
  EXPECT_EQ("work", Next(plan, "getUserId"));
  EXPECT_EQ("Receiver|sso:busy|try\tlater|<why>load</why>", Next(plan, "getUserId"));
  EXPECT_EQ("http 503|<html>down</html>", Next(plan, "getUserId"));
  EXPECT_EQ("work", Next(plan, "getUserId"));
  // The first matching line wins, so "*" above shadows the drop.
  EXPECT_EQ("Sender||no|(none)", Next(plan, "createUser"));
  EXPECT_EQ("Sender||no|(none)", Next(plan, "createUser"));
  EXPECT_EQ("exit", Next(plan, "listUsers"));
  EXPECT_EQ("cut", Next(plan, "listUsers"));
  EXPECT_EQ("work", Next(plan, "listUsers"));
  EXPECT_EQ("work", Next(plan, "getSettings"));
}

TEST(StandinFaultPlan, MalformedLinesAreNamed) {
  struct Case {
    std::string line;
    std::string error;
  };
  const Case cases[] = {
      {"getUserID\t1\tdrop", "faults.txt:2: unknown operation \"getUserID\""},
      {"getUserId\t0\tdrop", "faults.txt:2: the call number must be a positive number or *"},
      {"getUserId\tx\tdrop", "faults.txt:2: the call number must be a positive number or *"},
      {"getUserId\t1", "faults.txt:2: expected OPERATION N ACTION ..., separated by tabs"},
      {"getUserId\t1\tcrash", "faults.txt:2: unknown action \"crash\""},
      {"getUserId\t1\tdrop\tnow", "faults.txt:2: 4 fields; expected OPERATION N drop"},
      {"getUserId\t1\tfault\tClient\t-\tr", "faults.txt:2: the fault code must be Sender or Receiver"},
      {"getUserId\t1\tfault\tSender\tnoSuchUser\tr", "faults.txt:2: the subcode must be sso:NAME or -"},
      {"getUserId\t1\tfault\tSender\t-", "faults.txt:2: 5 fields; expected OPERATION N fault"},
      {"getUserId\t1\thttp\t99\tx", "faults.txt:2: the HTTP status must be a number from 100 to 599"},
      {"getUserId\t1\thttp\t500", "faults.txt:2: 4 fields; expected OPERATION N http STATUS BODY"},
      {"getUserId\t1\tfault\tSender\t-\tbad\\escape", "faults.txt:2: field 6: bad escape \\e"},
  };
  for (const Case& c : cases) {
    std::string error = PlanError("getSettings\t1\tdrop\n" + c.line + "\n");
    EXPECT_EQ(0u, error.find(c.error)) << c.line << " gave: " << error;
  }
  FaultPlan plan;
  EXPECT_THROW(plan.load_file("/nonexistent/faults.txt"), FaultPlanError);
}

}  // namespace
}  // namespace standin
