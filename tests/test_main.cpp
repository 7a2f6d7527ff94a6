// The test programs' main: each process keeps backups and the update journal
// in a folder of its own, removed when it ends, never in the home folder of
// whoever runs the tests. Tests that look at those files set their own.
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>

int main(int argc, char **argv)
{
    const char *tmp = std::getenv("TMPDIR");
    std::string dir = std::string(tmp && *tmp ? tmp : "/tmp") + "/brigant-test-state-XXXXXX";
    if (!mkdtemp(dir.data()))
        return 1;
    setenv("XDG_STATE_HOME", dir.c_str(), 1);
    ::testing::InitGoogleMock(&argc, argv);
    const int result = RUN_ALL_TESTS();
    std::error_code ignored;
    std::filesystem::remove_all(dir, ignored);
    return result;
}
