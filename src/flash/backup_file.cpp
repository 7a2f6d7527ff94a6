#include "flash/backup_file.h"

#include <cstdio>

namespace brigant
{

std::string BackupFileFor(const RunRequest &req, RunHost &host, const char *defaultName)
{
    if (!req.backupFile.empty())
        return req.backupFile;
    host.notify(Notice::DefaultBackup, kDefaultBackupText);
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
