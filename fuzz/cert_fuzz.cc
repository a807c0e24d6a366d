// Fuzzes certificate files: the input, read back from a file with load_file,
// goes to every reader of the certificate library, whose results must agree:
// without a readable certificate all fail; with one there is a fingerprint,
// and an identity is part of the subject.
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <regex>
#include <stdexcept>
#include <string>

#include "cert/cert_inspect.h"
#include "fuzz/fuzz_util.h"
#include "src/context.h"

std::string scratch_path = "/tmp/cert_fuzz.XXXXXX";  // the input as a file

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  const int fd = mkstemp(&scratch_path[0]);
  if (fd < 0) fuzz::fail("cannot make the scratch file");
  close(fd);
  atexit([] { unlink(scratch_path.c_str()); });
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string input = fuzz::text_of(data, size);
  std::string text;
  if (!(std::ofstream(scratch_path, std::ios::binary) << input)) fuzz::fail("cannot write");
  if (!load_file(scratch_path, text)) fuzz::fail("load_file failed on a regular file");
  // load_file gives back the bytes, without the line feeds at the very start.
  if (text != input.substr(std::min(input.find_first_not_of('\n'), input.size()))) {
    fuzz::fail("load_file changed the text");
  }

  X509* cert = extract_certificate(text.c_str());
  const bool has_cert = cert != nullptr;
  X509_free(cert);
  EVP_PKEY_free(open_private_key(text.c_str(), "fuzz"));  // never null: no prompt
  std::string app_id, subject, issuer, fp;
  bool has_app_id = false;
  try {
    app_id = get_app_id_from_cert(text);
    has_app_id = true;
  } catch (const std::runtime_error&) {
  }
  const int64_t serial = get_certificate_names(text, &subject, &issuer);
  const int fp_result = get_certificate_fp(text, fp);
  const int time_result = check_certificate_time(text);
  const int verify_result = verify_certificate(text, text);

  if (time_result < -1 || time_result > 1) fuzz::fail("check_certificate_time out of range");
  if (verify_result < -1 || verify_result > 1) fuzz::fail("verify_certificate out of range");
  if (!has_cert && (has_app_id || serial != -1 || fp_result != -1 || time_result != -1 ||
                    verify_result != -1)) {
    fuzz::fail("a result other than -1 or an identity without a certificate");
  }
  static const std::regex sha1("([0-9A-F]{2}:){19}[0-9A-F]{2}");
  if (has_cert && (fp_result != 0 || !std::regex_match(fp, sha1))) fuzz::fail("no fingerprint");
  if (has_cert && time_result == -1) fuzz::fail("check_certificate_time found no certificate");
  if (serial != -1 && has_app_id && subject.find("/CN=" + app_id) == std::string::npos) {
    fuzz::fail("identity not found in the subject");
  }
  return 0;
}
