// Requests from outside to end the program: Ctrl-C, SIGTERM and SIGHUP; on Windows the
// console's Ctrl-C, Ctrl-Break, close, logoff and shutdown events.
//
// The handlers only raise a flag. Long work (the listing of a store, the archive write) looks
// at it between steps and stops the way a Stop does, so the temporary archive goes and nothing
// half-written is left, also where the system has no unnamed files. On Windows the console's
// close, logoff and shutdown handlers wait a few seconds for that (the system ends the process
// when they return), until the program says it is done (TerminationHandled).
#pragma once

namespace crateline::platform {

void InstallTerminationHandlers();

// Whether an end was asked for, and by which signal (POSIX numbers; Windows' events count as
// SIGINT for Ctrl-C and Ctrl-Break, SIGTERM for the others); 0 when none was.
bool TerminationRequested();
int TerminationSignal();

// The program has stopped its work after a request and may end now.
void TerminationHandled();

// For tests: raise or clear the flag as a handler would.
void RequestTermination(int signal);
void ClearTerminationRequest();

}  // namespace crateline::platform
