// The nftables guard that keeps other users off a target's inspector.
#ifndef QUELLIX_DEPS_INSPECTOR_GUARD_H_
#define QUELLIX_DEPS_INSPECTOR_GUARD_H_

#include <stddef.h>

// A guard in one process's network namespace.
struct Guard {
  int pid;  // whose namespace
  bool installed;
  char table[64];  // quellix_<pid of this run>_<its start time>
};

// How long a guard works by itself: a run that is killed leaves a table
// whose rules have lapsed after this.
const int GUARD_SECONDS = 30;

// The piece a guard needs that this run lacks, or null: "root" when quellix
// does not run as root, "nft" when the nft program is not installed.
const char* MissingGuardPiece();
// Installs a guard in pid's network namespace: until it is removed (or
// GUARD_SECONDS pass), only root and the user owner may open a new TCP
// connection to a local address of the namespace on a port other than the
// listening ones (count of them in ports); other users' attempts are reset,
// and attempts from other hosts dropped. Guards of runs that have ended are
// removed on the way. guard starts zeroed; installed again by the same
// process, it is replaced whole, with a new time limit. False with why
// (size bytes) naming the fault.
bool InstallGuard(int pid, unsigned long owner, const int* ports, int count, Guard* guard, char* why, size_t size);
// Removes an installed guard; false with why when nft failed.
bool RemoveGuard(Guard* guard, char* why, size_t size);

// The ruleset that installs the guard table (a transaction of nft -f),
// after the text in stale (deletions of ended runs' tables); false when it
// does not fit out (size bytes). until: seconds since the epoch.
bool FormatGuardRules(const char* table, unsigned long owner, const int* ports, int count, long long until,
                      const char* stale, char* out, size_t size);
// Appends to out (size bytes) a deletion of each guard table in tables (the
// output of nft list tables) whose run has ended.
void FormatStaleDeletions(const char* tables, char* out, size_t size);

#endif  // QUELLIX_DEPS_INSPECTOR_GUARD_H_
