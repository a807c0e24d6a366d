// The floor of a migration's cost: the service calls that an idferry run
// makes, in the same order, made through the generated proxy on one
// keep-alive connection per instance, with no engine, no service client and
// no output around them. idferry's time divided by this one is what the
// program itself adds.
#ifndef IDFERRY_BENCH_MIGRATION_FLOOR_H_
#define IDFERRY_BENCH_MIGRATION_FLOOR_H_

#include <string>
#include <unordered_map>

namespace bench {

struct FloorRun {
  std::string mode;              // "check", "map" or "auto"
  std::string source_url, target_url;
  std::string source_cert_file;  // PEM file: certificate and key
  std::string target_cert_file;
  std::string target_app;        // the target application's id
  std::unordered_map<std::string, std::string> renames;  // map mode: old -> new login
};

// Makes the calls. False, with `error` set, when a call fails in a way the
// migration would not go on from.
bool run_floor(const FloorRun& run, std::string* error);

}  // namespace bench

#endif  // IDFERRY_BENCH_MIGRATION_FLOOR_H_
