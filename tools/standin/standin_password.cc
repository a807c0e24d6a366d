// Password hashing and random ids; see standin_password.h.

#include "tools/standin/standin_password.h"

#include <stdexcept>

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/rand.h>

namespace standin {

const char kDefaultHashType[] = "SSHA-256";

namespace {

constexpr int kSaltBytes = 8;

std::string random_bytes(int n) {
  std::string out(static_cast<std::string::size_type>(n), '\0');
  if (RAND_bytes(reinterpret_cast<unsigned char*>(out.data()), n) != 1) {
    throw std::runtime_error("the random generator failed");
  }
  return out;
}

std::string sha256(const std::string& data) {
  unsigned char digest[EVP_MAX_MD_SIZE];
  unsigned int len = 0;
  if (EVP_Digest(data.data(), data.size(), digest, &len, EVP_sha256(), nullptr) != 1) {
    throw std::runtime_error("SHA-256 failed");
  }
  return std::string(reinterpret_cast<const char*>(digest), len);
}

// The bytes of lowercase or uppercase hexadecimal text; false when the text
// is not an even run of hex digits.
bool from_hex(const std::string& text, std::string* out) {
  auto value = [](char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  };
  if (text.size() % 2 != 0) return false;
  out->clear();
  for (std::string::size_type i = 0; i < text.size(); i += 2) {
    int hi = value(text[i]), lo = value(text[i + 1]);
    if (hi < 0 || lo < 0) return false;
    out->push_back(static_cast<char>(hi * 16 + lo));
  }
  return true;
}

}  // namespace

std::string to_hex(const std::string& bytes) {
  static const char kHex[] = "0123456789abcdef";
  std::string out;
  out.reserve(bytes.size() * 2);
  for (char c : bytes) {
    unsigned char u = static_cast<unsigned char>(c);
    out.push_back(kHex[u >> 4]);
    out.push_back(kHex[u & 15]);
  }
  return out;
}

std::string hash_password_with_salt(const std::string& password, const std::string& salt) {
  return to_hex(salt) + "$" + to_hex(sha256(salt + password));
}

std::string hash_password(const std::string& password) {
  return hash_password_with_salt(password, random_bytes(kSaltBytes));
}

bool verify_password(const std::string& hash_type, const std::string& hash,
                     const std::string& password) {
  if (hash_type != kDefaultHashType) return false;
  std::string::size_type dollar = hash.find('$');
  if (dollar == std::string::npos) return false;
  std::string salt, digest;
  if (!from_hex(hash.substr(0, dollar), &salt) || !from_hex(hash.substr(dollar + 1), &digest)) {
    return false;
  }
  std::string expected = sha256(salt + password);
  return digest.size() == expected.size() &&
         CRYPTO_memcmp(digest.data(), expected.data(), digest.size()) == 0;
}

std::string new_uuid() {
  std::string b = random_bytes(16);
  b[6] = static_cast<char>((b[6] & 0x0f) | 0x40);  // version 4
  b[8] = static_cast<char>((b[8] & 0x3f) | 0x80);  // RFC 4122 variant
  std::string hex = to_hex(b);
  return hex.substr(0, 8) + "-" + hex.substr(8, 4) + "-" + hex.substr(12, 4) + "-" +
         hex.substr(16, 4) + "-" + hex.substr(20);
}

std::string random_hex(int bytes) { return to_hex(random_bytes(bytes)); }

}  // namespace standin
