#include "common/claim_file.h"

#include <fcntl.h>
#include <unistd.h>

namespace brigant
{

bool ClaimNewFile(const std::string &path)
{
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    ::close(fd);
    return true;
}

} // namespace brigant
