// Fuzzes the certificate path of a run: the input is written to a file,
// read back with load_file as the run reads an application certificate file,
// and handed to every reader of the certificate library. Besides what the
// sanitizers catch, the results must agree with each other: a text without a
// readable certificate fails everywhere, and one with a certificate has a
// fingerprint and an identity that is part of its subject.
#include <stddef.h>
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <unistd.h>

#include <stdexcept>
#include <string>

#include <openssl/evp.h>
#include <openssl/x509.h>

#include "cert/cert_inspect.h"
#include "src/context.h"

namespace {

// The passphrase offered for encrypted keys; never null, so OpenSSL never
// asks at the terminal.
const char kPassphrase[] = "fuzz";

std::string scratch_path;

[[noreturn]] void fail(const char* what) {
  fprintf(stderr, "cert_fuzz: %s\n", what);
  abort();
}

void remove_scratch() {
  if (!scratch_path.empty()) unlink(scratch_path.c_str());
}

void write_scratch(const uint8_t* data, size_t size) {
  FILE* f = fopen(scratch_path.c_str(), "wb");
  if (f == nullptr) fail("cannot write the scratch file");
  if (size > 0 && fwrite(data, 1, size, f) != size) fail("cannot write the scratch file");
  if (fclose(f) != 0) fail("cannot write the scratch file");
}

bool is_hex_digit(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// "XX:XX:...:XX", twenty bytes.
bool is_sha1_fingerprint(const std::string& fp) {
  if (fp.size() != 59) return false;
  for (size_t i = 0; i < fp.size(); ++i) {
    if (i % 3 == 2 ? fp[i] != ':' : !is_hex_digit(fp[i])) return false;
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const char* dir = getenv("TMPDIR");
  std::string path = std::string(dir != nullptr && *dir != '\0' ? dir : "/tmp") +
                     "/cert_fuzz.XXXXXX";
  int fd = mkstemp(&path[0]);
  if (fd < 0) fail("cannot make the scratch file");
  close(fd);
  scratch_path = path;
  atexit(remove_scratch);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  write_scratch(data, size);
  std::string text;
  if (!load_file(scratch_path, text)) fail("load_file failed on a regular file");
  // load_file gives back the bytes, without the line feeds at the very start.
  size_t skip = 0;
  while (skip < size && data[skip] == '\n') ++skip;
  if (text != std::string(reinterpret_cast<const char*>(data) + skip, size - skip)) {
    fail("load_file changed the text");
  }

  X509* cert = extract_certificate(text.c_str());
  EVP_PKEY* key = open_private_key(text.c_str(), kPassphrase);
  const bool has_cert = cert != nullptr;
  X509_free(cert);
  EVP_PKEY_free(key);

  std::string app_id;
  bool has_app_id = false;
  try {
    app_id = get_app_id_from_cert(text);
    has_app_id = true;
  } catch (const std::runtime_error&) {
  }

  std::string subject, issuer;
  const int64_t serial = get_certificate_names(text, &subject, &issuer);
  std::string fp;
  const int fp_result = get_certificate_fp(text, fp);
  const int time_result = check_certificate_time(text);
  const int verify_result = verify_certificate(text, text);

  if (time_result < -1 || time_result > 1) fail("check_certificate_time out of range");
  if (verify_result < -1 || verify_result > 1) fail("verify_certificate out of range");
  if (!has_cert) {
    if (has_app_id) fail("an identity without a certificate");
    if (serial != -1 || fp_result != -1 || time_result != -1 || verify_result != -1) {
      fail("a result other than -1 without a certificate");
    }
    return 0;
  }
  if (time_result == -1) fail("check_certificate_time found no certificate");
  if (fp_result != 0 || !is_sha1_fingerprint(fp)) fail("no SHA-1 fingerprint");
  if (serial != -1 && has_app_id && subject.find("/CN=" + app_id) == std::string::npos) {
    fail("identity not found in the subject");
  }
  return 0;
}
