// The issuing side of the certificate library: a fresh RSA key pair and a
// certificate request for a subject, a certificate made from the request,
// either self-signed or signed by a CA given as PEM text, and both written
// out as PEM text. gen_certificate turns an application name into the two
// texts of an application certificate file (certificate and unencrypted key;
// joined they make the file that cert_inspect.h reads).
//
// The layers follow cert_inspect.h: a flat layer over NUL-terminated byte
// strings, OpenSSL objects and caller buffers that reports only through its
// results (-1 or null) and prints nothing, and gen_certificate over
// std::string.
//
// What is generated:
//  - keys are RSA, 2048 bits, public exponent 65537; the current time is
//    mixed into OpenSSL's random generator just before and just after;
//  - requests and certificates are signed with SHA-256;
//  - certificates are X.509 version 3 with serial number 0, valid for 3650
//    days (315,360,000 seconds) from the moment they are made, and carry four
//    extensions, none critical, in this order: basicConstraints
//    "CA:TRUE,pathlen:3", nsCertType
//    "client,server,email,objsign,sslCA,emailCA,objCA", keyUsage
//    "digitalSignature,nonRepudiation,keyEncipherment,dataEncipherment,
//    keyAgreement,keyCertSign,cRLSign" and nsComment (the caller's comment).
//    Every certificate is therefore itself a CA, so an application
//    certificate can issue others.
//
// Subject text: entries separated by any of "|", CR and LF (runs of
// separators count as one, separators at either end are ignored), each
// "attribute=value", split at the first "=" so the value may hold "=". The
// attribute is anything OBJ_txt2nid knows (short name, long name or dotted
// OID). Each entry becomes its own RDN, in the order given. The value's
// string type is OpenSSL's guess (PrintableString, IA5String or T61String),
// then: emailAddress is always IA5String; commonName and challengePassword
// use T61String where the guess was IA5String; unstructuredName is refused
// when it needs T61String and is IA5String otherwise.
//
// Attribute text: the same syntax; each entry becomes one request attribute
// whose single value holds the value's bytes and its terminating zero byte.
//
// Ownership: objects and texts handed out belong to the caller; free
// certificates with X509_free, keys with EVP_PKEY_free, requests with
// X509_REQ_free, and PEM texts with free().
//
// Only one thread uses the library. Key generation seeds OpenSSL's global
// random generator, and keygen and certification_authority clear OpenSSL's
// table of added extension methods on their way out.
#ifndef IDFERRY_CERT_CERT_GEN_H_
#define IDFERRY_CERT_CERT_GEN_H_

#include <string>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

// Size of each caller buffer of gen_certificate_ (PEM text and terminator).
constexpr int kCertPemBufferSize = 4096;
// Longest application name gen_certificate_ accepts: the subject "CN=" and
// the name must fit a 256-byte text with its terminator.
constexpr int kCertMaxNameLength = 252;

// Generates a key pair and a request for `subject` (subject text; null
// fails) with the attributes of `attributes` (attribute text, may be null).
// Each place may be null; each given one is set to null first and receives:
// *key the new key, *req the request signed with the new key, *cert a
// self-signed certificate for the request whose nsComment is `comment`
// (null: no nsComment). Returns 0, or -1 on any failure; a failure can leave
// the key (and, late, the request) in their places, and the caller frees
// whatever it finds there.
int keygen(const char* subject, const char* attributes, const char* comment,
           EVP_PKEY** key, X509** cert, X509_REQ** req);

// A certificate for the request's subject and public key, issued by
// `ca_cert` (whose subject becomes the issuer) and signed with `ca_key`, with
// `comment` as nsComment (null: none). Null when any input is null or the
// request has no subject or key. Caller frees the result with X509_free.
X509* certification_authority(X509* ca_cert, EVP_PKEY* ca_key, X509_REQ* req,
                              const char* comment);

// Appends basicConstraints, nsCertType, keyUsage and nsComment, in this
// order, with the given values; a null value skips its extension. Returns 0,
// or -1 for a null certificate or at the first extension that cannot be made
// (the ones added before it stay).
int add_some_X509v3_extensions(X509* cert, const char* basic_constraints,
                               const char* ns_cert_type, const char* key_usage,
                               const char* ns_comment);

// Writes the certificate as PEM text into a new allocation stored in *pem and
// returns its length, or -1 (a null argument or a failed write). Caller frees
// *pem with free().
int write_certificate(X509* cert, char** pem);

// Writes the private key as PEM text into *pem and returns its length, or -1.
// With a passphrase (may be empty) the key is encrypted with triple DES in CBC
// mode under the passphrase's bytes; with null it is written in clear. Caller
// frees *pem with free().
int write_private_key(EVP_PKEY* key, const char* passphrase, char** pem);

// Copies everything written to the memory BIO into a new NUL-terminated
// allocation stored in *data and returns its length, or -1 (null argument,
// failed allocation). Caller frees *data with free().
int get_written_BIO_data(BIO* bio, char** data);

// Generates the application certificate for `name` (at most
// kCertMaxNameLength bytes; the subject text is "CN=" and the name, so "|"
// in a name starts another subject entry): a new key and a certificate,
// self-signed when `ca_pem` is null, otherwise issued under the CA whose
// certificate and unencrypted key `ca_pem` holds (the key is read without a
// passphrase, so an encrypted one makes OpenSSL ask for it at the terminal;
// callers that must not block check the key first). The certificate's PEM text
// goes to `cert_buf`, the key's (unencrypted) to `key_buf`, each at least
// kCertPemBufferSize bytes. Returns 0, or -1 on any failure, including a
// text that does not fit its buffer; on -1 neither buffer is written.
int gen_certificate_(const char* name, char* cert_buf, char* key_buf, const char* ca_pem);

// gen_certificate_ over strings: `ca_pem` null means self-signed. Assigns
// both texts on success only; returns 0 or -1.
int gen_certificate(const std::string& name, std::string& cert_pem, std::string& key_pem,
                    const std::string* ca_pem);

// gen_certificate for a certificate that also serves a TLS server: it
// carries `host` as subjectAltName, an IP address when the text is one (IPv4
// or IPv6), a DNS name otherwise, so that clients checking the server's name
// accept it. A host holding "," "|" or a line end is refused. 0 or -1; both
// texts are assigned on success only.
int gen_server_certificate(const std::string& name, const std::string& host,
                           std::string& cert_pem, std::string& key_pem,
                           const std::string* ca_pem);

#endif  // IDFERRY_CERT_CERT_GEN_H_
