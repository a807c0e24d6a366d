// idferry-appcert: the operator's tool for making application certificate
// files, the PEM files (certificate followed by unencrypted private key) that
// idferry presents to an SSO instance and takes the application identity
// from.
//
//   idferry-appcert NAME [--ca CA_PEM_FILE] [--server HOST] [--out FILE]
//
// The certificate's subject is "/CN=" and NAME; with --server it also names
// HOST as subjectAltName, so that it can serve an instance's TLS connections
// to clients that check the server's name. It is self-signed, or issued
// under the CA whose certificate and unencrypted key CA_PEM_FILE holds (for
// example a file made earlier by this tool: every certificate it makes may
// act as a CA). Without --out the file goes to standard output; with it the
// file is written with mode 0600, since it holds a private key, through a
// temporary file in the same directory that is renamed into place, so FILE
// is either left as it was or holds the complete new content.
//
// The whole tool is one function over explicit streams so that tests can run
// it in-process; appcert_main.cc only hands it the process's streams.
#ifndef IDFERRY_TOOLS_APPCERT_H_
#define IDFERRY_TOOLS_APPCERT_H_

#include <ostream>

// Exit statuses of the tool.
constexpr int kAppcertOk = 0;
constexpr int kAppcertFailed = 1;      // reading the CA, generating, writing
constexpr int kAppcertUsageError = 2;  // a command line that cannot be used

// Runs the tool over the command line (argv[0] is the program name). The
// certificate file or the usage text (--help) goes to `out`; an error goes to
// `err` as one line starting with "idferry-appcert: ". Returns the exit
// status.
int appcert_main(int argc, char** argv, std::ostream& out, std::ostream& err);

#endif  // IDFERRY_TOOLS_APPCERT_H_
