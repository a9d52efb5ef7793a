// The library's global core parts: the event loop, the connection cache, the speed limiter
// module and the name resolver. Their start and stop order is kept here only.
#pragma once

// Starts the loop first, then the cache, the limiter module and the resolver. False when the
// loop does not start; nothing is then left running.
bool KDownloadCoreStart();
// Stops them in the reverse order: resolver first, loop last. Does nothing while stopped.
void KDownloadCoreStop();
