// What can end a run besides a failed service call: the operator asking it
// to stop (SIGINT or SIGTERM), and standard output that can no longer be
// written. Both are process-wide states that every phase consults before it
// starts work on the next record, so that a run always stops between
// records (a takeover in progress finishes its steps) and never cleans up
// after either.
//
// Result lines (CONFLICT, MANGLED, UNVERIFIED, NO CONFLICTS) go through
// write_result: each is flushed at once, since a derived login is written
// nowhere else, and a failed write marks the output as failed instead of
// being ignored.
//
// Thread-safe: the flags are atomic; result lines are written under one
// lock and everything that goes to standard error under another, so lines
// of workers and of the main thread never interleave. The signal handler only sets a flag and restores the default action,
// so a second signal ends the process by that signal.
#ifndef IDFERRY_SRC_RUN_CONTROL_H_
#define IDFERRY_SRC_RUN_CONTROL_H_

#include <string>

// Ignores SIGPIPE (a closed pipe or connection then fails the write that met
// it) and routes the first SIGINT or SIGTERM to a stop request.
void install_run_signals();

bool stop_requested();

// Writes `line` and a line feed to standard output and flushes it. False,
// from then on for every call, once standard output failed.
bool write_result(const std::string& line);
bool output_failed();

// Writes `text` and a line feed to standard error and flushes it, as one
// write under the lock every writer of standard error takes.
void write_error(const std::string& text);

// Called (under the result lock) before each result line, while set: the
// progress meter erases a line it drew on the terminal standard output is
// also written to. Null to unset.
void set_result_hook(void (*hook)());

// A stop was requested or the output failed: start no further work.
bool halted();

// When halted(), writes the line that ends the run ("ERROR: can't write to
// standard output" or "ERROR: interrupted") and returns true.
bool report_halt();

#endif  // IDFERRY_SRC_RUN_CONTROL_H_
