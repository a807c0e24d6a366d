// Exit statuses of an idferry run, shared by every stage that can end it.
#ifndef IDFERRY_SRC_EXIT_STATUS_H_
#define IDFERRY_SRC_EXIT_STATUS_H_

enum {
  kExitOk = 0,            // help shown, no conflict found, or every user migrated
  kExitFailed = 1,        // a phase failed, check found a conflict, or a runtime error
  kExitUnknownError = 9,  // an exception of unknown kind while loading the context
  kExitUsage = 10,        // command line rejected, or a certificate file unreadable
};

#endif  // IDFERRY_SRC_EXIT_STATUS_H_
