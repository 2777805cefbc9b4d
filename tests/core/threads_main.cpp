// For tests that start the library's threads: they run until the process ends, so the
// process ends without running static destructors under their feet.
#include <gtest/gtest.h>

#include <cstdio>
#include <unistd.h>

int main(int argc, char **argv)
{
    testing::InitGoogleTest(&argc, argv);
    int result = RUN_ALL_TESTS();
    fflush(nullptr);
    _exit(result);
}
