// Password hashing and the random identifiers of the stand-in.
//
// The stand-in knows one password scheme, "SSHA-256": a random 8-byte salt
// and SHA-256 over the salt followed by the password, stored as the text
// hex(salt) "$" hex(digest), lowercase. It is the scheme of passwords given in
// clear (createUser and changePassword without a hash type, "userpw" seed
// lines). Hashes of other types are stored verbatim as the caller gives them
// and carried unchanged; they cannot be checked, so authenticating against
// them fails, as it does against a malformed SSHA-256 text.
//
// Ids the stand-in assigns (users, applications, sessions) are random
// version-4 UUIDs in their usual lowercase text form, so that two instances
// never hand out the same id. Randomness comes from OpenSSL's generator,
// which is safe to use from several threads.
#ifndef IDFERRY_TOOLS_STANDIN_STANDIN_PASSWORD_H_
#define IDFERRY_TOOLS_STANDIN_STANDIN_PASSWORD_H_

#include <string>

namespace standin {

// The hash type name of the stand-in's own scheme.
extern const char kDefaultHashType[];  // "SSHA-256"

// A new SSHA-256 hash text of `password` with a fresh salt.
std::string hash_password(const std::string& password);

// The SSHA-256 hash text of `password` under the given salt bytes.
std::string hash_password_with_salt(const std::string& password, const std::string& salt);

// Whether `password` matches the stored hash of type `hash_type`. False for
// unknown types and for hash texts that are not well formed.
bool verify_password(const std::string& hash_type, const std::string& hash,
                     const std::string& password);

// A new random UUID ("xxxxxxxx-xxxx-4xxx-yxxx-xxxxxxxxxxxx").
std::string new_uuid();

// `bytes` random bytes as lowercase hexadecimal text.
std::string random_hex(int bytes);

// Lowercase hexadecimal text of `bytes`.
std::string to_hex(const std::string& bytes);

}  // namespace standin

#endif  // IDFERRY_TOOLS_STANDIN_STANDIN_PASSWORD_H_
