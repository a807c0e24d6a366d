// Seeding: the applications and users a stand-in starts with, read from a
// text file before it listens.
//
// One record per line, fields separated by tabs, each field in the escaped
// form of standin_text.h (so a login may hold any byte):
//
//   app     ID  NAME                              an application (display name
//                                                 = NAME, other properties empty)
//   user    ID  LOGIN  HASH_TYPE  HASH  APP_ID    a user whose hash is stored
//                                                 verbatim with that type
//   userpw  ID  LOGIN  PASSWORD  APP_ID           a user whose password is hashed
//                                                 with the stand-in's own scheme
//
// Empty lines and lines starting with "#" are skipped; a carriage return at
// the end of a line is dropped (files written on other systems). Ids must not
// be empty; a user's application must be registered (seeded on an earlier
// line, or already in the store).
//
// The whole file is one transaction: a bad line, or a taken id or login,
// leaves the store as it was and throws SeedError whose text is
// "FILE:LINE: reason". A million users load in seconds: one prepared insert
// per line, one commit at the end.
#ifndef IDFERRY_TOOLS_STANDIN_STANDIN_SEED_H_
#define IDFERRY_TOOLS_STANDIN_STANDIN_SEED_H_

#include <cstdint>
#include <istream>
#include <stdexcept>
#include <string>

#include "tools/standin/standin_store.h"

namespace standin {

class SeedError : public std::runtime_error {
 public:
  using std::runtime_error::runtime_error;
};

struct SeedCounts {
  std::int64_t applications = 0;
  std::int64_t users = 0;
};

// Reads the seed records from `in` (named `name` in messages) into the store.
SeedCounts load_seed(std::istream& in, const std::string& name, Store& store);

// The same for a file; an unreadable file is a SeedError too.
SeedCounts load_seed_file(const std::string& path, Store& store);

}  // namespace standin

#endif  // IDFERRY_TOOLS_STANDIN_STANDIN_SEED_H_
