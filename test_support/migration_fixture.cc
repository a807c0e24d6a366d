#include "test_support/migration_fixture.h"

#include <gtest/gtest.h>

#include "src/SSOClient/SSOClient.h"

#ifndef IDFERRY_BIN
#error "IDFERRY_BIN must name the built idferry"
#endif

namespace testutil {

const std::vector<std::vector<std::string>> kSourceUsers = {
    {"s-1", "anna", "pw-anna"},   {"s-2", "bob", "pw-bob"},     {"s-3", "user7", "pw-user7"},
    {"s-4", "anna1", "pw-anna1"}, {"s-5", "dave", "pw-dave"},
};

Migration::Migration(std::vector<std::string> source_faults,
                     std::vector<std::string> target_faults, bool plain_target,
                     const std::vector<std::vector<std::string>>& users) {
  StandinOptions s;
  s.apps = {"app-src"};
  for (const auto& u : users) {
    s.seed.push_back("userpw\t" + u[0] + "\t" + u[1] + "\t" + u[2] + "\tapp-src");
  }
  s.faults = source_faults;
  StandinOptions t;
  t.apps = {"app-tgt", "app-other"};
  if (!plain_target) {
    t.seed = {"userpw\tt-anna\tanna\tx\tapp-other", "userpw\tt-bob\tbob\told-bob\tapp-tgt",
              "userpw\tt-user7\tuser7\tx\tapp-other"};
  }
  t.faults = target_faults;
  source = std::make_unique<StandinProcess>(s);
  target = std::make_unique<StandinProcess>(t);
  from_cert = source->app_cert_file("app-src");
  to_cert = target->app_cert_file("app-tgt");
  source_before = source->users();
  target_before = target->users();
}

ProcResult Migration::Run(const std::string& mode, std::vector<std::string> extra) const {
  std::vector<std::string> args = {IDFERRY_BIN,     mode,          "--app-from-cert",
                                   from_cert,       "--app-to-cert", to_cert,
                                   "--sso-from-url", source->url(),  "--sso-to-url",
                                   target->url()};
  args.insert(args.end(), extra.begin(), extra.end());
  return run_process(args);
}

std::map<std::string, standin::UserRecord> Migration::Migrated() const {
  std::map<std::string, standin::UserRecord> m;
  for (const standin::UserRecord& u : target->users()) {
    if (u.owner == "app-tgt") m[u.login] = u;
  }
  return m;
}

std::vector<std::string> Migration::Operations(const StandinProcess& p) {
  std::vector<std::string> ops;
  for (const StandinCall& c : p.journal()) ops.push_back(c.operation);
  return ops;
}

void ExpectComplete(const Migration& m, const std::map<std::string, std::string>& login_to_id) {
  std::map<std::string, standin::UserRecord> source_by_id;
  for (const standin::UserRecord& u : m.source_before) source_by_id[u.id] = u;
  std::map<std::string, standin::UserRecord> migrated = m.Migrated();
  for (const auto& [login, id] : login_to_id) {
    ASSERT_TRUE(migrated.count(login)) << login;
    const standin::UserRecord& got = migrated[login];
    EXPECT_EQ(id, got.id) << login;
    EXPECT_EQ(source_by_id[id].password_hash, got.password_hash) << login;
    EXPECT_EQ(source_by_id[id].hash_type, got.hash_type) << login;
  }
}

void ExpectMigrated(const Migration& m, const std::map<std::string, std::string>& login_to_id) {
  ExpectComplete(m, login_to_id);
  const std::string cert = app_cert_pem("app-tgt");
  SSOClient target(m.target->url(), &cert);
  for (const auto& [login, id] : login_to_id) {
    std::string password;
    for (const auto& u : kSourceUsers) {
      if (u[0] == id) password = u[2];
    }
    EXPECT_FALSE(target.authenticate(login, password)) << login << " cannot log in";
  }
}

}  // namespace testutil
