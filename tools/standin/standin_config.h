// The command line of tessad-standin, a stand-in for a Tessad single-sign-on
// instance that tests, the demo and benchmarks run on one machine:
//
//   tessad-standin --db FILE [--seed FILE] [--port N] [--port-file FILE]
//                  [--tls-cert PEM_FILE] [--ca PEM_FILE] [--http-app APP_ID]
//                  [--faults FILE] [--journal FILE] [--stats FILE]
//                  [--delay-us N] [--session-timeout N] [--relay-url URL]
//                  [--hash-types a,b,c]
//
// Each option takes one value, as "--opt VALUE" or "--opt=VALUE"; a repeated
// option takes its last value. usage_text() explains each one; this unit only
// checks the syntax (numbers, required --db). Whether the files can be used
// is found out when the server starts (standin_server.h).
#ifndef IDFERRY_TOOLS_STANDIN_STANDIN_CONFIG_H_
#define IDFERRY_TOOLS_STANDIN_STANDIN_CONFIG_H_

#include <optional>
#include <string>
#include <vector>

namespace standin {

struct Config {
  std::string db_path;
  std::string seed_path;     // empty: no seeding
  int port = 0;              // 0: an ephemeral port
  std::string port_file;     // empty: none
  std::string tls_cert;      // empty: plain HTTP
  std::string ca;            // empty: registered applications get self-signed certificates
  std::optional<std::string> http_app;  // caller of plain HTTP calls
  std::string faults_path;   // empty: no fault injection
  std::string journal_path;  // empty: no journal
  std::string stats_path;    // empty: no stats file
  long long delay_us = 0;
  int session_timeout = 3600;
  std::string relay_url;     // empty: the stand-in's own URL followed by "relay"
  std::vector<std::string> hash_types{"SSHA-256"};
};

enum class ParseOutcome { kRun, kHelp, kError };

// Parses the arguments after the program name. kError comes with the reason
// in `error` (one line, no program name).
ParseOutcome parse_command_line(const std::vector<std::string>& args, Config* config,
                                std::string* error);

// The --help text.
std::string usage_text();

}  // namespace standin

#endif  // IDFERRY_TOOLS_STANDIN_STANDIN_CONFIG_H_
