#include "qn_inet.h"

#include <arpa/inet.h>
#include <netinet/in.h>

uint32_t QN_InetAddr(const char* cszText) {
    if (!cszText) return INADDR_NONE;
    return (uint32_t)::inet_addr(cszText);
}

void QN_InetNtoa(uint32_t uAddress, char szRetText[16]) {
    struct in_addr a;
    a.s_addr = uAddress;
    if (!::inet_ntop(AF_INET, &a, szRetText, 16)) szRetText[0] = '\0';
}
