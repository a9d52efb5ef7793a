// Dotted IPv4 text in place of inet_addr and inet_ntoa.
#pragma once

#include <cstdint>

// The address in network byte order; 0xFFFFFFFF (INADDR_NONE) when the text is not a dotted
// IPv4 address.
uint32_t QN_InetAddr(const char* cszText);
// Writes the dotted text of an address in network byte order into a caller's buffer (no
// static storage, so threads do not share it).
void QN_InetNtoa(uint32_t uAddress, char szRetText[16]);
