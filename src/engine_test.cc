// The service phases of the engine against a scripted peer: the calls they
// make, in order, and the lines they write, for the situations a real
// instance rarely produces on demand.
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "src/SSOClient/SSOClient.h"
#include "src/conflicts.h"
#include "src/create.h"
#include "src/users.h"
#include "test_support/canned_responder.h"
#include "test_support/soap_replies.h"
#include "test_support/test_util.h"

namespace {

using testutil::CannedReply;
using testutil::CannedResponder;
using testutil::Envelope;
using testutil::ServiceFault;
using testutil::SoapReply;

CannedReply Ok(const std::string& op, const std::string& fields = "") {
  return testutil::ResponseReply(op, fields);
}
CannedReply Fault(const std::string& code) {
  return testutil::ServiceFaultReply(code, code + " reason");
}
CannedReply UserId(const std::string& id) { return testutil::UserIdReply(id); }
CannedReply Owner(const std::string& app) {
  return Ok("getUser", "<sso:login>x</sso:login><sso:applicationId>" + app +
                           "</sso:applicationId>");
}
CannedReply Created() { return Ok("createUser", "<sso:userId>new</sso:userId>"); }

// The operation and first field of each request, e.g. "createUser anna1".
std::vector<std::string> Calls(const CannedResponder& peer) {
  std::vector<std::string> calls;
  for (const std::string& r : peer.requests()) {
    const size_t op = r.find("<sso:", r.find("<SOAP-ENV:Body>")) + 5;
    const size_t op_end = r.find_first_of(">/ ", op);
    std::string call = r.substr(op, op_end - op);
    const size_t field = r.find("<sso:", op_end);
    if (field != std::string::npos && r[r.find('>', field) - 1] != '/') {
      const size_t v = r.find('>', field) + 1;
      call += " " + r.substr(v, r.find('<', v) - v);
    }
    calls.push_back(call);
  }
  return calls;
}

std::vector<mig_user_info> Users(const std::vector<std::string>& logins) {
  std::vector<mig_user_info> users;
  for (size_t i = 0; i < logins.size(); ++i) {
    users.emplace_back(std::to_string(101 + i), logins[i]);
    users.back().password_hash = "h" + std::to_string(i);
    users.back().hash_type = "SSHA-256";
  }
  return users;
}

struct Peer {
  CannedResponder server;
  SSOClient client{server.url("/"), nullptr};
  void Script(const std::vector<CannedReply>& replies) {
    for (const CannedReply& r : replies) server.enqueue(r);
  }
};

TEST(FetchUsers, ListingAndHashReadsStopAtTheFirstFailure) {
  Peer p;
  p.Script({Ok("listUsers", "<sso:usersList><sso:userIdLogin><sso:userId>1</sso:userId>"
                            "<sso:login>anna</sso:login></sso:userIdLogin><sso:userIdLogin>"
                            "<sso:login>bob</sso:login><sso:userId>2</sso:userId>"
                            "</sso:userIdLogin></sso:usersList>")});
  std::vector<mig_user_info> users;
  ASSERT_TRUE(get_users(p.client, users));
  ASSERT_EQ(2u, users.size());
  EXPECT_EQ("2", users[1].id);
  EXPECT_EQ("bob", users[1].login);
  EXPECT_FALSE(users[1].target_owned);
  EXPECT_EQ("", users[1].target_id);

  std::vector<mig_user_info> five = Users({"a", "b", "c", "d", "e"});
  for (mig_user_info& u : five) u.password_hash = u.hash_type = "";
  const std::string hash = "<sso:passwordHash>H</sso:passwordHash>"
                           "<sso:passwordHashType>T</sso:passwordHashType>";
  p.Script({Ok("getUserPassword", hash), Ok("getUserPassword", hash), Fault("noSuchUser")});
  testutil::CaptureStreams capture;
  EXPECT_FALSE(get_users_passwords(p.client, five));
  EXPECT_EQ("ERROR: (SOAP-ENV:Sender) noSuchUser reason\n", capture.err());
  EXPECT_EQ("H", five[1].password_hash);
  EXPECT_EQ("T", five[1].hash_type);
  EXPECT_EQ("", five[2].password_hash);
  EXPECT_EQ("", five[4].hash_type);

  p.Script({Fault("accessDenied")});
  std::vector<mig_user_info> none;
  EXPECT_FALSE(get_users(p.client, none));
  EXPECT_TRUE(none.empty());
}

TEST(CheckUsers, ConflictsAreListedAndOwnUsersMarked) {
  Peer p;
  std::vector<mig_user_info> users = Users({"free", "mine", "theirs", "case", "other"});
  p.Script({Fault("noSuchUser"), UserId("205"), Owner("app-two"), UserId("206"),
            Owner("app-one"), UserId("207"), Owner("APP-TWO"), UserId("208"), Owner("x")});
  testutil::CaptureStreams capture;
  EXPECT_FALSE(check_users(p.client, users, "app-two"));
  EXPECT_EQ("CONFLICT: theirs(103>206)\nCONFLICT: case(104>207)\nCONFLICT: other(105>208)\n",
            capture.out());
  EXPECT_EQ("", capture.err());
  EXPECT_FALSE(users[0].target_owned);
  EXPECT_EQ("", users[0].target_id);
  EXPECT_TRUE(users[1].target_owned);
  EXPECT_EQ("205", users[1].target_id);
  EXPECT_FALSE(users[3].target_owned);
}

TEST(CheckUsers, StopsAtTheFirstFailedLookup) {
  struct Case {
    const char* name;
    std::vector<CannedReply> replies;
    std::string err;
  } cases[] = {
      {"id lookup", {Fault("noSuchUser"), Fault("accessDenied")},
       "Error getting userId: (SOAP-ENV:Sender) accessDenied reason\n"},
      {"user lookup", {Fault("noSuchUser"), UserId("9"), Fault("noSuchUser")},
       "Error getting userInfo: (SOAP-ENV:Sender) noSuchUser reason\n"},
  };
  for (const Case& c : cases) {
    Peer p;
    std::vector<mig_user_info> users = Users({"a", "b", "c"});
    p.Script(c.replies);
    testutil::CaptureStreams capture;
    EXPECT_FALSE(check_users(p.client, users, "app")) << c.name;
    EXPECT_EQ(c.err, capture.err()) << c.name;
    EXPECT_EQ(c.replies.size(), p.server.requests().size()) << c.name;
    EXPECT_EQ("", users[2].target_id) << c.name;
  }
  Peer empty;
  std::vector<mig_user_info> none;
  EXPECT_TRUE(check_users(empty.client, none, "app"));
  EXPECT_TRUE(empty.server.requests().empty());
}

TEST(CreateUsers, MangledLoginsAlwaysDeriveFromTheRecordLogin) {
  Peer p;
  std::vector<mig_user_info> users = Users({"anna", "user7", "free"});
  p.Script({Fault("duplicateLogin"), Fault("duplicateLogin"), Created(),
            Fault("duplicateLogin"), Created(), Created()});
  testutil::CaptureStreams capture;
  ASSERT_TRUE(create_users(p.client, users));
  EXPECT_EQ("MANGLED(anna:101): anna2\nMANGLED(user7:102): user7_1\n", capture.out());
  EXPECT_EQ((std::vector<std::string>{"createUser anna", "createUser anna1", "createUser anna2",
                                      "createUser user7", "createUser user7_1",
                                      "createUser free"}),
            Calls(p.server));
  EXPECT_EQ("anna", users[0].login);  // the record keeps its login
  const std::string req = p.server.requests()[0];
  EXPECT_NE(std::string::npos, req.find("<sso:password>h0</sso:password><sso:passwordHashType>"
                                        "SSHA-256</sso:passwordHashType><sso:userId>101"));
}

TEST(CreateUsers, GivesUpAfterAHundredTakenLogins) {
  Peer p;
  std::vector<mig_user_info> users = Users({"bob2", "never"});
  for (int i = 0; i < 100; ++i) p.server.enqueue(Fault("duplicateLogin"));
  testutil::CaptureStreams capture;
  EXPECT_FALSE(create_users(p.client, users));
  std::vector<std::string> calls = Calls(p.server);
  ASSERT_EQ(100u, calls.size());
  EXPECT_EQ("createUser bob2_99", calls.back());
  EXPECT_EQ("", capture.out());
  EXPECT_EQ("", capture.err());
}

TEST(CreateUsers, FailureOnTheThirdUserStopsTheRun) {
  Peer p;
  std::vector<mig_user_info> users = Users({"a", "b", "c", "d", "e"});
  p.Script({Created(), Created(), Fault("duplicateUserId")});
  testutil::CaptureStreams capture;
  EXPECT_FALSE(create_users(p.client, users));
  EXPECT_EQ("Error registering user: (SOAP-ENV:Sender) duplicateUserId reason\n", capture.err());
  EXPECT_EQ(3u, p.server.requests().size());
}

TEST(CreateUsers, TakeoverCreatesThenDeletesThenRenames) {
  Peer p;
  std::vector<mig_user_info> users = Users({"anna"});
  users[0].target_owned = true;
  users[0].target_id = "205";
  p.Script({Created(), UserId("205"), Ok("deleteUser"), UserId("new"), Ok("changeLogin")});
  testutil::CaptureStreams capture;
  ASSERT_TRUE(create_users(p.client, users));
  EXPECT_EQ((std::vector<std::string>{"createUser anna_101_tmp_migrate", "getUserId anna",
                                      "deleteUser 205", "getUserId anna_101_tmp_migrate",
                                      "changeLogin new"}),
            Calls(p.server));
  EXPECT_EQ("", capture.out());
}

TEST(CreateUsers, TakeoverFailuresNameTheirStep) {
  struct Case {
    const char* name;
    std::vector<CannedReply> replies;
    std::string err;
  } cases[] = {
      {"temporary user", {Fault("duplicateLogin")},
       "Error registering user: (SOAP-ENV:Sender) duplicateLogin reason\n"},
      {"old user gone", {Created(), Fault("noSuchUser")},
       "Error deleting user: (SOAP-ENV:Sender) noSuchUser reason\n"},
      {"rename", {Created(), UserId("205"), Ok("deleteUser"), UserId("n"), Fault("duplicateLogin")},
       "Error renaming user: (SOAP-ENV:Sender) duplicateLogin reason\n"},
  };
  for (const Case& c : cases) {
    Peer p;
    std::vector<mig_user_info> users = Users({"anna", "next"});
    users[0].target_owned = true;
    p.Script(c.replies);
    testutil::CaptureStreams capture;
    EXPECT_FALSE(create_users(p.client, users)) << c.name;
    EXPECT_EQ(c.err, capture.err()) << c.name;
    EXPECT_EQ(c.replies.size(), p.server.requests().size()) << c.name;
  }
}

// Two records that end up with the login of the target application's own
// user: the first takes it over, the second must not delete the user the
// first has just become, and is created like a conflicting record.
TEST(CreateUsers, NeverTakesOverAUserThisRunCreated) {
  Peer p;
  std::vector<mig_user_info> users = Users({"anna", "anna"});
  users[0].target_owned = users[1].target_owned = true;
  p.Script({Created(), UserId("205"), Ok("deleteUser"), UserId("n"), Ok("changeLogin"),
            Fault("duplicateLogin"), Created()});
  testutil::CaptureStreams capture;
  ASSERT_TRUE(create_users(p.client, users));
  EXPECT_EQ((std::vector<std::string>{"createUser anna_101_tmp_migrate", "getUserId anna",
                                      "deleteUser 205", "getUserId anna_101_tmp_migrate",
                                      "changeLogin n", "createUser anna", "createUser anna1"}),
            Calls(p.server));
  EXPECT_EQ("MANGLED(anna:102): anna1\n", capture.out());
}

}  // namespace
