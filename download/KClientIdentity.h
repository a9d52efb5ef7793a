// The client identity: a UUID made once and kept in "R7pQ2mXv9LkT4wBz.dat" in the user's
// application-data folder, sent with every download report.
//
// The file holds 24 bytes: the file's own creation time (100 ns units since 1601, u32 low then
// u32 high) and the UUID in its structure's memory order (Data1 u32, Data2 u16, Data3 u16,
// Data4[8]). A file whose first 8 bytes are not its creation time (a copy) gets a new UUID.
#pragma once

#include "qn_com.h"

inline constexpr const char* KCLIENT_IDENTITY_FILE_NAME = "R7pQ2mXv9LkT4wBz.dat";

// Loads or creates the identity and keeps it in process-wide storage. Every failure leaves a
// stand-in UUID of twelve zero bytes and the Win32 error in the last four (big-endian).
void loadClientIdentity();
// The kept UUID and its lower-case 36-character text (all zero before the first load).
QN_GUID KGetClientUuid();
void KGetClientUuidText(char szRetText[37]);
