#include "flash/backup_file.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>
#include <vector>

namespace brigant
{

std::string BackupFileFor(const RunRequest &req, RunHost &host, const char *defaultName)
{
    if (!req.backupFile.empty())
        return req.backupFile;
    host.notify(Notice::DefaultBackup);
    // An earlier backup under the default name is someone's old firmware:
    // it is kept, and this one takes the next free name ("oldFlash-2.bak").
    const std::filesystem::path base(defaultName);
    std::error_code ec;
    for (int n = 1; n < 10000; ++n) {
        const std::string name =
            n == 1 ? base.string()
                   : base.stem().string() + "-" + std::to_string(n) + base.extension().string();
        if (!std::filesystem::exists(name, ec) && !ec)
            return name;
    }
    return defaultName;
}

std::string WriteBackupDurably(const std::string &name, const std::uint8_t *data, std::uint32_t length)
{
    std::FILE *file = std::fopen(name.c_str(), "wb");
    if (!file)
        return std::string("cannot create it: ") + std::strerror(errno);
    bool written = length == 0 || std::fwrite(data, 1, length, file) == length;
    written = std::fflush(file) == 0 && written;
    const int fd = ::fileno(file);
    const bool synced = written && ::fsync(fd) == 0;
    int saved = errno;
    if (synced)
        ::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED); // the read below comes from the disk
    const bool closed = std::fclose(file) == 0;
    if (!written || !synced || !closed)
        return std::string("cannot write it in full: ") + std::strerror(saved ? saved : errno);

    std::FILE *back = std::fopen(name.c_str(), "rb");
    if (!back)
        return std::string("cannot read it back: ") + std::strerror(errno);
    std::vector<std::uint8_t> again(static_cast<std::size_t>(length) + 1);
    const std::size_t got = std::fread(again.data(), 1, again.size(), back);
    std::fclose(back);
    if (got != length || !std::equal(data, data + length, again.begin()))
        return "it does not read back as the flash was read (" + std::to_string(got) + " of " +
               std::to_string(length) + " bytes, or different bytes)";
    return {};
}

int SaveBackupFile(RunHost &host, const std::string &name, const std::uint8_t *data, std::uint32_t length)
{
    if (const std::string why = WriteBackupDurably(name, data, length); !why.empty()) {
        host.showStatus(StatusCode::OpenBackupFileError);
        host.failing("the backup file " + name + ": " + why);
        return 0;
    }
    host.showStatus(StatusCode::BackupSaved);
    host.backupSaved(name);
    return 1;
}

} // namespace brigant
