// Golden runs of the window: for one bridge of every update family, an
// update, a backup and an erase through Run, and the one-button update, each
// on virtual time. Every change of a control, every message box and progress
// step in the order they happened, what the flash and the backup file hold
// afterwards, and every command in the trace's format go into one log, which
// must equal the recorded one in tests/data/golden byte for byte.
// BRIGANT_GOLDEN_WRITE=1 rewrites the recorded logs (after a deliberate change).
#include "app/fwupdate_handlers.h"
#include "app/one_button.h"
#include "app/one_button_run.h"
#include "app/run_dispatch.h"
#include "device/transport.h"
#include "sim/chip_presets.h"
#include "sim/disk_firmware.h"
#include "sim/presets.h"
#include "sim/sim_discovery.h"
#include "sim_world.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>
#include <unistd.h>

using namespace brigant;

namespace
{

namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

enum class Mode { Update, Backup, Erase, OneButton };

struct GoldenCase {
    const char *name;
    const char *device;
    const char *file; // the firmware file's preset (update only)
    Mode mode;
};

void PrintTo(const GoldenCase &c, std::ostream *os) { *os << c.name; }

std::string Fnv(const Bytes &bytes)
{
    std::uint64_t h = 1469598103934665603ULL;
    for (std::uint8_t b : bytes)
        h = (h ^ b) * 1099511628211ULL;
    char text[40];
    std::snprintf(text, sizeof text, "%zu bytes fnv %016llx", bytes.size(),
                  static_cast<unsigned long long>(h));
    return text;
}

// Message boxes, progress steps and the open dialog, written to the log.
class LoggingUi final : public UiServices
{
    InstalledServices installed_;

  public:
    explicit LoggingUi(std::function<void(const std::string &)> log) : log_(std::move(log))
    {
        installed_.ui(this);
    }
    void messageBox(const std::string &text, const std::string &title, MessageKind kind) override
    {
        log_("box " + title + " " + std::to_string(static_cast<int>(kind)) + " " + text);
    }
    void processMessages() override {}
    std::optional<std::string> openFileDialog(forms::OpenDialog &) override { return answer; }
    std::optional<std::string> answer;

  protected:
    void progress(const ProgressEvent &e) override
    {
        log_("step " + e.phase + " " + std::to_string(e.done) + "/" + std::to_string(e.total));
    }

  private:
    std::function<void(const std::string &)> log_;
};

// One line per control state, to tell what changed.
std::map<std::string, std::string> Fields(forms::Control &c)
{
    std::map<std::string, std::string> f;
    f["caption"] = c.caption();
    f["visible"] = c.visible() ? "1" : "0";
    f["enabled"] = c.enabled() ? "1" : "0";
    f["colour"] = forms::ColourName(c.fontColour());
    if (auto *e = dynamic_cast<forms::LabeledEdit *>(&c))
        f["text"] = e->text();
    if (auto *b = dynamic_cast<forms::CheckBox *>(&c))
        f["checked"] = b->checked() ? "1" : "0";
    if (auto *l = dynamic_cast<forms::ComboBox *>(&c)) {
        std::string items;
        for (const auto &item : l->items())
            items += "[" + item + "]";
        f["items"] = items;
        f["index"] = std::to_string(l->itemIndex());
    }
    if (auto *p = dynamic_cast<forms::ProgressBar *>(&c))
        f["position"] = std::to_string(p->position());
    return f;
}

class GoldenRun
{
  public:
    GoldenRun()
    {
        trace_ = open_memstream(&traceBuffer_, &traceSize_);
        SetCommandTrace(trace_);
    }
    ~GoldenRun()
    {
        SetCommandTrace(nullptr);
        std::fclose(trace_);
        std::free(traceBuffer_);
    }
    GoldenRun(const GoldenRun &) = delete;
    GoldenRun &operator=(const GoldenRun &) = delete;

    void log(const std::string &line) { text_ += line + "\n"; }
    // The commands, after everything else.
    void drainTrace()
    {
        text_ += "== commands\n";
        std::fflush(trace_);
        for (; tracePos_ < traceSize_; ++tracePos_) {
            if (atLineStart_)
                text_ += "cmd ";
            text_ += traceBuffer_[tracePos_];
            atLineStart_ = traceBuffer_[tracePos_] == '\n';
        }
    }
    void follow(TBrigantFwTool &form)
    {
        for (forms::Control *c : form.controls()) {
            last_[c->name()] = Fields(*c);
            c->addObserver([this](forms::Control &changed) {
                auto now = Fields(changed);
                auto &was = last_[changed.name()];
                for (const auto &[field, value] : now) {
                    if (was[field] == value)
                        continue;
                    // A status line that grows by dots is logged by what it gained.
                    if (field == "text" && !was[field].empty() && value.rfind(was[field], 0) == 0)
                        log(changed.name() + " +" + value.substr(was[field].size()));
                    else
                        log(changed.name() + " " + field + "=" + value);
                }
                was = std::move(now);
            });
        }
    }
    const std::string &text()
    {
        drainTrace();
        return text_;
    }

  private:
    std::FILE *trace_ = nullptr;
    char *traceBuffer_ = nullptr;
    std::size_t traceSize_ = 0;
    std::size_t tracePos_ = 0;
    bool atLineStart_ = true;
    std::string text_;
    std::map<std::string, std::map<std::string, std::string>> last_;
};

std::string RunCase(const GoldenCase &c)
{
    const fs::path dir = fs::temp_directory_path() / ("brigant-golden-" + std::to_string(::getpid()));
    fs::remove_all(dir);
    fs::create_directories(dir);
    const fs::path previous = fs::current_path();
    fs::current_path(dir); // the texts name files relative to here

    GoldenRun golden;
    std::string out;
    {
        test::SimWorld world;
        LoggingUi ui([&golden](const std::string &line) { golden.log(line); });
        std::string error;
        world.simulation.add(c.device, error);
        EXPECT_TRUE(error.empty()) << error;
        sim::SimDiskEnumerator enumerator{world.simulation};
        world.services.diskEnumerator(&enumerator);
        TBrigantFwTool &form = world.window;
        golden.follow(form);
        golden.log("== refresh");
        RefreshBtnClick(form);
        if (form.listedCount > 0) {
            golden.log("== select");
            form.DeviceList.select(0);
        }
        if (c.file[0]) {
            sim::PresetSpec spec;
            EXPECT_TRUE(sim::ParsePresetSpec(c.file, spec, error)) << error;
            sim::PresetFirmwareFile file;
            EXPECT_TRUE(sim::MakePresetFirmwareFile(spec, file, error)) << error;
            std::ofstream("fw.bin", std::ios::binary)
                .write(reinterpret_cast<const char *>(file.bytes.data()),
                       static_cast<std::streamsize>(file.bytes.size()));
            golden.log("== load fw.bin");
            ui.answer = "fw.bin";
            form.LoadBtn.click();
        }
        golden.log("== boxes");
        switch (c.mode) {
        case Mode::Update:
            if (form.NVRAMCheck.visible())
                form.NVRAMCheck.setChecked(false);
            break;
        case Mode::Backup:
            form.RdCheckBox.setChecked(true);
            form.BackupFileEdit.setText("b.bak");
            form.BackupFWCheckBox.setChecked(true);
            break;
        case Mode::Erase:
            form.RdCheckBox.setChecked(true);
            form.EraseOnlyCheck.setChecked(true);
            break;
        case Mode::OneButton:
            break;
        }
        if (c.mode == Mode::OneButton) {
            golden.log("== update button");
            YesBtnClick(form);
        } else {
            golden.log("== run");
            UpdateBtnClick(form);
            golden.log("runResult=" + std::to_string(form.runResult));
        }
        golden.log("== after");
        auto &bridge = *world.simulation.bridges().back();
        if (bridge.identity().flashAttached)
            golden.log("flash " + Fnv(bridge.flash().contents()));
        else
            golden.log("disk area " + Fnv(sim::ReadFirmwareArea(*bridge.identity().disk, sim::DiskArea{})));
        for (const char *name : {"b.bak", "oldFlash.bak", "oldflash.bak"})
            if (fs::exists(name)) {
                std::ifstream in(name, std::ios::binary);
                golden.log(std::string("file ") + name + " " +
                           Fnv(Bytes(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())));
            }
        out = golden.text();
    }
    fs::current_path(previous);
    fs::remove_all(dir);
    return out;
}

class GoldenWindow : public ::testing::TestWithParam<GoldenCase>
{
};

TEST_P(GoldenWindow, SameCommandsAndTextsAsRecorded)
{
    const GoldenCase &c = GetParam();
    const std::string got = RunCase(c);
    const fs::path recorded = fs::path(BRIGANT_GOLDEN_DIR) / (std::string(c.name) + ".log");
    if (std::getenv("BRIGANT_GOLDEN_WRITE")) {
        std::ofstream(recorded, std::ios::binary) << got;
        GTEST_SKIP() << "recorded " << recorded;
    }
    std::ifstream in(recorded, std::ios::binary);
    ASSERT_TRUE(in) << "no recorded log " << recorded;
    const std::string want((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (got == want)
        return;
    // The first line that differs, and the whole log beside the recorded one for diff.
    std::istringstream a(got), b(want);
    std::string la, lb;
    int line = 1;
    while (std::getline(a, la) && std::getline(b, lb) && la == lb)
        ++line;
    const fs::path actual = fs::temp_directory_path() / (std::string(c.name) + ".actual.log");
    std::ofstream(actual, std::ios::binary) << got;
    ADD_FAILURE() << c.name << " differs from " << recorded << " at line " << line << ":\n  got:  " << la
                  << "\n  want: " << lb << "\nwhole log: " << actual;
}

std::string CaseName(const ::testing::TestParamInfo<GoldenCase> &info) { return info.param.name; }

// One bridge per family, each mode of Run.
#define FAMILY(name, device, file)                                                                           \
    GoldenCase{name "_update", device, file, Mode::Update},                                                  \
        GoldenCase{name "_backup", device, "", Mode::Backup}, GoldenCase                                     \
    {                                                                                                        \
        name "_erase", device, "", Mode::Erase                                                               \
    }

INSTANTIATE_TEST_SUITE_P(Families, GoldenWindow,
                         ::testing::Values(FAMILY("whole_image_alder", "alder", "alder:version=9.8"),
                                           FAMILY("blockwise_ginkgo", "ginkgo", "ginkgo:ext=2.3.4.5"),
                                           FAMILY("blockwise_maple", "maple", "maple:ext=2.3.4.5,nvram=1"),
                                           FAMILY("blockwise_sst_larch", "larch", "larch:ext=2.3.4.5"),
                                           FAMILY("assisted_nutmeg", "nutmeg", "nutmeg:ext=2.3.4.5"),
                                           FAMILY("sbp2_hazel_1394", "hazel-1394", "hazel-1394:version=9.8"),
                                           FAMILY("buffer_quince", "quince:version=3.0,ext=31.25.1.5",
                                                  "quince:version=3.0,exttext=2345"),
                                           FAMILY("disk_elm_e_disk", "elm-e-disk", "elm-e-disk:ext=2.3.4.5"),
                                           FAMILY("staging_oak", "oak", "oak:version=9.8"),
                                           GoldenCase{"one_button_quince", "quince", "", Mode::OneButton}),
                         CaseName);

} // namespace
