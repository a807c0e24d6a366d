// client_memory_bench: resident memory of one SSOClient over many calls.
//
// Starts a stand-in instance over HTTPS, makes the calls a migration makes
// most (a login lookup that succeeds, one that fails with a service fault, a
// password hash read) on one client, and prints this process's resident
// memory after each checkpoint. A client that kept every decoded response
// would grow with the number of calls; this one should stay flat.
//
// Usage: client_memory_bench [--calls N]...   (default checkpoints: 10000 100000)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#include "bench/bench_util.h"
#include "src/SSOClient/SSOClient.h"
#include "test_support/standin_harness.h"
#include "test_support/test_util.h"

int run(int argc, char** argv) {
  std::vector<long> checkpoints;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--calls") == 0 && i + 1 < argc) {
      checkpoints.push_back(std::atol(argv[++i]));
    } else {
      std::cerr << "usage: client_memory_bench [--calls N]...\n";
      return 2;
    }
  }
  if (checkpoints.empty()) checkpoints = {10000, 100000};

  testutil::StandinOptions options;
  options.apps = {"bench-app"};
  options.seed = {"userpw\tu-1\tanna\tsecret\tbench-app"};
  options.extra_args = {"--journal", "/dev/null"};
  testutil::StandinProcess sso(options);
  if (!sso.running()) {
    std::cerr << sso.log();
    return 1;
  }
  const std::string cert = testutil::app_cert_pem("bench-app");
  SSOClient client(sso.url(), &cert);

  std::cout << "calls      rss_kib    seconds\n";
  long made = 0;
  const double start = bench::now_seconds();
  std::string id, hash, type;
  for (long target : checkpoints) {
    while (made < target) {
      bool ok = true;
      switch (made % 3) {
        case 0: ok = client.getUserId("anna", id); break;
        case 1: ok = !client.getUserId("nobody-" + std::to_string(made), id); break;
        case 2: ok = client.getUserPassword("u-1", hash, type); break;
      }
      if (!ok) {
        std::cerr << "call " << made << " went wrong: " << client.getErrorMessage() << "\n";
        return 1;
      }
      ++made;
    }
    std::printf("%-10ld %-10ld %.2f\n", made, bench::rss_kib(), bench::now_seconds() - start);
    std::fflush(stdout);
  }
  testutil::StandinStats stats = sso.stats();
  std::cout << "connections " << stats.connections << ", TLS handshakes " << stats.handshakes
            << "\n";
  return 0;
}

int main(int argc, char** argv) { return bench::main_guarded(run, argc, argv); }
