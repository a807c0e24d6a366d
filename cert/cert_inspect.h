// The reading side of the certificate library: PEM text held in memory is
// turned into OpenSSL certificate and key objects, and a certificate can be
// asked for its subject and issuer names, its serial number, its SHA-1
// fingerprint, whether it is valid now and whether another certificate's key
// signed it. On top of these sits the application identity: the common name
// (CN) cut out of the subject of an application certificate.
//
// An application certificate file holds two PEM blocks, the client
// certificate and its unencrypted private key, in either order; text outside
// the blocks is ignored. Each reader takes the first block of the kind it
// wants, so the whole file travels as one string, the "PEM text".
//
// The library has two layers:
//
//  - a flat layer over NUL-terminated byte strings, OpenSSL objects and
//    caller buffers. It reports only through its results (null or -1), prints
//    nothing and leaves OpenSSL's error queue alone, so it can be called from
//    any code without dragging in C++ types;
//  - a string layer over std::string. Where a flat function has a twin in
//    this layer the flat one carries a trailing underscore and the twin
//    forwards to it (get_certificate_fp -> get_certificate_fp_);
//    verify_certificate forwards to verify_cerificate_ (sic).
//
// All text is bytes; nothing is converted between character sets. Every read
// works on a private in-memory copy of the text, so the caller's text is never
// changed.
//
// Ownership: whatever the flat layer returns belongs to the caller. Free a
// certificate with X509_free, a key with EVP_PKEY_free, a BIO with BIO_free,
// the name texts of get_cert_names with OPENSSL_free, and the texts of
// dotted_hex and get_cert_fp with free().
//
// Only one thread uses the library; it keeps no state of its own. The one
// piece of shared state it touches is OpenSSL's table of digests, to which
// every signature check adds MD5.
#ifndef IDFERRY_CERT_CERT_INSPECT_H_
#define IDFERRY_CERT_CERT_INSPECT_H_

#include <stdint.h>

#include <string>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

// Sizes of the caller buffers of the flat layer. A subject or issuer name
// buffer holds kCertNameBufferSize bytes (at most 1023 characters and the
// terminator); a fingerprint buffer holds kCertFingerprintBufferSize bytes.
// The flat functions take no buffer size, so these sizes are their contract:
// a text that would not fit is refused with -1 and nothing is written past a
// buffer.
constexpr int kCertNameBufferSize = 1024;
constexpr int kCertFingerprintBufferSize = 256;

// ---- Flat layer ----------------------------------------------------------

// A readable memory BIO over a private copy of the first `len` bytes of
// `buf`; a `len` of -1 means "up to the terminator". Null when `buf` is null,
// the length is 0 (or below -1), or an allocation fails. Caller frees the
// result with BIO_free.
BIO* set_read_BIO_from_buf(const char* buf, int len);

// The first certificate in the PEM text, or null when the text is null,
// holds no certificate block or the block cannot be parsed. Caller frees the
// result with X509_free.
X509* extract_certificate(const char* pem);

// The first private key in the PEM text, or null. `passphrase` (may be null)
// is handed to OpenSSL as the user data of its default passphrase callback,
// which then uses it for an encrypted key without asking anybody. With a
// null passphrase an encrypted key falls to OpenSSL's default handling, which
// asks at the terminal; application certificate files hold unencrypted keys.
// Caller frees the result with EVP_PKEY_free.
EVP_PKEY* open_private_key(const char* pem, const char* passphrase);

// Stores the one-line form (X509_NAME_oneline) of the subject in *subject and
// of the issuer in *issuer, for each place that is not null, and returns the
// serial number as ASN1_INTEGER_get reads it. Each given place is set to null
// first. Returns -1 for a null certificate or when a name cannot be made (the
// issuer is not attempted after a failed subject). A serial that does not fit
// a signed 64-bit integer also reads as -1, with the names stored. Whatever
// is stored belongs to the caller, also on -1: free with OPENSSL_free.
int64_t get_cert_names(X509* cert, char** subject, char** issuer);

// `count` bytes as uppercase hexadecimal pairs separated by ":" ("0A:FF").
// Null for null bytes, a count below 1 or a failed allocation. Caller frees
// the result with free().
char* dotted_hex(const unsigned char* bytes, int count);

// Stores in *fp the SHA-1 fingerprint of the certificate's DER encoding in
// dotted_hex form (59 characters) and returns 0; returns -1 (with *fp null)
// for a null certificate or a failed digest. Caller frees *fp with free().
int get_cert_fp(X509* cert, char** fp);

// Reads the first certificate of the PEM text and copies its subject and
// issuer one-line names into the buffers that are not null (each at least
// kCertNameBufferSize bytes). Returns the serial number as get_cert_names
// does, or -1 when there is no certificate or a requested name is longer than
// kCertNameBufferSize - 1; in that last case no buffer is written.
int64_t get_certificate_names_(const char* pem, char* subject, char* issuer);

// Copies the fingerprint of the first certificate of the PEM text into `fp`
// (at least kCertFingerprintBufferSize bytes) and returns 0, or -1 when there
// is no certificate or no fingerprint.
int get_certificate_fp_(const char* pem, char* fp);

// 1 when the current time lies strictly between the certificate's notBefore
// and notAfter, 0 when it does not (also when a time field cannot be
// interpreted), -1 when the text holds no certificate.
int check_certificate_time_(const char* pem);

// Checks the signature of the certificate in `cert_pem` with the public key
// of the certificate in `issuer_pem`: 1 valid, 0 not valid, -1 when either
// text holds no certificate or OpenSSL cannot check. Nothing else is checked:
// no issuer name match, validity period, CA flag, key usage or chain.
int verify_cerificate_(const char* issuer_pem, const char* cert_pem);

// ---- String layer --------------------------------------------------------

// The application identity: the value of the first CN entry of the
// subject's one-line name, up to the next entry or the end, exactly as the
// one-line name writes it: bytes outside printable ASCII as "\xHH", and "/"
// and "+" as "\/" and "\+" (OpenSSL 3 escapes these, so a "/" inside a value
// neither ends the identity nor starts a CN entry). It may be empty and is
// never trimmed or case-folded. Throws std::runtime_error("get certificate
// name") when the text holds no readable certificate, its subject cannot be
// rendered, or the subject has no CN entry. The serial number plays no part.
std::string get_app_id_from_cert(const std::string& pem);

// get_certificate_names_ with a kCertNameBufferSize buffer for each string
// pointer that is not null. Assigns the requested strings only when the
// result is not -1; returns the result.
int64_t get_certificate_names(const std::string& pem, std::string* subject,
                              std::string* issuer);

// get_certificate_fp_ with a kCertFingerprintBufferSize buffer; assigns `fp`
// only on success.
int get_certificate_fp(const std::string& pem, std::string& fp);

// check_certificate_time_ of the text.
int check_certificate_time(const std::string& pem);

// verify_cerificate_ of the two texts.
int verify_certificate(const std::string& issuer_pem, const std::string& cert_pem);

#endif  // IDFERRY_CERT_CERT_INSPECT_H_
