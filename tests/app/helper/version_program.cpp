// A program that carries a version record of a set version, for the self-update tests.
#include "qn_version_info.h"

QN_DEFINE_VERSION_RECORD(g_VersionRecord, QN_TEST_PROGRAM_VERSION);

int main() { return 0; }
