// Holds a device node open, as another program would, until it is killed:
//   brigant-hold-sg [--exclusive] PATH
// Prints "held" once the open succeeded; exits 1 when it failed.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

int main(int argc, char **argv)
{
    const bool exclusive = argc == 3 && std::strcmp(argv[1], "--exclusive") == 0;
    if (argc != 2 && !exclusive) {
        std::fprintf(stderr, "usage: %s [--exclusive] PATH\n", argv[0]);
        return 2;
    }
    const char *path = argv[argc - 1];
    const int fd = ::open(path, O_RDWR | O_NONBLOCK | (exclusive ? O_EXCL : 0));
    if (fd < 0) {
        std::fprintf(stderr, "%s: %s\n", path, std::strerror(errno));
        return 1;
    }
    std::printf("held\n");
    std::fflush(stdout);
    for (;;)
        ::pause();
}
