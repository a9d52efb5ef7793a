// Creates every missing folder on the path of a file before the file is written.
#pragma once

// The parent is the text before the last '/' or '\\' of the path. A path component that
// exists as something other than a folder fails. 1 or 0.
int QN_MakeSureDirForFile(const char* cszFileFullName);
