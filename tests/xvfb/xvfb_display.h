#pragma once

#include <sys/types.h>

#include <string>

// Why no Xvfb runs for the tests; empty when one does.
const std::string& XvfbStartError();

// Starts an Xvfb of its own on a free display and waits (bounded) until it accepts clients.
// bNoReset keeps it from resetting when its last client leaves. The process id, or -1 with
// *pError set; *pDisplay is the display name (":N").
pid_t StartXvfbServer(bool bNoReset, std::string* pDisplay, std::string* pError);
// Stops a server that StartXvfbServer started and waits for it to end.
void StopXvfbServer(pid_t pid);
