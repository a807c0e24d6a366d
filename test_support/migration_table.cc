#include "test_support/migration_table.h"

#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <map>
#include <set>

#include <gtest/gtest.h>

#include "cert/cert_gen.h"
#include "src/SSOClient/SSOClient.h"
#include "test_support/standin_harness.h"
#include "test_support/test_util.h"
#include "tools/standin/standin_text.h"

#ifndef IDFERRY_BIN
#error "IDFERRY_BIN must name the built idferry"
#endif

namespace testutil {

const std::vector<SourceUser> kSource = {
    {"s-1", "anna"}, {"s-2", "bob"}, {"s-3", "user7"}, {"s-4", "anna1"}, {"s-5", "dave"}};
const std::vector<TargetUser> kTarget = {
    {"t-anna", "anna", "app-other"}, {"t-bob", "bob", "app-tgt"}, {"t-user7", "user7", "app-other"}};
const char kMigrated[] = "anna1=s-1 anna1_1=s-4 bob=s-2 dave=s-5 user7_1=s-3";

namespace {

std::string migrated_of(const std::vector<standin::UserRecord>& users) {
  std::map<std::string, std::string> found;
  for (const auto& u : users) {
    if (u.owner == "app-tgt") found[u.login] = u.id;
  }
  std::string s;
  for (const auto& [login, id] : found) s += (s.empty() ? "" : " ") + login + "=" + id;
  return s;
}

std::set<std::string> others_of(const std::vector<standin::UserRecord>& users) {
  std::set<std::string> s;
  for (const auto& u : users) {
    if (u.owner != "app-tgt") s.insert(u.login + " " + u.id + " " + u.owner);
  }
  return s;
}

// The files and URLs a row's placeholders stand for, made on first use.
struct Places {
  TempDir dir;
  std::map<std::string, std::string> made;
  const RunRow* row;
  StandinProcess *source, *target;

  std::string get(const std::string& name) {
    if (name == "src") return source->url();
    if (name == "tgt") return target->url();
    if (name == "help") {
      static const std::string help = run_process({IDFERRY_BIN, "--help"}).out;
      return help;
    }
    auto it = made.find(name);
    if (it != made.end()) return it->second;
    std::string path = dir.file(name);
    if (name == "map") dir.write(name, row->mapfile);
    if (name == "from") path = source->app_cert_file("app-src");
    if (name == "to") path = target->app_cert_file("app-tgt");
    if (name == "dead") path = "https://127.0.0.1:1/";
    if (name == "dir") path = dir.path();
    if (name == "fifo") mkfifo(path.c_str(), 0600);
    if (name == "huge" && truncate(dir.write(name, "x").c_str(), (1LL << 30) + 1) != 0) ADD_FAILURE();
    if (name == "empty") dir.write(name, "");
    if (name == "binary") dir.write(name, std::string(4096, '\x93'));
    if (name == "nocn") dir.write(name, self_signed_pem({{"O", "Brelmont"}}));
    if (name == "garbage") dir.write(name, "-----BEGIN CERTIFICATE-----\nxyz\n");
    if (name == "enc") dir.write(name, with_encrypted_key(app_cert_pem("app-src"), "secret"));
    if (name == "report") path = dir.file("report.csv");
    if (name == "ca") dir.write(name, test_ca_pem().substr(0, test_ca_pem().find("-----BEGIN PRIVATE")));
    return made[name] = path;
  }

  std::string expand(std::string arg) {
    for (size_t open = 0; (open = arg.find('{', open)) != std::string::npos;) {
      const size_t close = arg.find('}', open);
      if (close == std::string::npos) break;
      const std::string value = get(arg.substr(open + 1, close - open - 1));
      arg.replace(open, close - open + 1, value);
      open += value.size();
    }
    return arg;
  }
};

struct Run {
  bool first;  // the row's own run, not the resumed one
  std::vector<std::string> args;
  int status;
  std::string out, err, migrated;
};

// Runs idferry with `run.args` and checks what the module comment says.
void run_and_check(const RunRow& row, const Run& run, Places& places,
                   const std::vector<standin::UserRecord>& source_before,
                   const std::vector<standin::UserRecord>& target_before) {
  StandinProcess& source = *places.source;
  StandinProcess& target = *places.target;
  std::vector<std::string> argv = {IDFERRY_BIN};
  for (const std::string& a : run.args) argv.push_back(places.expand(a));
  const char* standard[][2] = {{"--app-from-cert", "{from}"}, {"--app-to-cert", "{to}"},
                               {"--sso-from-url", "{src}"}, {"--sso-to-url", "{tgt}"}};
  for (const auto& [option, value] : standard) {
    if (std::find(run.args.begin(), run.args.end(), option) == run.args.end()) {
      argv.insert(argv.end(), {option, places.expand(value)});
    }
  }
  ProcOptions proc;
  const bool first = run.first;
  if (first) proc.out = row.out_to;
  if (first) proc.err_tty = row.err_tty;
  if (first && !row.interrupt.empty()) {
    // "OP:N[:2]": SIGINT (twice) once the target's journal holds N calls of OP.
    const size_t colon = row.interrupt.find(':');
    const std::string op = row.interrupt.substr(0, colon);
    const int n = std::atoi(row.interrupt.c_str() + colon + 1);
    const bool twice = row.interrupt.find(':', colon + 1) != std::string::npos;
    // Signals sent together may arrive as one: the second comes a tick later.
    proc.tick = [&, op, n, twice, sent = 0](pid_t pid) mutable {
      if (sent == 0) {
        int seen = 0;
        StandinProcess& watched = op == "unregisterApplication" ? source : target;
        for (const StandinCall& c : watched.journal()) seen += c.operation == op;
        if (seen < n) return;
      } else if (sent == 2 || !twice) {
        return;
      }
      ++sent;
      ::kill(pid, SIGINT);
    };
  }
  const ProcResult r = run_process(argv, proc);

  std::string got_err = r.err;
  if (proc.err_tty) {
    size_t draws = 0;
    for (size_t cr; (cr = got_err.find('\r')) != std::string::npos; ++draws) {
      const size_t end = got_err.find("\033[K", cr);
      ASSERT_NE(std::string::npos, end) << r.err;
      // A drawn line is erased or redrawn before anything else is written.
      if (end > cr + 1 && end + 3 < got_err.size()) {
        EXPECT_EQ('\r', got_err[end + 3]) << r.err;
      }
      got_err.erase(cr, end + 3 - cr);
    }
    EXPECT_EQ(std::count(run.args.begin(), run.args.end(), "--progress") > 0, draws > 0) << r.err;
  }
  const std::string out = places.expand(run.out), err = places.expand(run.err);
  EXPECT_EQ(run.status, r.status) << r.err;
  if (out != "?") {
    EXPECT_EQ(out, r.out);
  }
  if (err == "?") {
  } else if (!err.empty() && err.back() == '*') {
    const std::string prefix = err.substr(0, err.size() - 1);
    EXPECT_EQ(prefix, got_err.substr(0, prefix.size()));
    EXPECT_EQ(1, std::count(got_err.begin() + std::min(prefix.size(), got_err.size()),
                            got_err.end(), '\n')) << got_err;
  } else {
    EXPECT_EQ(err, got_err);
  }
  const bool dry = std::count(run.args.begin(), run.args.end(), "--dry-run") > 0;
  if (row.report == "=") {  // the second run's report is the first one's
    const std::string text = read_file(places.get("report"));
    if (first) places.made["first report"] = text;
    EXPECT_EQ(places.made["first report"], text);
    EXPECT_NE("", text);
  } else if (first && !row.report.empty()) {
    const std::string report = places.get("report");
    struct stat st {};
    const bool made = stat(report.c_str(), &st) == 0;
    EXPECT_EQ(row.report != "absent", made);
    if (made) {
      EXPECT_EQ(0600u, st.st_mode & 0777);
      EXPECT_EQ(places.expand(row.report), read_file(report));
    }
    size_t files = 0;  // the report, the temporary file, and the row's own files
    for (const auto& e : std::filesystem::directory_iterator(places.dir.path())) {
      files += e.path().string().rfind(report, 0) == 0;
    }
    EXPECT_EQ(made ? 1u : 0u, files);
  }

  // --max-rate N: on neither instance more than N of the run's calls start in any one second.
  const auto cap = std::find(run.args.begin(), run.args.end(), "--max-rate");
  for (const StandinProcess* p : {&source, &target}) {
    std::vector<long long> starts;
    for (const StandinCall& c : p->journal()) starts.push_back(c.started_us);
    std::sort(starts.begin(), starts.end());
    const size_t n = cap == run.args.end() ? starts.size() : std::stoul(cap[1]);
    for (size_t i = 0; i + n < starts.size(); ++i) {
      EXPECT_LE(1000000, starts[i + n] - starts[i]) << "calls " << i << " to " << i + n;
    }
  }
  if (first && row.overlapped) {
    long long first_lookup = LLONG_MAX, last_read = 0;
    for (const StandinCall& c : target.journal()) {
      if (c.operation == "getUserId") first_lookup = std::min(first_lookup, c.started_us);
    }
    for (const StandinCall& c : source.journal()) {
      if (c.operation == "getUserPassword") last_read = std::max(last_read, c.started_us);
    }
    EXPECT_LT(first_lookup, last_read);
  }
  const std::vector<standin::UserRecord> after = target.users();
  if (run.migrated != "?") {
    EXPECT_EQ(run.migrated, migrated_of(after));
  }
  EXPECT_EQ(others_of(target_before), others_of(after));
  std::map<std::string, standin::UserRecord> by_id;
  for (const auto& u : source_before) by_id[u.id] = u;
  for (const auto& u : target_before) by_id.erase(u.id);  // not made by the run
  const bool migrated_all = r.status == 0 && run.args[0] != "check";
  const std::string to_cert = app_cert_pem("app-tgt");
  SSOClient login_check(target.url(), &to_cert);
  for (const std::string& f : row.target_faults) {  // a hash or type changed behind its back
    std::vector<std::string> field;
    for (size_t at = 0, tab; at <= f.size(); at = tab + 1) {
      field.push_back(f.substr(at, (tab = std::min(f.find('\t', at), f.size())) - at));
    }
    if (field.size() > 4 && field[2] == "alter" && field[4] != "login") by_id.erase(field[3]);
  }
  for (const auto& u : after) {
    if (u.owner != "app-tgt" || !by_id.count(u.id)) continue;
    EXPECT_EQ(by_id[u.id].password_hash, u.password_hash) << u.login;
    EXPECT_EQ(by_id[u.id].hash_type, u.hash_type) << u.login;
    EXPECT_TRUE(!migrated_all || !login_check.authenticate(u.login, "pw-" + u.id)) << u.login;
  }

  bool registered = false;
  for (const auto& a : source.applications()) registered |= a.id == "app-src";
  const bool cleanup = std::count(run.args.begin(), run.args.end(), "--cleanup") ||
                       std::count(run.args.begin(), run.args.end(), "-c");
  EXPECT_EQ(!(cleanup && r.status == 0 && !dry), registered);
  EXPECT_TRUE(!registered || others_of(source_before) == others_of(source.users()));

  if (run.args[0] == "check" || dry) {  // reads only; hashes only in a dry run
    for (const StandinProcess* p : {&source, &target}) {
      for (const StandinCall& c : p->journal()) {
        EXPECT_TRUE(c.operation == "getSettings" || c.operation == "listUsers" ||
                    c.operation == "getUserId" || c.operation == "getUser" ||
                    (dry && c.operation == "getUserPassword")) << c.operation;
      }
    }
  }
  if (first && !row.target_writes.empty()) {
    std::string writes;
    for (const StandinCall& c : target.journal()) {
      if (c.operation == "createUser" || c.operation == "deleteUser" ||
          c.operation == "changeLogin") {
        writes += (writes.empty() ? "" : " ") + c.operation + ":" + c.keys.at(0);
      }
    }
    EXPECT_EQ(row.target_writes, writes);
  }

  // Secrets: password hashes and each line of both private keys.
  std::vector<std::string> secrets;
  for (const auto& u : source_before) {
    secrets.push_back(u.password_hash);
    secrets.push_back(u.password_hash.substr(u.password_hash.find('$') + 1));
  }
  for (const char* app : {"app-src", "app-tgt"}) {
    const std::string& pem = app_cert_pem(app);
    for (size_t pos = pem.find("PRIVATE KEY-----\n") + 17, end;
         (end = pem.find('\n', pos)) != std::string::npos && pem[pos] != '-'; pos = end + 1) {
      secrets.push_back(pem.substr(pos, end - pos));
    }
  }
  for (const std::string& secret : secrets) {
    EXPECT_EQ(std::string::npos, (r.out + r.err).find(secret)) << secret;
  }
}

void run_row(const RunRow& row) {
  SCOPED_TRACE(row.name);
  StandinOptions s, t;
  s.apps = {"app-src"};
  for (const SourceUser& u : row.source) {
    s.seed.push_back("userpw\t" + u.id + "\t" + standin::escape_field(u.login) + "\tpw-" + u.id +
                     "\tapp-src");
  }
  s.faults = row.source_faults;
  s.delay_us = row.source_delay_us;
  StandinProcess source(s);
  std::map<std::string, standin::UserRecord> source_users;
  for (const auto& u : source.users()) source_users[u.id] = u;
  t.apps = {"app-tgt", "app-other"};
  for (const TargetUser& u : row.target) {
    if (u.owner != "app-tgt" && u.owner != "app-other") t.apps.push_back(u.owner);
    const standin::UserRecord& made = source_users[u.hash_of];
    t.seed.push_back(u.hash_of.empty()
                         ? "userpw\t" + u.id + "\t" + standin::escape_field(u.login) + "\tx\t" + u.owner
                         : "user\t" + u.id + "\t" + standin::escape_field(u.login) + "\t" +
                               standin::escape_field(u.type.empty() ? made.hash_type : u.type) + "\t" +
                               standin::escape_field(made.password_hash) + "\t" + u.owner);
  }
  t.faults = row.target_faults;
  t.delay_us = row.target_delay_us;
  if (!row.target_server.empty()) {
    std::string cert, key;
    const std::string& ca = app_cert_pem(row.target_server == "other CA" ? "another CA" : "tessad-standin test CA");
    const std::string host = row.target_server == "other CA" ? "127.0.0.1" : "sso.example.org";
    EXPECT_EQ(0, gen_server_certificate("srv", host, cert, key, &ca));
    t.server_pem = cert + key;
  }
  StandinProcess target(t);
  ASSERT_TRUE(source.running() && target.running());
  const std::vector<standin::UserRecord> source_before = source.users();
  const std::vector<standin::UserRecord> target_before = target.users();
  Places places{{}, {}, &row, &source, &target};
  run_and_check(row, {true, row.args, row.status, row.out, row.err, row.migrated}, places,
                source_before, target_before);
  if (row.resume_args.empty()) return;
  SCOPED_TRACE("the second run");
  source.restart({});
  target.restart({});
  ASSERT_TRUE(source.running() && target.running());
  run_and_check(row, {false, row.resume_args, row.resume_status, row.resume_out, row.resume_err, row.resumed}, places,
                source_before, target_before);
}

}  // namespace

void run_rows(const std::vector<RunRow>& rows) {
  for (const RunRow& row : rows) run_row(row);
}

}  // namespace testutil
