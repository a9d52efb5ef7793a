// Where the usage report goes. The built-in host comes from the build (QN_USAGE_REPORT_HOST,
// "host" or "host:port"); the environment variable of the same name replaces it when set; the
// program can set it at run time. An empty host turns the report off. The port is 80 unless
// given.
#pragma once

#include <cstdint>
#include <string>

struct QN_UsageReportEndpoint {
    std::string strHost;
    uint16_t uPort = 80;
};

QN_UsageReportEndpoint QN_GetUsageReportEndpoint();
// "host" or "host:port" (port 1 to 65535), or "" for off. 0 for any other text, which changes
// nothing.
int QN_SetUsageReportEndpoint(const char* cszHostAndPort);
