// UUIDs in place of UuidCreate and UuidToStringA.
#pragma once

#include "qn_com.h"

// A random (version 4) UUID from the kernel's random source. 1 on success, 0 with the last
// error set.
int QN_UuidCreate(QN_GUID* pRetUuid);
// The lower-case 8-4-4-4-12 text of the structure's fields (36 characters and a terminator).
void QN_UuidToString(const QN_GUID& uuid, char szRetText[37]);
