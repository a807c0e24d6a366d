// Which records of the creation phase can touch one another, so that several
// can be created at once without changing a single result (--jobs N).
//
// Two records touch when their candidate logins overlap (the login, its
// derived logins 1 to 99, and, for one the target application holds, its
// temporary takeover login), or when one's takeover deletes the target user
// whose id is the other's source id. Records that touch, directly or through
// others, form a group; within a group creation runs in list order exactly
// as one worker would run it, and groups share nothing. The candidate sets
// are never built: a derived login "<l><n>" or "<l>_<n>" points back to at
// most two logins, so each record meets its group through a few lookups in
// the sorted logins, in O(n log n) time and O(n) memory.
#ifndef IDFERRY_SRC_GROUPS_H_
#define IDFERRY_SRC_GROUPS_H_

#include <cstdint>
#include <vector>

#include "src/users.h"

// For each record, the next record of its group in list order, or kChainEnd
// (parallel.h) for the last: the chains phase_runner takes.
std::vector<uint32_t> group_chains(const std::vector<mig_user_info>& users);

#endif  // IDFERRY_SRC_GROUPS_H_
