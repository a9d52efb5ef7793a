// A synchronous HTTP POST of a multipart/form-data body: the form fields in the order they
// were added, one part each, then the closing delimiter. Used for the usage report.
#pragma once

#include <cstdint>
#include <list>
#include <string>
#include <utility>

// The form's boundary; a delimiter line is two hyphens and this text, so it begins with four.
#define MULTI_PARTS_FORM_DATA_BOUNDARY "--MULTI-PARTS-FORM-DATA-BOUNDARY"

class QN_HttpSyncPost {
public:
    QN_HttpSyncPost();
    ~QN_HttpSyncPost();
    QN_HttpSyncPost(const QN_HttpSyncPost&) = delete;
    QN_HttpSyncPost& operator=(const QN_HttpSyncPost&) = delete;

    // Appends one field; duplicates are allowed and an empty value is fine. Refused (0): a null
    // or empty name, a null value, and a value that holds the boundary text, which would end
    // the part early on the server's side. A quote, CR or LF in a name is sent as %22, %0D or
    // %0A, as browsers send such names.
    int AddParam(const char* cszName, const char* cszValue);
    // Posts the fields to http://host:port/path: 1 when the server answered 200, else 0 after
    // the failure lines. The field list is kept.
    int Post();

    // Set by the owner after construction.
    std::string m_strHostName;
    std::string m_strURLPath;
    uint16_t m_uPort;  // 80 by default

private:
    std::list<std::pair<std::string, std::string>> m_ParamList;
};
