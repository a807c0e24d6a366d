// The login map: an operator's file of (old login, new login) pairs that
// renames source logins before the conflict check and the creation of users,
// so that logins that would collide on the target get names a person chose.
//
// File format: pairs of words; a word is a run of bytes that are not
// whitespace (space, tab, LF, VT, FF, CR). Between the old and the new login
// only spaces may stand; a pair whose second word is missing (one word on a
// line, or a tab between the words) is dropped silently. No comments, no
// quoting, no escapes.
//
// The validation and the renaming give exactly the results of comparing every
// pair with every record in order, but index the logins so that a million
// pairs over a million users take seconds rather than hours.
#ifndef IDFERRY_SRC_MAPFILE_H_
#define IDFERRY_SRC_MAPFILE_H_

#include <string>
#include <vector>

#include "src/users.h"

struct user_map {
  user_map(const std::string& old_login, const std::string& new_login)
      : old_login(old_login), new_login(new_login) {}

  std::string old_login;  // a login as the source lists it
  std::string new_login;  // the login that user is to have on the target
};

// Parses `text` (a mapfile's content) and appends its pairs in file order.
void parse_map(const std::string& text, std::vector<user_map>& mappings);

// Reads the file with load_file and appends its pairs. False only when the
// file cannot be read; the list is then unchanged.
bool load_map_from_file(const std::string& path, std::vector<user_map>& mappings);

// True when every old login equals the login of at least one record. Every
// pair is examined: each wrong old login is reported on standard error, in
// file order, as "ERROR: Wrong old login in mapfile (<login>)".
bool check_map_valid(std::vector<mig_user_info>& users, std::vector<user_map>& mappings);

// Applies the pairs in file order to the current logins: each pair renames
// the first record, in list order, whose login equals its old login (at most
// one record per pair), so later pairs see earlier renames. Returns true.
bool apply_map(std::vector<mig_user_info>& users, std::vector<user_map>& mappings);

#endif  // IDFERRY_SRC_MAPFILE_H_
