// migration_bench: what a whole idferry run costs, against two stand-in
// instances over HTTPS on loopback, next to the floor (the same service
// calls with no program around them).
//
// For each mode and user count it seeds a fresh source (N users) and target
// (a share of the logins held by another application, a share by the target
// application itself), runs the Release idferry, then the floor on fresh
// instances, and prints one row. A second table adds a fixed delay to every
// call in the stand-ins (a simulated network round trip) and projects a
// million-user migration at 20 ms.
//
// Flags (all optional):
//   --users N,N,...     user counts of the main table (default 10000,100000)
//   --million           add 1000000 to the user counts
//   --modes m,m,...     modes to run (default auto,check,map)
//   --conflicts PCT     share of logins held by another application (default 5)
//   --owned PCT         share of logins held by the target application (default 5)
//   --delays MS,MS,...  round trips for the delay table (default 1,5; 0 skips it)
//   --delay-users N     user count of the delay table (default 1000)
//   --repeat N          run each row N times and keep the fastest idferry run and
//                       the fastest floor (shared machines are noisy; default 1)
//   --no-floor          skip the floor runs
//   --wrap "CMD ARGS"   run idferry under a profiler, e.g. --wrap "perf record -g -o idf.data"
//   --jobs-delay-users N     users of the --jobs table with delay (default 2000; 0 skips it)
//   --jobs-delay-ms MS       delay added to every call there (default 20)
//   --jobs-list N,N,...      --jobs values there (default 1,8,32,64)
//   --jobs-loopback-users N  users of the --jobs table without delay (default 100000; 0 skips)
//   --jobs-loopback N,N,...  --jobs values there (default 1,2,4)
//   --jobs-growth N,N        user counts of the growth row at --jobs 32 (default 10000,100000)
//   --jobs-memory            add auto at 1,000,000 users with --jobs 1 and 32 (peak memory)
//   --rate-users N           users of the --max-rate 500 row (default 2000; 0 skips it)
#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <memory>
#include <unordered_map>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "bench/migration_floor.h"
#include "test_support/standin_harness.h"
#include "test_support/test_util.h"

#ifndef IDFERRY_BIN
#error "IDFERRY_BIN must name the built idferry"
#endif

namespace {

struct Flags {
  std::vector<long> users = {10000, 100000};
  std::vector<std::string> modes = {"auto", "check", "map"};
  int conflicts = 5, owned = 5;
  std::vector<long> delays_ms = {1, 5};
  long delay_users = 1000;
  bool floor = true;
  int repeat = 1;
  std::vector<std::string> wrap;
  long jobs_delay_users = 2000, jobs_delay_ms = 20, jobs_loopback_users = 100000;
  std::vector<long> jobs_list = {1, 8, 32, 64}, jobs_loopback = {1, 2, 4};
  std::vector<long> jobs_growth = {10000, 100000};
  bool jobs_memory = false;
  long rate_users = 2000;
};

std::vector<long> numbers(const std::string& s);

std::vector<std::string> split(const std::string& s) {
  std::vector<std::string> out;
  std::stringstream in(s);
  std::string item;
  while (std::getline(in, item, ',')) out.push_back(item);
  return out;
}

std::vector<long> numbers(const std::string& s) {
  std::vector<long> out;
  for (const std::string& n : split(s)) out.push_back(std::atol(n.c_str()));
  return out;
}

bool parse_flags(int argc, char** argv, Flags* f) {
  for (int i = 1; i < argc; ++i) {
    std::string a = argv[i];
    auto value = [&]() -> std::string { return i + 1 < argc ? argv[++i] : ""; };
    if (a == "--users") {
      f->users.clear();
      for (const std::string& n : split(value())) f->users.push_back(std::atol(n.c_str()));
    } else if (a == "--million") {
      f->users.push_back(1000000);
    } else if (a == "--modes") {
      f->modes = split(value());
    } else if (a == "--conflicts") {
      f->conflicts = std::atoi(value().c_str());
    } else if (a == "--owned") {
      f->owned = std::atoi(value().c_str());
    } else if (a == "--delays") {
      f->delays_ms.clear();
      for (const std::string& n : split(value())) {
        if (std::atol(n.c_str()) > 0) f->delays_ms.push_back(std::atol(n.c_str()));
      }
    } else if (a == "--delay-users") {
      f->delay_users = std::atol(value().c_str());
    } else if (a == "--repeat") {
      f->repeat = std::atoi(value().c_str());
    } else if (a == "--jobs-delay-users") {
      f->jobs_delay_users = std::atol(value().c_str());
    } else if (a == "--jobs-delay-ms") {
      f->jobs_delay_ms = std::atol(value().c_str());
    } else if (a == "--jobs-list") {
      f->jobs_list = numbers(value());
    } else if (a == "--jobs-loopback-users") {
      f->jobs_loopback_users = std::atol(value().c_str());
    } else if (a == "--jobs-loopback") {
      f->jobs_loopback = numbers(value());
    } else if (a == "--jobs-growth") {
      f->jobs_growth = numbers(value());
    } else if (a == "--jobs-memory") {
      f->jobs_memory = true;
    } else if (a == "--rate-users") {
      f->rate_users = std::atol(value().c_str());
    } else if (a == "--no-floor") {
      f->floor = false;
    } else if (a == "--wrap") {
      std::stringstream words(value());
      std::string w;
      while (words >> w) f->wrap.push_back(w);
    } else {
      return false;
    }
  }
  return f->conflicts >= 0 && f->owned >= 0 && f->conflicts + f->owned <= 100 &&
         f->repeat >= 1;
}

// The two instances of one run, seeded for `users` source users. In map
// mode every source login is renamed by the mapfile, and the target's
// taken logins are the new ones.
struct Instances {
  Instances(const Flags& f, const std::string& mode, long users, long delay_us,
            bool journal = false) {
    const std::string taken_prefix = mode == "map" ? "member" : "user";
    testutil::StandinOptions s, t;
    s.apps = {"src-app"};
    t.apps = {"tgt-app", "other-app"};
    s.seed.reserve(users);
    char hash[96];
    for (long i = 1; i <= users; ++i) {
      std::snprintf(hash, sizeof hash, "%016lx$%064lx", i * 7919, i);
      const std::string n = std::to_string(i);
      s.seed.push_back("user\tsrc-" + n + "\tuser" + n + "\tSSHA-256\t" + hash + "\tsrc-app");
      const long slot = i % 100;
      if (slot < f.conflicts) {
        t.seed.push_back("user\tot-" + n + "\t" + taken_prefix + n + "\tSSHA-256\tx\tother-app");
      } else if (slot < f.conflicts + f.owned) {
        t.seed.push_back("user\ttt-" + n + "\t" + taken_prefix + n + "\tSSHA-256\tx\ttgt-app");
      }
    }
    for (testutil::StandinOptions* o : {&s, &t}) {
      o->delay_us = delay_us;
      o->start_timeout_ms = 600000;
      if (!journal) o->extra_args = {"--journal", ""};
    }
    source.reset(new testutil::StandinProcess(s));
    target.reset(new testutil::StandinProcess(t));
    if (!source->running() || !target->running()) {
      testutil::harness_failure("stand-ins did not start: " + source->log() + target->log());
    }
    if (mode == "map") {
      std::string text;
      text.reserve(users * 24);
      for (long i = 1; i <= users; ++i) {
        const std::string n = std::to_string(i);
        text += "user" + n + " member" + n + "\n";
      }
      mapfile = source->dir() + "/map.txt";
      testutil::write_file(mapfile, text);
    }
  }

  // The mapfile's renames, for the floor (made only then: this process
  // stays small while idferry's memory is measured).
  std::unordered_map<std::string, std::string> renames(long users) const {
    std::unordered_map<std::string, std::string> r;
    if (mapfile.empty()) return r;
    r.reserve(users);
    for (long i = 1; i <= users; ++i) r["user" + std::to_string(i)] = "member" + std::to_string(i);
    return r;
  }

  std::unique_ptr<testutil::StandinProcess> source, target;
  std::string mapfile;
};

struct Row {
  std::string mode;
  long users = 0;
  bench::Measured run;
  long calls = 0;
  testutil::StandinStats src, tgt;
  double standin_cpu = 0;
  double floor_wall = 0;
  double floor_cpu = 0;
  std::vector<testutil::StandinCall> src_calls, tgt_calls;  // with --max-rate only
};

Row run_one(const Flags& f, const std::string& mode, long users, long delay_us, long jobs = 1,
            long max_rate = 0) {
  Row row;
  row.mode = mode;
  row.users = users;
  {
    Instances in(f, mode, users, delay_us, max_rate > 0);
    std::vector<std::string> argv = {IDFERRY_BIN, mode,
                                     "--app-from-cert", in.source->app_cert_file("src-app"),
                                     "--app-to-cert", in.target->app_cert_file("tgt-app"),
                                     "--sso-from-url", in.source->url(),
                                     "--sso-to-url", in.target->url()};
    if (!in.mapfile.empty()) argv.push_back("--mapfile=" + in.mapfile);
    if (jobs > 1) argv.insert(argv.end(), {"--jobs", std::to_string(jobs)});
    if (max_rate > 0) argv.insert(argv.end(), {"--max-rate", std::to_string(max_rate)});
    argv.insert(argv.begin(), f.wrap.begin(), f.wrap.end());
    row.run = bench::run_measured(argv, in.source->dir() + "/out.txt",
                                  in.source->dir() + "/err.txt");
    const int expected = mode == "check" && f.conflicts > 0 ? 1 : 0;
    if (row.run.status != expected) {
      testutil::harness_failure("idferry " + mode + " ended with status " +
                                std::to_string(row.run.status) + ": " +
                                testutil::read_file(in.source->dir() + "/err.txt"));
    }
    row.standin_cpu = bench::process_cpu_seconds(in.source->pid()) +
                      bench::process_cpu_seconds(in.target->pid());
    in.source->stop();
    in.target->stop();
    row.src = in.source->stats();
    row.tgt = in.target->stats();
    row.calls = row.src.calls + row.tgt.calls;
    if (max_rate > 0) {
      row.src_calls = in.source->journal();
      row.tgt_calls = in.target->journal();
    }
  }
  if (f.floor) {
    Instances in(f, mode, users, delay_us);
    bench::FloorRun floor;
    floor.mode = mode;
    floor.source_url = in.source->url();
    floor.target_url = in.target->url();
    floor.source_cert_file = in.source->app_cert_file("src-app");
    floor.target_cert_file = in.target->app_cert_file("tgt-app");
    floor.target_app = "tgt-app";
    floor.renames = in.renames(users);
    std::string error;
    const double start = bench::now_seconds(), cpu_start = bench::self_cpu_seconds();
    if (!bench::run_floor(floor, &error)) testutil::harness_failure("floor: " + error);
    row.floor_wall = bench::now_seconds() - start;
    row.floor_cpu = bench::self_cpu_seconds() - cpu_start;
    in.source->stop();
    in.target->stop();
    const long floor_calls = in.source->stats().calls + in.target->stats().calls;
    if (floor_calls != row.calls) {
      std::printf("  (the floor made %ld calls, idferry %ld)\n", floor_calls, row.calls);
    }
  }
  return row;
}

// What one stand-in's journal says of the pace of its calls, the endpoint
// probe's left out (it comes long before the others on the target): "<calls
// per second from the first call's start to the last's> calls/s, at most <n>
// starting in one second".
std::string pace_of(const std::vector<testutil::StandinCall>& calls) {
  std::vector<long long> starts;
  for (const testutil::StandinCall& c : calls) {
    if (c.operation != "getSettings") starts.push_back(c.started_us);
  }
  std::sort(starts.begin(), starts.end());
  size_t most = 0;
  for (size_t i = 0, j = 0; j < starts.size(); ++j) {
    while (starts[j] - starts[i] >= 1000000) ++i;
    most = std::max(most, j - i + 1);
  }
  const double span = starts.size() > 1 ? (starts.back() - starts.front()) / 1e6 : 0;
  char text[96];
  std::snprintf(text, sizeof text, "%zu calls, %.1f calls/s, at most %zu starting in one second",
                starts.size(), span > 0 ? (starts.size() - 1) / span : 0.0, most);
  return text;
}

// auto with --jobs 32 --max-rate 500 and 20 ms added to every call: how fast
// each instance was called.
void rate_row(const Flags& f) {
  Flags once = f;
  once.floor = false;
  const Row r = run_one(once, "auto", f.rate_users, 20000, 32, 500);
  std::printf("\nauto --jobs 32 --max-rate 500, %ld users, 20 ms added to every call: %.2f s\n"
              "  source: %s\n  target: %s\n", f.rate_users, r.run.wall,
              pace_of(r.src_calls).c_str(), pace_of(r.tgt_calls).c_str());
  std::fflush(stdout);
}

// auto runs of `users` users with each --jobs value of `jobs`, one row each.
void jobs_table(const Flags& f, long users, long delay_ms, const std::vector<long>& jobs) {
  std::printf("\nauto with --jobs, %ld users, %ld ms added to every call\n", users, delay_ms);
  std::printf("%-5s %8s %9s %8s %8s %14s %9s %9s\n", "jobs", "wall_s", "users/s", "speedup",
              "rss_MiB", "1M_users_min", "src_c/h", "tgt_c/h");
  Flags once = f;
  once.floor = false;
  double base = 0;
  for (long j : jobs) {
    const Row r = run_one(once, "auto", users, delay_ms * 1000, j);
    const double rate = users / r.run.wall;
    if (base == 0) base = rate;
    char src[32], tgt[32];
    std::snprintf(src, sizeof src, "%lld/%lld", r.src.connections, r.src.handshakes);
    std::snprintf(tgt, sizeof tgt, "%lld/%lld", r.tgt.connections, r.tgt.handshakes);
    std::printf("%-5ld %8.2f %9.0f %8.2f %8.1f %14.1f %9s %9s\n", j, r.run.wall, rate, rate / base,
                r.run.peak_rss_kib / 1024.0, 1e6 / rate / 60, src, tgt);
    std::fflush(stdout);
  }
}

void jobs_tables(const Flags& f) {
  if (f.jobs_delay_users > 0) jobs_table(f, f.jobs_delay_users, f.jobs_delay_ms, f.jobs_list);
  if (f.jobs_loopback_users > 0) jobs_table(f, f.jobs_loopback_users, 0, f.jobs_loopback);
  if (f.jobs_growth.size() == 2) {
    Flags once = f;
    once.floor = false;
    const Row small = run_one(once, "auto", f.jobs_growth[0], 0, 32);
    const Row large = run_one(once, "auto", f.jobs_growth[1], 0, 32);
    std::printf("\nauto --jobs 32 on loopback: %ld users %.2f s, %ld users %.2f s: %ldx the users "
                "took %.2fx the wall time\n", small.users, small.run.wall, large.users,
                large.run.wall, large.users / small.users, large.run.wall / small.run.wall);
    std::fflush(stdout);
  }
  if (f.jobs_memory) {
    Flags once = f;
    once.floor = false;
    const Row one = run_one(once, "auto", 1000000, 0, 1);
    const Row many = run_one(once, "auto", 1000000, 0, 32);
    std::printf("\nauto, 1,000,000 users on loopback: --jobs 1 %.1f s, peak %.1f MiB; --jobs 32 "
                "%.1f s, peak %.1f MiB (%.3fx)\n", one.run.wall, one.run.peak_rss_kib / 1024.0,
                many.run.wall, many.run.peak_rss_kib / 1024.0,
                static_cast<double>(many.run.peak_rss_kib) / one.run.peak_rss_kib);
  }
}

}  // namespace

int run(int argc, char** argv) {
  Flags flags;
  if (!parse_flags(argc, argv, &flags)) {
    std::cerr << "usage: migration_bench [--users N,N] [--million] [--modes auto,check,map]\n"
                 "       [--conflicts PCT] [--owned PCT] [--delays MS,MS] [--delay-users N]\n"
                 "       [--repeat N] [--no-floor] [--wrap \"CMD ARGS\"] [--jobs-delay-users N]\n"
                 "       [--jobs-delay-ms MS] [--jobs-list N,N] [--jobs-loopback-users N]\n"
                 "       [--jobs-loopback N,N] [--jobs-growth N,N] [--jobs-memory]\n"
                 "       [--rate-users N]\n";
    return 2;
  }
  std::printf("idferry against two stand-in instances over HTTPS on loopback; %d%% of the "
              "logins held by another application, %d%% by the target application\n\n",
              flags.conflicts, flags.owned);
  std::printf("%-5s %8s %8s %9s %8s %7s %8s %9s %9s %8s %7s %6s %11s\n", "mode", "users",
              "wall_s", "users/s", "calls/s", "cpu_s", "rss_MiB", "src_c/h", "tgt_c/h", "floor_s",
              "f_cpu_s", "ratio", "sso_us/call");
  std::vector<Row> rows;
  for (const std::string& mode : flags.modes) {
    for (long users : flags.users) {
      Row r = run_one(flags, mode, users, 0);
      for (int i = 1; i < flags.repeat; ++i) {
        Row again = run_one(flags, mode, users, 0);
        if (again.floor_wall > 0 && (r.floor_wall == 0 || again.floor_wall < r.floor_wall)) {
          r.floor_wall = again.floor_wall;
          r.floor_cpu = again.floor_cpu;
        }
        if (again.run.wall < r.run.wall) {
          const double floor_wall = r.floor_wall, floor_cpu = r.floor_cpu;
          r = again;
          r.floor_wall = floor_wall;
          r.floor_cpu = floor_cpu;
        }
      }
      rows.push_back(r);
      char src[32], tgt[32], floor_s[16] = "-", floor_cpu[16] = "-", ratio[16] = "-";
      std::snprintf(src, sizeof src, "%lld/%lld", r.src.connections, r.src.handshakes);
      std::snprintf(tgt, sizeof tgt, "%lld/%lld", r.tgt.connections, r.tgt.handshakes);
      if (r.floor_wall > 0) {
        std::snprintf(floor_s, sizeof floor_s, "%.2f", r.floor_wall);
        std::snprintf(floor_cpu, sizeof floor_cpu, "%.2f", r.floor_cpu);
        std::snprintf(ratio, sizeof ratio, "%.3f", r.run.wall / r.floor_wall);
      }
      std::printf("%-5s %8ld %8.2f %9.0f %8.0f %7.2f %8.1f %9s %9s %8s %7s %6s %11.1f\n",
                  r.mode.c_str(), r.users, r.run.wall, r.users / r.run.wall, r.calls / r.run.wall,
                  r.run.cpu, r.run.peak_rss_kib / 1024.0, src, tgt, floor_s, floor_cpu, ratio,
                  1e6 * r.standin_cpu / static_cast<double>(r.calls));
      std::fflush(stdout);
    }
  }
  std::printf("\nsrc_c/h, tgt_c/h: connections / TLS handshakes on each instance (idferry "
              "makes two clients per instance: the endpoint probe and the migration client)\n"
              "floor_s, f_cpu_s: wall and CPU time of the floor (the same calls through the bare "
              "proxy)\nratio: idferry's wall time / the floor's; sso_us/call: both stand-ins' CPU "
              "per call\n");

  // Growth from the smallest to the largest user count, per mode.
  for (const std::string& mode : flags.modes) {
    const Row* small = nullptr;
    const Row* large = nullptr;
    for (const Row& r : rows) {
      if (r.mode != mode) continue;
      if (!small || r.users < small->users) small = &r;
      if (!large || r.users > large->users) large = &r;
    }
    if (small && large && large->users > small->users) {
      std::printf("%s: %ldx the users took %.2fx the wall time\n", mode.c_str(),
                  large->users / small->users, large->run.wall / small->run.wall);
    }
  }

  if (!flags.delays_ms.empty()) {
    const Row* base = nullptr;
    for (const Row& r : rows) {
      if (r.mode == "auto" && (!base || r.users > base->users)) base = &r;
    }
    std::printf("\nauto with a fixed delay on every call, %ld users\n", flags.delay_users);
    std::printf("%-9s %8s %8s %12s\n", "delay_ms", "wall_s", "calls", "ms/call");
    for (long d : flags.delays_ms) {
      Flags once = flags;
      once.floor = false;
      Row r = run_one(once, "auto", flags.delay_users, d * 1000);
      std::printf("%-9ld %8.2f %8ld %12.3f\n", d, r.run.wall, r.calls, 1e3 * r.run.wall / r.calls);
      std::fflush(stdout);
    }
    if (base) {
      const double calls_per_user = static_cast<double>(base->calls) / base->users;
      const double per_call = base->run.wall / base->calls;
      const double seconds = 1e6 * calls_per_user * (0.020 + per_call);
      std::printf("projected 1,000,000-user auto migration at a 20 ms round trip: %.1f hours "
                  "(%.2f calls per user, %.3f ms per call without delay)\n",
                  seconds / 3600, calls_per_user, per_call * 1e3);
    }
  }
  jobs_tables(flags);
  if (flags.rate_users > 0) rate_row(flags);
  return 0;
}

int main(int argc, char** argv) { return bench::main_guarded(run, argc, argv); }
