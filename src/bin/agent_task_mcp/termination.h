// Termination requests (SIGTERM, SIGINT, SIGHUP) are held back while a request is served, so
// that a proposal under way has its verifier killed and its edits rolled back, and a restore
// finishes, before the process ends by the same signal. Between requests they act at once.
#pragma once

namespace quarry::termination {

// Installs the handlers, except for signals ignored at start; returns a descriptor that becomes
// readable once a held-back request arrives (running children watch it), or -1
// when it could not be set up.
int install();

void enter_request();
// Ends the process by the held-back signal, if one arrived while the request was served.
void leave_request();

}  // namespace quarry::termination
