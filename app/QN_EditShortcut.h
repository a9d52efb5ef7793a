// Shortcut retargeting: shell links on the desktops, in the start menus (with their
// sub-folders) and in the Quick Launch folder that start one program without arguments are
// pointed at another.
#pragma once

// Rewrites every link in the five folders whose target is cszOriginApplicaionFileName (without
// regard to ASCII case or to the kind of separator) and which has no arguments, to start
// cszNewApplicationFileName with cszNewArgument (possibly empty). The link's other fields
// (working folder, icon, description, hot key, window state) are kept. Links that cannot be
// rewritten are logged and passed over. 1, or 0 when a folder walk failed (later folders are
// then not visited) or the thread had the component library initialised already (nothing is
// touched).
int QN_EditAllShortcut(const char* cszOriginApplicaionFileName, const char* cszNewApplicationFileName,
                       const char* cszNewArgument);
