#include "flash/backup_file.h"

#include <cstdio>
#include <filesystem>

namespace brigant
{

std::string BackupFileFor(const RunRequest &req, RunHost &host, const char *defaultName)
{
    if (!req.backupFile.empty())
        return req.backupFile;
    host.notify(Notice::DefaultBackup, kDefaultBackupText);
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

int SaveBackupFile(RunHost &host, const std::string &name, const std::uint8_t *data, std::uint32_t length)
{
    std::FILE *file = std::fopen(name.c_str(), "wb");
    if (!file) {
        host.showStatus("Open Backup File Error!!");
        return 0;
    }
    const bool written = length == 0 || std::fwrite(data, 1, length, file) == length;
    const bool closed = std::fclose(file) == 0;
    if (!written || !closed) {
        host.showStatus("Open Backup File Error!!");
        return 0;
    }
    host.showStatus("Read flash and backup success!");
    host.backupSaved(name);
    return 1;
}

} // namespace brigant
