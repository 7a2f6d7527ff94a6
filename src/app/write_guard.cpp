#include "app/write_guard.h"

#include "app/bridge_state.h"

#include "app/file_verdict.h"
#include "app/one_button.h"
#include "app/one_button_run.h"
#include "app/recover_bridge.h"
#include "app/run_dispatch.h"
#include "app/update_journal.h"
#include "app/update_plan.h"
#include "app/window_journal.h"
#include "app/window_run.h"
#include "app/window_texts.h"
#include "bridge/buffer_commands.h"
#include "common/claim_file.h"
#include "device/bridge_lock.h"
#include "device/discovery.h"
#include "device/enumerator.h"
#include "flash/backup_file.h"
#include "forms/ui_services.h"
#include "image/firmware_version.h"
#include "model/fwupdate.h"
#include "update/assisted/buffer_transfer.h"
#include "update/assisted/embedded_images.h"
#include "update/register/register_update.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <sys/stat.h>

namespace brigant
{

namespace fs = std::filesystem;

namespace
{

WritePhase phase = WritePhase::Idle;
std::string backupFile;
std::function<void(WritePhase)> phaseListener;

void EnterPhase(WritePhase next)
{
    phase = next;
    if (phaseListener)
        phaseListener(next);
}

// Back to Idle on every way out of a guarded run, a thrown stop included.
struct PhaseScope {
    PhaseScope() { EnterPhase(WritePhase::Checking); }
    ~PhaseScope()
    {
        EnterPhase(WritePhase::Idle);
        backupFile.clear();
    }
    PhaseScope(const PhaseScope &) = delete;
    PhaseScope &operator=(const PhaseScope &) = delete;
};

std::string Sanitised(const std::string &text)
{
    std::string out;
    for (const char c : text) {
        const bool keep = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                          c == '.' || c == '-';
        out += keep ? c : '-';
    }
    return out.empty() ? std::string("unknown") : out;
}

// A new file under `directory` (created, private to the user) for this device;
// empty with the reason when the directory cannot be made.
std::string NewBackupPath(const std::string &series, const std::string &devicePath,
                          const std::string &directory, std::string &reason)
{
    const std::string dir = directory.empty() ? BackupDirectory() : directory;
    std::error_code ec;
    fs::create_directories(dir, ec);
    if (ec || !fs::is_directory(dir, ec)) {
        reason = "cannot create " + dir + ": " + (ec ? ec.message() : std::string("not a directory"));
        return {};
    }
    ::chmod(dir.c_str(), 0700);
    const std::string device = fs::path(devicePath).filename().string();
    const std::string base = (fs::path(dir) / BackupFileName(series, device, std::time(nullptr))).string();
    // Taken for good, not only looked up: two processes backing up at the
    // same second never share a name.
    std::string path = base;
    for (int n = 2; !ClaimNewFile(path); ++n) {
        if (errno != EEXIST || n > 1000) {
            reason = "cannot create a backup file in " + dir + ": " + std::strerror(errno);
            return {};
        }
        path = base.substr(0, base.size() - 4) + "-" + std::to_string(n) + ".bin";
    }
    return path;
}

// The name a backup claimed, given back when the backup left nothing in it.
void RemoveIfEmpty(const std::string &file)
{
    std::error_code ec;
    if (fs::is_regular_file(file, ec) && fs::file_size(file, ec) == 0 && !ec)
        fs::remove(file, ec);
}

// Saved only when the file is there and holds something: a procedure that
// said success but left nothing is a failure.
BackupResult Checked(const std::string &file, bool ok, const std::string &status)
{
    BackupResult r;
    std::error_code ec;
    const std::uintmax_t size = ok && fs::is_regular_file(file, ec) ? fs::file_size(file, ec) : 0;
    if (size > 0 && !ec) {
        // The device's settings are in it: for its owner only.
        fs::permissions(file, fs::perms::owner_read | fs::perms::owner_write, ec);
        r.outcome = BackupResult::Outcome::Saved;
        r.file = file;
        r.saved = size;
        return r;
    }
    r.reason = status.empty() ? "the flash could not be read" : status;
    return r;
}

} // namespace

WritePlan DescribeWrite(TBrigantFwTool &form, const std::string &writes)
{
    WritePlan plan;
    plan.device = form.selectedEntry().path;
    const int index = form.DeviceList.itemIndex();
    if (index >= 0 && static_cast<std::size_t>(index) < form.DeviceList.items().size())
        plan.device += "  \"" + form.DeviceList.items()[static_cast<std::size_t>(index)] + "\"";
    plan.chip = form.ChipLabelEdit.text().empty() ? "unknown" : form.ChipLabelEdit.text();
    plan.firmware = form.FwVerLableEdit.text().empty() ? "unknown" : form.FwVerLableEdit.text();
    plan.writes = writes;
    plan.runningVersion = form.selected.version;
    return plan;
}

WritePlan DescribeWrite(const BridgeState &state, const std::string &path, const std::string &item,
                        const std::string &writes)
{
    WritePlan plan;
    plan.device = path + (item.empty() ? "" : "  \"" + item + "\"");
    plan.chip = state.bridge.series.empty() ? "unknown" : state.bridge.series;
    const std::string &version = state.bridge.version;
    plan.firmware = version.empty() ? "unknown" : state.bridge.releaseFirmware ? version : kInternalCodeText;
    plan.writes = writes;
    plan.runningVersion = version;
    return plan;
}

namespace
{

constexpr const char *kSettingsReplaced =
    "The device's settings (its 4K NVRAM area) will be replaced by the file's.";
constexpr const char *kSettingsErased = "The device's settings (its 4K NVRAM area) will be erased.";
constexpr const char *kSettingsKept = "The device's settings (its 4K NVRAM area) are kept.";

// What the Run button's write does to the device's settings area, in the
// window's words.
std::string SettingsText(SettingsFate fate)
{
    switch (fate) {
    case SettingsFate::Kept:
        return kSettingsKept;
    case SettingsFate::KeptFileHasNone:
        return std::string(kSettingsKept) + " The file carries no settings area of its own.";
    case SettingsFate::Replaced:
        return kSettingsReplaced;
    case SettingsFate::Erased:
        return kSettingsErased;
    case SettingsFate::WrittenAsIs:
        return "The file is written as it is: no settings area of the device is kept apart.";
    case SettingsFate::NotApplicable:
        break;
    }
    return "\"Include 4K NVRAM\" does not apply to this chip.";
}

} // namespace

WritePlan RunButtonPlan(TBrigantFwTool &form)
{
    WritePlan plan = DescribeWrite(form, RunButtonWriteText(form));
    const RunRequest req = RequestFromWindow(form);
    if (req.mode == RunMode::Update)
        plan.newVersion = FirmwareFileVersion(req.firmwareFile, form.chip.ChipTypeCode);
    plan.settings =
        SettingsText(DecideSettings(form.chip, form.selectedEntry().bus, req, form.NVRAMCheck.visible()));
    return plan;
}

WritePlan OneButtonPlan(TBrigantFwTool &form)
{
    WritePlan plan = DescribeWrite(form, form.YesBtn.caption());
    std::uint8_t header[32] = {};
    if (LoadUpdateImage(header, 0, sizeof header) >= sizeof header)
        plan.newVersion = FirmwareImageVersion(kOneButtonChipType, header);
    plan.settings = "The built-in image is written as it is: no settings area of the device is kept apart.";
    plan.builtIn = true;
    return plan;
}

std::string PlanText(const WritePlan &plan)
{
    std::string text = "  Device:           " + plan.device + "\n" + "  Chip:             " + plan.chip +
                       "\n" + "  Firmware running: " + plan.firmware + "\n" +
                       "  Will write:       " + plan.writes + "\n";
    if (!plan.versionChange.empty())
        text += "  Version:          " + plan.versionChange + "\n";
    if (!plan.difference.empty())
        text += "  Differs:          " + plan.difference + "\n";
    return text;
}

std::vector<std::string> MountedFilesystems(const std::string &path, bool &known)
{
    // A root filesystem on the bridge's disk counts too: the reset takes it away.
    auto mounts = MountPointsOf(path, RootMount::Counted);
    known = mounts.has_value();
    return mounts.value_or(std::vector<std::string>{});
}

std::string MountedText(const std::string &path, const std::vector<std::string> &mounts)
{
    std::string text = "a filesystem on the disk behind " + path + " is mounted at ";
    for (std::size_t i = 0; i < mounts.size(); ++i)
        text += (i ? ", " : "") + mounts[i];
    return text + ": the bridge resets at the end of the update and the filesystem would lose its "
                  "writes; unmount it first";
}

std::string BackupDirectory()
{
    const char *state = std::getenv("XDG_STATE_HOME");
    fs::path base;
    if (state && *state == '/') {
        base = state;
    } else {
        const char *home = std::getenv("HOME");
        base = fs::path(home && *home ? home : ".") / ".local" / "state";
    }
    return (base / "brigant" / "backups").string();
}

std::string BackupFileName(const std::string &series, const std::string &device, std::time_t when)
{
    std::tm local{};
    localtime_r(&when, &local);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%Y%m%d-%H%M%S", &local);
    return Sanitised(series) + "_" + Sanitised(device) + "_" + stamp + ".bin";
}

BackupResult BackupThroughRequest(const RunRequest &req, BusKind bus, const std::string &path, RunHost &host,
                                  const std::string &series, const std::string &directory)
{
    BackupResult r;
    const std::string file = NewBackupPath(series, path, directory, r.reason);
    if (file.empty())
        return r;
    // The family's backup-only mode with the NVRAM area in: the file holds
    // the flash as it is.
    RunRequest backup = req;
    backup.mode = RunMode::BackupOnly;
    backup.includeNvram = true;
    backup.wholeFlash = true;
    // A file past the smallest flash goes where the family's usual backup
    // does not reach: the flash's own size (asked as the write's checks ask
    // it) makes the backup whole.
    if (const FlashSizeAsked asked = AskFlashSize(req, bus, path); asked.sizeKb > 0)
        backup.chip.FlashSizeKb = static_cast<std::int32_t>(asked.sizeKb);
    backup.backupFile = file;
    const RunOutcome outcome = RunRequested(backup, bus, path, host);
    // Why it failed: the reason the procedure gave (a file that could not be
    // written or read back), else where it stopped reading the flash.
    r = Checked(file, outcome.ok(),
                !outcome.reason.empty() ? outcome.reason
                : outcome.lastPhase.empty()
                    ? std::string()
                    : "the flash could not be read (it stopped while " + outcome.lastPhase + ")");
    RemoveIfEmpty(file);
    // The flash the write may change (the disk-stored family's area size is
    // not known here).
    if (outcome.procedure == UpdateProcedure::RunDiskFirmwareUpdate)
        r.area = "disk's firmware area";
    else if (req.chip.FlashSizeKb > 0)
        r.flash = std::uint64_t(req.chip.FlashSizeKb) * 1024;
    return r;
}

StoreRead ReadStore(const RunRequest &req, BusKind bus, const std::string &path, RunHost &host,
                    const std::string &series, bool keep)
{
    StoreRead read;
    std::string folder;
    if (!keep) {
        char dir[] = "/tmp/brigant-store-XXXXXX";
        if (!::mkdtemp(dir)) {
            read.backup.reason = std::string("no temporary folder: ") + std::strerror(errno);
            return read;
        }
        folder = dir;
    }
    read.backup = BackupThroughRequest(req, bus, path, host, series, folder);
    if (read.backup.outcome == BackupResult::Outcome::Saved) {
        std::ifstream in(read.backup.file, std::ios::binary);
        read.bytes.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    if (!keep) {
        std::error_code ec;
        fs::remove_all(folder, ec);
        read.backup.file.clear();
    }
    return read;
}

std::string DifferenceText(const VerifyTally &difference)
{
    const std::uint64_t kib = difference.differingSectors * 4;
    return "in " + std::to_string(difference.differingSectors) + " of " + std::to_string(difference.sectors) +
           " 4 KiB sectors (" + std::to_string(kib) + " KiB)";
}

BackupResult BackupThroughRunButton(TBrigantFwTool &form, const std::string &directory)
{
    WindowRunHost host(form);
    const DeviceEntry &entry = form.selectedEntry();
    return BackupThroughRequest(RequestFromWindow(form), entry.bus, entry.path, host,
                                form.ChipLabelEdit.text(), directory);
}

BackupResult BackupThroughBuffer(const std::string &path, const std::string &series, RunHost &host,
                                 const std::string &directory)
{
    BackupResult r;
    std::uint8_t descriptor[4] = {};
    if (!ReadBufferCmd(path, kReadBufferDescriptor, 0, 0, descriptor, 4, PumpMessages)) {
        r.reason = "the bridge's buffer descriptor could not be read";
        return r;
    }
    if (descriptor[0] == kRomDescriptorBoundary) {
        r.outcome = BackupResult::Outcome::NothingToRead;
        r.reason = "the bridge runs from ROM and offers no flash to read";
        return r;
    }
    const auto capacity =
        static_cast<std::uint32_t>(descriptor[1] << 16 | descriptor[2] << 8 | descriptor[3]);
    if (capacity == 0) {
        r.reason = "the bridge reports no flash to read";
        return r;
    }
    std::vector<std::uint8_t> flash(capacity);
    if (!ReadWholeFlashViaBuffer(host, path, flash.data(), capacity)) {
        r.reason = "reading the flash through the buffer path failed";
        return r;
    }
    const std::string file = NewBackupPath(series, path, directory, r.reason);
    if (file.empty())
        return r;
    const std::string why = WriteBackupDurably(file, flash.data(), capacity);
    r = Checked(file, why.empty(), "the backup file " + file + ": " + why);
    RemoveIfEmpty(file);
    r.flash = capacity;
    return r;
}

BackupResult BackupThroughBuffer(TBrigantFwTool &form, const std::string &directory)
{
    WindowRunHost host(form);
    return BackupThroughBuffer(form.selectedEntry().path, form.ChipLabelEdit.text(), host, directory);
}

std::string BackupRangeText(const BackupResult &backup)
{
    auto hex = [](std::uint64_t v) {
        char text[24];
        std::snprintf(text, sizeof text, "0x%llX", static_cast<unsigned long long>(v));
        return std::string(text);
    };
    if (backup.saved == 0)
        return {};
    std::string text = "bytes 0x0-" + hex(backup.saved - 1) + " of the " + backup.area;
    if (backup.flash > backup.saved)
        text += "; the write may change up to " + hex(backup.flash - 1) + ", and the bytes from " +
                hex(backup.saved) + " on are not in the backup";
    return text;
}

WritePhase CurrentWritePhase() { return phase; }
const std::string &CurrentBackupFile() { return backupFile; }
void SetWritePhaseListener(std::function<void(WritePhase)> listener) { phaseListener = std::move(listener); }

namespace
{

GuardedRun RunGuardedAt(const std::string &path, const WritePlan &plan, const WriteGuard &guard,
                        const std::function<RehearsalVerdict(const WritePlan &)> &rehearse,
                        const std::function<BackupResult()> &backupFn, const std::function<void()> &write)
{
    GuardedRun run;
    PhaseScope scope;
    if (!guard.allowMounted) {
        bool known = false;
        run.mounts = MountedFilesystems(path, known);
        if (!known) {
            run.stop = GuardedRun::Stop::MountsUnknown;
            return run;
        }
        if (!run.mounts.empty()) {
            run.stop = GuardedRun::Stop::Mounted;
            return run;
        }
    }
    WritePlan asked = plan;
    if (rehearse) {
        const RehearsalVerdict verdict = rehearse(plan);
        if (verdict.ran && !verdict.ok) {
            run.stop = GuardedRun::Stop::RehearsalFailed;
            run.rehearsalReason = verdict.reason;
            return run;
        }
        asked.rehearsal = verdict.plan;
    }
    if (guard.confirm && !guard.confirm(asked)) {
        run.stop = GuardedRun::Stop::Declined;
        return run;
    }
    if (guard.backup && backupFn) {
        EnterPhase(WritePhase::BackingUp);
        run.backup = backupFn();
        if (run.backup.outcome == BackupResult::Outcome::Failed) {
            run.stop = GuardedRun::Stop::BackupFailed;
            return run;
        }
        run.backedUp = run.backup.outcome == BackupResult::Outcome::Saved;
        backupFile = run.backup.file;
        if (guard.backedUp)
            guard.backedUp(run.backup);
    }
    EnterPhase(WritePhase::Writing);
    write();
    return run;
}

} // namespace

GuardedRun RunGuarded(TBrigantFwTool &form, const WritePlan &plan, const WriteGuard &guard,
                      const std::function<BackupResult()> &backupFn, const std::function<void()> &write)
{
    std::function<RehearsalVerdict(const WritePlan &)> rehearse;
    if (guard.rehearse)
        rehearse = [&form, &guard](const WritePlan &asked) { return guard.rehearse(form, asked); };
    return RunGuardedAt(form.selectedEntry().path, plan, guard, rehearse, backupFn, write);
}

GuardedRun RunGuarded(const std::string &path, const WritePlan &plan, const WriteGuard &guard,
                      const std::function<BackupResult()> &backupFn, const std::function<void()> &write)
{
    return RunGuardedAt(path, plan, guard, nullptr, backupFn, write);
}

} // namespace brigant
