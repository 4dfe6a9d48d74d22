// Descriptors 0, 1 and 2 as the program expects them at start-up.
#pragma once

#include "platform/error.h"

namespace kelvatta {

// Opens /dev/null on each of standard input, output and error that is closed. A program started with
// one of them closed (by a launcher, a cron job or a service manager) would otherwise give that
// number to the first file it opens, and the log, written to descriptor 1, would land in a user's
// clip. Call first thing in main, before anything opens a file or starts a thread.
ErrorOr<void> openClosedStandardStreams();

}  // namespace kelvatta
