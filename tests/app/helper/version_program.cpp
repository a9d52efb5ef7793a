// A program that carries a version record of a set version, for the self-update tests.
// With an argument it stays running for that many seconds (a program that runs from a folder).
#include <chrono>
#include <cstdlib>
#include <thread>

#include "qn_version_info.h"

QN_DEFINE_VERSION_RECORD(g_VersionRecord, QN_TEST_PROGRAM_VERSION);

int main(int argc, char** argv) {
    if (argc > 1) std::this_thread::sleep_for(std::chrono::seconds(std::atoi(argv[1])));
    return 0;
}
