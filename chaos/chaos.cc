// The randomized fault campaign (`make chaos`). A seed makes a migration on a
// pair of stand-ins, runs it once without faults, then on fresh stand-ins
// with faults in their answers and/or a signal to idferry, then --resume runs
// without faults until one succeeds; that one must leave the uninterrupted
// run's target (every user's id, login, owner, hash, type) and standard
// output. No run may exit 0 with another target, reach the time limit, write
// to the source, unregister it unless it succeeded with --cleanup (or was
// killed during its cleanup call, with every user on the target), or
// delete a user but a target application's user from before the migration.
// `idferry_chaos --seed N --verbose` replays a seed (up to thread timing).

#include <signal.h>
#include <string.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <random>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "test_support/standin_harness.h"
#include "test_support/test_util.h"
#include "tools/standin/standin_text.h"

#ifndef IDFERRY_BIN
#error "IDFERRY_BIN must name the built idferry"
#endif

namespace testutil {  // a helper that failed fails the current seed
std::vector<std::string> harness_errors;
void harness_failure(const std::string& what) { harness_errors.push_back(what); }
}  // namespace testutil

namespace {

using standin::UserRecord;
using testutil::StandinCall;
using testutil::StandinProcess;
using Clock = std::chrono::steady_clock;
using Strings = std::vector<std::string>;
constexpr int kResumes = 6, kLimitSeconds = 60;

struct Migration {
  std::vector<UserRecord> source, target;
  std::string mode, mapfile;
  bool cleanup = false, verify = false;
  int jobs = 1, retries = 0;  // of the runs with faults
  Strings plans[2];           // the source's and the target's fault plan
  int signal = 0, signal_at = 0;  // sent once the target's journal holds signal_at writes
};

struct Run {
  testutil::ProcResult r;
  std::string command;
  bool timed_out = false, signalled = false;
};

std::string esc(const std::string& s) { return standin::escape_field(s); }

// One line per user, sorted by id, so that runs with several jobs compare equal.
std::string users_text(std::vector<UserRecord> users) {
  std::sort(users.begin(), users.end(), [](auto& a, auto& b) { return a.id < b.id; });
  std::string s;
  for (const UserRecord& u : users) {
    s += esc(u.id) + " " + esc(u.login) + " " + u.owner + " " + u.hash_type + " " +
         u.password_hash + "\n";
  }
  return s;
}

bool is_write(const StandinCall& c) {
  return c.operation == "createUser" || c.operation == "deleteUser" || c.operation == "changeLogin";
}

Migration generate(std::mt19937_64& rng) {
  auto pick = [&](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
  auto chance = [&](unsigned percent) { return rng() % 100 < percent; };
  auto derive = [](const std::string& l, std::size_t k) {
    return l + (l.back() >= '0' && l.back() <= '9' ? "_" : "") + std::to_string(k);
  };
  const Strings bases = {"anna", "bob", "user7", "x9", "caf\xe9", "\xc3\xa9t\xc3\xa9", "lee"};
  auto some_login = [&] {  // anna, anna1, anna1_1, user7_2, ...
    std::string l = bases[pick(bases.size())];
    for (std::size_t d = pick(3); d > 0; --d) l = derive(l, 1 + pick(2));
    return l;
  };
  auto hash = [&] { return std::to_string(rng()); };
  Migration m;
  const std::size_t n = 3 + pick(23);
  std::set<std::string> logins;
  const char* types[] = {"SSHA-256", "MD5", "crypt"};
  for (std::size_t i = 0; i < n; ++i) {
    std::string login = chance(75) ? some_login() : "p" + std::to_string(i);
    if (!logins.insert(login).second) login = "p" + std::to_string(i);
    m.source.push_back({"s-" + std::to_string(i + 1), login, hash(), types[pick(3)], "app-src"});
  }
  std::set<std::string> held;
  auto hold = [&](const std::string& id, const std::string& login, const char* owner) {
    if (held.insert(login).second) m.target.push_back({id, login, hash(), "MD5", owner});
  };
  std::size_t special = n;  // its login is held by app-tgt under a later record's source id
  if (chance(30)) {
    special = pick(n - 1);
    hold(m.source[special + 1 + pick(n - 1 - special)].id, m.source[special].login, "app-tgt");
  }
  for (std::size_t k = 0, count = pick(n + 2); k < count; ++k) {
    const std::string& l = m.source[pick(n)].login;
    const std::string login = chance(60) ? l : chance(50) ? derive(l, 1 + pick(2)) : some_login();
    hold("t-" + std::to_string(k + 1), login, chance(65) ? "app-other" : "app-tgt");
  }
  m.mode = chance(50) ? "auto" : "map";
  for (std::size_t k = 0, pairs = m.mode == "map" ? 1 + pick(4) : 0; k < pairs; ++k) {
    const std::size_t from = pick(n);  // onto a source login, m0 or m1, or another
    const std::string to = chance(40)   ? m.source[pick(n)].login
                           : chance(50) ? "m" + std::to_string(pick(2))
                                        : some_login();
    if (from == special) continue;  // its takeover stays
    m.mapfile += m.source[from].login + (chance(20) ? "   " : " ") + to;
    m.mapfile += chance(15) ? "\r\n" : "\n";
  }
  if (m.mode == "map" && chance(30)) m.mapfile += "lonely\n";  // one word: ignored
  m.cleanup = chance(40);
  m.verify = chance(40);
  m.jobs = 1 + static_cast<int>(pick(8));
  m.retries = static_cast<int>(pick(4));
  return m;
}

// The fault plans and the signal, at calls the uninterrupted run made.
void plan_faults(std::mt19937_64& rng, Migration& m, const std::vector<StandinCall> (&calls)[2]) {
  const char* actions[] = {"drop", "lost", "reset", "cut", "torn", "http\t503\tdown",
                           "fault\tReceiver\t-\tchaos", "empty"};
  const std::size_t what = rng() % 3;  // faults, a signal, or both
  const auto writes = std::count_if(calls[1].begin(), calls[1].end(), is_write);
  for (std::size_t k = 0, faults = what == 1 ? 0 : 1 + rng() % 4; k < faults; ++k) {
    const std::vector<StandinCall>& c = calls[rng() % 2];
    if (c.empty()) continue;
    const bool at_write = &c == &calls[1] && writes > 0 && rng() % 2;  // half the target's
    std::size_t at = rng() % c.size();
    while (at_write && !is_write(c[at])) at = (at + 1) % c.size();
    std::size_t nth = 0;  // of the calls of that operation
    for (std::size_t i = 0; i <= at; ++i) nth += c[i].operation == c[at].operation;
    m.plans[&c == &calls[1]].push_back(c[at].operation + "\t" + std::to_string(nth) + "\t" +
                                       actions[rng() % 8]);
  }
  if (what != 0 && writes > 0) {
    m.signal = std::vector<int>{SIGKILL, SIGINT, SIGTERM}[rng() % 3];
    m.signal_at = 1 + static_cast<int>(rng() % writes);
  }
}

testutil::StandinOptions options(const Migration& m, int side, const Strings& faults) {
  testutil::StandinOptions o;
  o.apps = side ? Strings{"app-tgt", "app-other"} : Strings{"app-src"};
  for (const UserRecord& u : side ? m.target : m.source) {
    o.seed.push_back("user\t" + esc(u.id) + "\t" + esc(u.login) + "\t" + u.hash_type + "\t" +
                     u.password_hash + "\t" + u.owner);
  }
  o.faults = faults;
  return o;
}

// One idferry run, killed at the time limit; `faulty` runs take the seed's
// jobs and retries, and the first of them its signal.
Run run_idferry(const Migration& m, StandinProcess& s, StandinProcess& t, const std::string& map,
                bool faulty, bool resume, bool dry = false) {
  Strings argv = {IDFERRY_BIN, m.mode, "--app-from-cert", s.app_cert_file("app-src"),
                  "--app-to-cert", t.app_cert_file("app-tgt"), "--sso-from-url", s.url(),
                  "--sso-to-url", t.url(), "--jobs", std::to_string(faulty ? m.jobs : 1),
                  "--retries", std::to_string(faulty ? m.retries : 0)};
  if (m.mode == "map") argv.insert(argv.end(), {"--mapfile", map});
  if (m.cleanup) argv.push_back("--cleanup");
  if (m.verify) argv.push_back("--verify");
  if (resume) argv.push_back("--resume");
  if (dry) argv.push_back("--dry-run");
  Run run;
  for (const std::string& a : argv) run.command += (run.command.empty() ? "" : " ") + esc(a);
  const bool signal = faulty && !resume && m.signal != 0;
  const auto start = Clock::now();
  testutil::ProcOptions o;
  o.tick = [&](pid_t pid) {
    if (!run.timed_out && Clock::now() - start > std::chrono::seconds(kLimitSeconds)) {
      run.timed_out = true;
      ::kill(pid, SIGKILL);
    }
    if (!signal || run.signalled) return;
    const std::vector<StandinCall> calls = t.journal();
    if (std::count_if(calls.begin(), calls.end(), is_write) < m.signal_at) return;
    run.signalled = true;
    ::kill(pid, m.signal);
  };
  run.r = testutil::run_process(argv, o);
  return run;
}

// The lines of `a` that `b` lacks, each after a line break and `tag`.
std::string missing(const std::string& a, const std::string& b, const std::string& tag) {
  std::istringstream in(a);
  std::string d;
  for (std::string l; std::getline(in, l);) {
    if (("\n" + b).find("\n" + l + "\n") == std::string::npos) d += "\n    " + tag + l;
  }
  return d;
}

bool run_seed(std::uint64_t seed, bool verbose, const std::string& self) {
  testutil::harness_errors.clear();
  Strings failures;
  std::ostringstream log;
  auto show = [&](const std::string& name, const Run& r) {
    log << name << ": " << r.command << "\n  status " << r.r.status
        << (r.signalled ? " (signalled)" : "") << "\n  stdout:\n" << r.r.out << "  stderr:\n"
        << r.r.err;
  };
  std::mt19937_64 rng(seed);
  Migration m = generate(rng);
  testutil::TempDir dir;
  const std::string map = dir.write("map.txt", m.mapfile);

  Run base;  // the uninterrupted run
  std::string base_target;
  // A dry run on the same instances first (with the faulty runs' jobs, and
  // before a resume below) must foresee the run that follows it exactly, and
  // write nothing.
  auto dry_run = [&](StandinProcess& s, StandinProcess& t, bool resume, const std::string& name) {
    const std::string before = users_text(t.users());
    const Run dry = run_idferry(m, s, t, map, true, resume, true);
    show(name + " (dry run)", dry);
    if (users_text(t.users()) != before) failures.push_back(name + ": the dry run wrote");
    return dry;
  };
  auto foreseen = [&](const Run& dry, const Run& real, const std::string& name) {
    if (dry.r.out != real.r.out || dry.r.status != real.r.status) {
      failures.push_back(name + ": the dry run's status or output differs from the run's");
    }
  };
  {
    StandinProcess s(options(m, 0, {})), t(options(m, 1, {}));
    const Run dry = dry_run(s, t, false, "uninterrupted run");
    const std::size_t dry_calls[2] = {s.journal().size(), t.journal().size()};
    base = run_idferry(m, s, t, map, false, false);
    foreseen(dry, base, "uninterrupted run");
    s.stop();
    t.stop();
    base_target = users_text(t.users());
    std::vector<StandinCall> calls[2] = {s.journal(), t.journal()};  // the run's, not the dry run's
    for (int side : {0, 1}) calls[side].erase(calls[side].begin(), calls[side].begin() + dry_calls[side]);
    plan_faults(rng, m, calls);
  }
  log << "mode " << m.mode << (m.cleanup ? " --cleanup" : "") << (m.verify ? " --verify" : "")
      << ", --jobs " << m.jobs << " --retries " << m.retries << ", signal "
      << (m.signal ? strsignal(m.signal) : "none") << " at target write " << m.signal_at
      << "\nsource:\n" << users_text(m.source) << "target:\n" << users_text(m.target)
      << "mapfile: " << esc(m.mapfile) << "\n";
  for (const std::string& p : m.plans[0]) log << "source fault: " << esc(p) << "\n";
  for (const std::string& p : m.plans[1]) log << "target fault: " << esc(p) << "\n";
  show("uninterrupted run", base);
  if (base.timed_out) failures.push_back("the uninterrupted run reached the time limit");

  // The run with faults, then --resume runs until one succeeds.
  StandinProcess s(options(m, 0, m.plans[0])), t(options(m, 1, m.plans[1]));
  const std::string source_before = users_text(s.users());
  std::set<std::string> before, created;  // app-tgt's users before; users the runs created
  for (const UserRecord& u : m.target) {
    if (u.owner == "app-tgt") before.insert(u.id);
  }
  Run last;
  bool ended = false, unregistered = false;
  for (int k = 0; k <= kResumes && !ended && !unregistered; ++k) {
    if (k > 0) {
      s.restart({});
      t.restart({});
    }
    const std::string name = "run " + std::to_string(k + 1);
    const Run dry = k > 0 ? dry_run(s, t, true, name) : Run();
    last = run_idferry(m, s, t, map, true, k > 0);
    if (k > 0) foreseen(dry, last, name);
    s.stop();  // its calls under way are done
    t.stop();
    show(name, last);
    if (last.timed_out) failures.push_back(name + " reached the time limit");
    for (const StandinCall& c : s.journal()) {
      if (is_write(c) || c.operation == "changePassword") {
        failures.push_back(name + " wrote to the source: " + c.operation);
      }
    }
    for (const StandinCall& c : t.journal()) {
      if (c.operation == "createUser" && c.outcome == "ok") created.insert(c.keys.at(1));
      const bool deleted = c.operation == "deleteUser" && c.outcome != "injected";
      if (deleted && (!before.count(c.keys.at(0)) || created.count(c.keys.at(0)))) {
        failures.push_back(name + " deleted " + esc(c.keys[0]) +
                           ", no target application's user from before the migration");
      }
    }
    const std::string target = users_text(t.users());
    unregistered = true;
    for (const auto& a : s.applications()) unregistered &= a.id != "app-src";
    ended = last.r.status == 0 || (base.r.status != 0 && k > 0);
    // Only a run killed during its cleanup call may have unregistered the source and failed.
    const bool lost = last.signalled && m.signal == SIGKILL;
    if (unregistered && !(m.cleanup && (last.r.status == 0 || (lost && target == base_target)))) {
      failures.push_back(name + " unregistered the source");
    } else if (!unregistered && users_text(s.users()) != source_before) {
      failures.push_back(name + " changed the source's users");
    }
    if ((ended || unregistered) && target != base_target) {
      failures.push_back(name + " left another target than the uninterrupted run" +
                         missing(base_target, target, "expected ") +
                         missing(target, base_target, "found    "));
    }
    if ((ended || unregistered) && target.find("_tmp_migrate ") != std::string::npos) {
      failures.push_back(name + " left a temporary login");
    }
  }
  if (ended && last.r.status != base.r.status) {
    failures.push_back("the last run ended with status " + std::to_string(last.r.status) +
                       ", the uninterrupted run with " + std::to_string(base.r.status));
  } else if (ended && last.r.out != base.r.out) {
    failures.push_back("the last run's standard output differs from the uninterrupted run's");
  } else if (!ended && !unregistered) {
    const std::string& e = last.r.err;
    failures.push_back("no run succeeded in " + std::to_string(kResumes + 1) +
                       " runs; the last one said: " + e.substr(e.rfind('\n', e.size() - 2) + 1));
  }
  for (const std::string& e : testutil::harness_errors) failures.push_back("harness: " + e);

  if (verbose) std::cout << "---- seed " << seed << "\n" << log.str();
  std::cout << "seed " << seed << (failures.empty() ? ": passed\n" : ": FAILED\n");
  for (const std::string& f : failures) std::cout << "  " << f << "\n";
  if (!failures.empty()) std::cout << "  replay: " << self << " --seed " << seed << " --verbose\n";
  std::cout.flush();
  return failures.empty();
}

}  // namespace

int main(int argc, char** argv) {
  std::uint64_t first = 1, count = 100;
  bool verbose = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    if (a == "--verbose") {
      verbose = true;
    } else if (i + 1 < argc && (a == "--first" || a == "--count" || a == "--seed")) {
      (a == "--count" ? count : first) = std::stoull(argv[++i]);
      if (a == "--seed") count = 1;
    } else {
      std::cerr << "usage: idferry_chaos [--first N] [--count N] [--seed N] [--verbose]\n";
      return 2;
    }
  }
  int passed = 0, failed = 0;
  for (std::uint64_t seed = first; seed < first + count; ++seed) {
    ++(run_seed(seed, verbose, argv[0]) ? passed : failed);
  }
  std::cout << passed << " passed, " << failed << " failed" << std::endl;
  return failed ? 1 : 0;
}
