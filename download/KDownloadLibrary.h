// Library-internal access to the process-wide parts the entry points manage.
#pragma once

#include <string>

#include "IKHttp.h"

// The HTTP service with one reference for the caller, or null when the library is stopped.
IKHttpService* KAcquireHttpService();
// The report endpoint's "host[:port]"; empty when reports are off.
std::string KGetReportEndpoint();
