// The command line of tessad-standin; see standin_config.h.

#include "tools/standin/standin_config.h"

#include <climits>
#include <map>

namespace standin {

namespace {

const char kUsage[] =
    "Usage: tessad-standin --db FILE [options]\n"
    "\n"
    "A stand-in for a Tessad single-sign-on instance: the SOAP 1.2 service of\n"
    "idferry's service definition over HTTPS (or HTTP) on 127.0.0.1, with its\n"
    "applications, users and sessions in an SQLite file. It serves until it gets\n"
    "SIGTERM or SIGINT.\n"
    "\n"
    "  --db FILE             the SQLite store; created when absent\n"
    "  --seed FILE           load applications and users from FILE before\n"
    "                        listening, in one transaction; tab-separated lines:\n"
    "                          app ID NAME\n"
    "                          user ID LOGIN HASH_TYPE HASH APP_ID\n"
    "                          userpw ID LOGIN PASSWORD APP_ID\n"
    "                        fields may use \\t \\n \\r \\\\ and \\xHH; empty lines and\n"
    "                        lines starting with # are skipped\n"
    "  --port N              TCP port on 127.0.0.1; 0 (default) picks a free one\n"
    "  --port-file FILE      write the bound port to FILE (atomically) once ready\n"
    "  --tls-cert PEM_FILE   serve HTTPS with the certificate and key in PEM_FILE;\n"
    "                        clients are asked for a certificate, and its subject\n"
    "                        CN names the calling application. Without it: HTTP\n"
    "  --ca PEM_FILE         CA certificate and key under which registerApplication\n"
    "                        issues application certificates (default: self-signed)\n"
    "  --http-app APP_ID     the calling application of plain HTTP calls\n"
    "                        (default: none, so only getSettings and\n"
    "                        registerApplication are allowed)\n"
    "  --faults FILE         fault injection plan; tab-separated lines:\n"
    "                          OPERATION N fault Sender|Receiver SUBCODE|- REASON [DETAIL]\n"
    "                          OPERATION N http STATUS BODY [RETRY_AFTER]\n"
    "                          OPERATION N drop\n"
    "                          OPERATION N exit\n"
    "                        N is the call number of that operation (from 1) or *\n"
    "  --journal FILE        one tab-separated line per call: sequence number,\n"
    "                        start (monotonic clock, microseconds), operation,\n"
    "                        caller (or -), key fields, outcome (ok, the fault\n"
    "                        subcode, or injected)\n"
    "  --stats FILE          counters \"connections N\", \"handshakes N\", \"calls N\",\n"
    "                        rewritten whenever a connection opens or closes and at exit\n"
    "  --delay-us N          wait N microseconds before answering each call\n"
    "  --session-timeout N   users' session time-out in seconds (default 3600)\n"
    "  --relay-url URL       relay endpoint URL reported by getSettings\n"
    "                        (default: the stand-in's own URL followed by \"relay\")\n"
    "  --hash-types a,b,c    hash type names reported by getSettings\n"
    "                        (default SSHA-256, the stand-in's own scheme)\n"
    "  --help                show this text\n"
    "\n"
    "Once listening it prints \"listening on 127.0.0.1:PORT\".\n"
    "Exit status: 0 stopped by a signal, 1 cannot start (unusable file, port,\n"
    "certificate, seed or fault plan), 2 unusable command line, 70 an injected\n"
    "\"exit\".\n";

// A whole decimal number (with an optional minus sign) in [low, high].
bool parse_number(const std::string& text, long long low, long long high, long long* out) {
  std::size_t i = text.size() > 0 && text[0] == '-' ? 1 : 0;
  if (i == text.size() || text.size() > 19) return false;
  long long n = 0;
  for (; i < text.size(); ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    n = n * 10 + (text[i] - '0');
  }
  if (text[0] == '-') n = -n;
  if (n < low || n > high) return false;
  *out = n;
  return true;
}

}  // namespace

std::string usage_text() { return kUsage; }

ParseOutcome parse_command_line(const std::vector<std::string>& args, Config* config,
                                std::string* error) {
  std::map<std::string, std::string> values;
  static const char* const kOptions[] = {
      "--db",      "--seed",    "--port",     "--port-file",       "--tls-cert",
      "--ca",      "--http-app", "--faults",  "--journal",         "--stats",
      "--delay-us", "--session-timeout", "--relay-url", "--hash-types"};
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& arg = args[i];
    if (arg == "--help" || arg == "-h") return ParseOutcome::kHelp;
    std::string name = arg, value;
    bool inline_value = false;
    std::size_t eq = arg.find('=');
    if (arg.rfind("--", 0) == 0 && eq != std::string::npos) {
      name = arg.substr(0, eq);
      value = arg.substr(eq + 1);
      inline_value = true;
    }
    bool known = false;
    for (const char* o : kOptions) known = known || name == o;
    if (!known) {
      *error = arg.rfind("-", 0) == 0 ? "unknown option " + name
                                      : "unexpected argument \"" + arg + "\"";
      return ParseOutcome::kError;
    }
    if (!inline_value) {
      if (i + 1 >= args.size()) {
        *error = "option " + name + " needs a value";
        return ParseOutcome::kError;
      }
      value = args[++i];
    }
    values[name] = value;
  }

  auto take = [&](const char* name, std::string* into) {
    auto it = values.find(name);
    if (it != values.end()) *into = it->second;
    return it != values.end();
  };
  auto take_number = [&](const char* name, long long low, long long high, long long* into) {
    std::string text;
    if (!take(name, &text)) return true;
    if (parse_number(text, low, high, into)) return true;
    *error = std::string(name) + " needs a whole number from " + std::to_string(low) +
             " to " + std::to_string(high) + ", not \"" + text + "\"";
    return false;
  };

  if (!take("--db", &config->db_path) || config->db_path.empty()) {
    *error = "--db FILE is required";
    return ParseOutcome::kError;
  }
  take("--seed", &config->seed_path);
  take("--port-file", &config->port_file);
  take("--tls-cert", &config->tls_cert);
  take("--ca", &config->ca);
  take("--faults", &config->faults_path);
  take("--journal", &config->journal_path);
  take("--stats", &config->stats_path);
  take("--relay-url", &config->relay_url);
  std::string app;
  if (take("--http-app", &app)) config->http_app = app;

  long long port = config->port, timeout = config->session_timeout;
  if (!take_number("--port", 0, 65535, &port) ||
      !take_number("--delay-us", 0, 60000000, &config->delay_us) ||
      !take_number("--session-timeout", INT_MIN, INT_MAX, &timeout)) {
    return ParseOutcome::kError;
  }
  config->port = static_cast<int>(port);
  config->session_timeout = static_cast<int>(timeout);

  std::string types;
  if (take("--hash-types", &types)) {
    config->hash_types.clear();
    std::size_t from = 0;
    for (;;) {
      std::size_t comma = types.find(',', from);
      std::string t = types.substr(from, comma == std::string::npos ? comma : comma - from);
      if (t.empty()) {
        *error = "--hash-types needs names separated by commas, not \"" + types + "\"";
        return ParseOutcome::kError;
      }
      config->hash_types.push_back(t);
      if (comma == std::string::npos) break;
      from = comma + 1;
    }
  }
  return ParseOutcome::kRun;
}

}  // namespace standin
