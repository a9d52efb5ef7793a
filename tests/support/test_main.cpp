// The gtest main of every test program: the locale is set as the program sets it.
#include <gtest/gtest.h>

#include "qn_string.h"

int main(int argc, char** argv) {
    QN_SetupLocale();
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
