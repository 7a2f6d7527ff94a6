// A Run of the window cut by a power loss after the erase is finished by the
// next Run of the same file: the journal kept the device's settings from
// before the erase, and the flash ends as an uncut run leaves it.
#include "app/device_change.h"
#include "app/update_journal.h"
#include "gui/fwtool_app.h"
#include "gui/gui_session.h"
#include "next_modal.h"
#include "sim/chip_presets.h"
#include "sim/presets.h"
#include "sim_files.h"

#include <QApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <fstream>
#include <random>

using namespace brigant;
using namespace brigant::gui;

namespace
{

QByteArray Bytes(const QString &file)
{
    QFile f(file);
    return f.open(QIODevice::ReadOnly) ? f.readAll() : QByteArray();
}

// One window on the simulated bridge kept in `state`: Run with `fw`, every
// box answered Yes (or OK; the power-cycle box after `powerBoxMs`), the state saved. The run's typed outcome,
// and in `status` the status line the run ends with and the one after a Refresh Device.
RunOutcome RunOnce(const std::string &bridge, const QString &state, const std::string &fw,
                   const QString &trace, std::vector<std::string> *status = nullptr, int powerBoxMs = 0)
{
    GuiSession session;
    GuiOptions options;
    options.simulate = {bridge};
    options.simState = state.toStdString();
    options.trace = !trace.isEmpty();
    options.traceFile = trace.toStdString();
    std::string error;
    EXPECT_TRUE(session.start(options, error)) << error;
    FwToolApp app(session, Face::Advanced);
    app.create();
    app.show();
    if (!fw.empty()) // none: the window's own choice
        app.form().FwFilenameEdit.setText(fw);
    app.view().syncWindow();
    // The power-cycle box stays open a while, as a user reads it: the window
    // sees the bridge come and go behind it.
    QTimer answer;
    QMessageBox *open = nullptr;
    QElapsedTimer openFor;
    QObject::connect(&answer, &QTimer::timeout, [&] {
        auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget());
        if (box != open) {
            open = box;
            openFor.start();
            // A bridge that comes back while the box is open (one that resets itself, or a hub's).
            if (box && powerBoxMs > 0 && box->text().contains("Turn-Off"))
                FormDeviceChange(app.form(), DeviceChange::Arrival);
        }
        if (!box || (box->text().contains("Turn-Off") && openFor.elapsed() < powerBoxMs))
            return;
        QAbstractButton *yes = box->button(QMessageBox::Yes);
        (yes ? yes : box->button(QMessageBox::Ok))->click();
    });
    answer.start(10);
    auto *run = qobject_cast<QPushButton *>(app.view().widgetFor("UpdateBtn"));
    EXPECT_TRUE(run && run->isEnabled()) << app.form().StatusEdit.text();
    if (run)
        QTest::mouseClick(run, Qt::LeftButton);
    answer.stop();
    const RunOutcome outcome = app.form().lastRun;
    if (status) {
        status->push_back(app.form().StatusEdit.text());
        QTest::mouseClick(qobject_cast<QPushButton *>(app.view().widgetFor("RefreshBtn")), Qt::LeftButton);
        status->push_back(app.form().StatusEdit.text());
    }
    app.view().close();
    EXPECT_TRUE(session.saveSimState(error)) << error;
    return outcome;
}

// A nutmeg file in `dir` (its path in `fw`), an uncut run of it in
// dir/clean, and the fault that cuts the same run while it programs the
// flash (empty when the uncut run failed); dir/cut is made for it.
std::string NutmegCutWhileProgramming(QTemporaryDir &dir, std::string &fw)
{
    fw = test::WritePresetFile(dir, "fw.bin", "nutmeg:ext=2.3.4.5");
    if (fw.empty() || !QDir(dir.path()).mkpath("clean") || !QDir(dir.path()).mkpath("cut") ||
        !RunOnce("nutmeg", dir.filePath("clean"), fw, dir.filePath("trace")).ok())
        return {};
    const QStringList lines = QString(Bytes(dir.filePath("trace"))).split('\n');
    int program = 0;
    while (program < lines.size() && !lines[program].contains(" out DF 00 00 20 "))
        ++program;
    return program < lines.size() ? "nutmeg:fault=powerloss@" + std::to_string(program + 3) : std::string();
}

TEST(WindowJournal, ACutRunIsFinishedByTheSameRunWithTheSettingsFromBeforeTheErase)
{
    QTemporaryDir dir; // the journal itself is in the run's state folder (gui_test_main)

    sim::PresetSpec spec;
    sim::PresetFirmwareFile file;
    std::string error;
    ASSERT_TRUE(sim::ParsePresetSpec("alder:version=9.8", spec, error)) << error;
    ASSERT_TRUE(sim::MakePresetFirmwareFile(spec, file, error)) << error;
    const std::string fw = dir.filePath("fw.bin").toStdString();
    std::ofstream(fw, std::ios::binary)
        .write(reinterpret_cast<const char *>(file.bytes.data()),
               static_cast<std::streamsize>(file.bytes.size()));

    // The bridge's own settings (512 bytes at 0x8000) are not blank.
    for (const char *name : {"clean", "cut"}) {
        ASSERT_TRUE(QDir(dir.path()).mkpath(name));
        GuiSession session;
        GuiOptions options;
        options.simulate = {"alder"};
        options.simState = dir.filePath(name).toStdString();
        ASSERT_TRUE(session.start(options, error)) << error;
        ASSERT_TRUE(session.saveSimState(error)) << error;
    }
    QByteArray flash = Bytes(dir.filePath("clean/flash.bin"));
    ASSERT_GE(flash.size(), 0x8000 + 512);
    std::mt19937 random(7);
    for (int i = 0; i < 512; ++i)
        flash[0x8000 + i] = static_cast<char>(random());
    for (const char *name : {"clean/flash.bin", "cut/flash.bin"}) {
        QFile out(dir.filePath(name));
        ASSERT_TRUE(out.open(QIODevice::WriteOnly | QIODevice::Truncate));
        out.write(flash);
    }

    // An uncut run, and where its erase is.
    ASSERT_TRUE(RunOnce("alder", dir.filePath("clean"), fw, dir.filePath("trace")).ok());
    const QStringList lines = QString(Bytes(dir.filePath("trace"))).split('\n');
    int erase = 0;
    while (erase < lines.size() && !lines[erase].contains(" out FF 04 14 "))
        ++erase;
    ASSERT_LT(erase, lines.size());

    // The power goes right after the erase: the run fails, the journal holds it open.
    const std::string cut = "alder:fault=powerloss@" + std::to_string(erase + 2);
    EXPECT_FALSE(RunOnce(cut, dir.filePath("cut"), fw, {}).ok());
    EXPECT_NE(Bytes(dir.filePath("cut/flash.bin")).mid(0x8000, 512), flash.mid(0x8000, 512));
    // The same Run again finishes it, with the settings from before the erase.
    EXPECT_TRUE(RunOnce("alder", dir.filePath("cut"), fw, {}).ok());
    EXPECT_EQ(Bytes(dir.filePath("cut/flash.bin")), Bytes(dir.filePath("clean/flash.bin")));
}

// A write that succeeded closes its journal entry before the window says
// anything more: no "did not finish" after it, and the backup stays named,
// a refresh later too.
TEST(WindowJournal, ASuccessfulWriteEndsWithItsBackupAndNoUnfinishedWarning)
{
    const struct {
        const char *bridge, *file;
    } rows[] = {
        {"nutmeg", "nutmeg:ext=2.3.4.5"},
        {"maple:fwassist=1", "maple:fwassist=1,ext=2.3.4.5,nvram=1"},
        {"quince:version=3.0,ext=31.25.1.5", "quince:version=3.0,ext=31.25.1.5,exttext=2345"},
    };
    for (const auto &row : rows) {
        SCOPED_TRACE(row.bridge);
        QTemporaryDir dir;
        const std::string fw = test::WritePresetFile(dir, "fw.bin", row.file);
        ASSERT_FALSE(fw.empty());
        std::vector<std::string> status;
        EXPECT_TRUE(RunOnce(row.bridge, dir.path(), fw, {}, &status, 2000).ok());
        ASSERT_EQ(status.size(), 2u);
        for (const std::string &line : status) {
            EXPECT_EQ(line.find("did not finish"), std::string::npos) << line;
            EXPECT_NE(line.find("Backup of the flash: "), std::string::npos) << line;
        }
    }
}

// A Run cut by a power loss (the bridge is gone at once) keeps its failure,
// the way forward and the backup on the status line, with no device listed
// and after a refresh. Started again with the bridge back, the window loads
// the cut update's file itself, and Run finishes it as an uncut run would.
TEST(WindowJournal, ACutRunSaysTheWayForwardAndTheWindowOffersToFinishIt)
{
    QTemporaryDir dir;
    std::string fw;
    // The power goes while the flash is programmed.
    const std::string cut = NutmegCutWhileProgramming(dir, fw);
    ASSERT_FALSE(cut.empty());

    std::vector<std::string> status;
    EXPECT_FALSE(RunOnce(cut, dir.filePath("cut"), fw, {}, &status).ok());
    ASSERT_EQ(status.size(), 2u);
    for (const std::string &line : status) {
        EXPECT_NE(line.find("Run with the same file finishes it."), std::string::npos) << line;
        EXPECT_NE(line.find("Backup of the flash: "), std::string::npos) << line;
    }

    std::vector<std::string> finished;
    EXPECT_TRUE(RunOnce("nutmeg", dir.filePath("cut"), "", {}, &finished).ok()) << finished.size();
    EXPECT_EQ(Bytes(dir.filePath("cut/flash.bin")), Bytes(dir.filePath("clean/flash.bin")));
    for (const std::string &line : finished)
        EXPECT_EQ(line.find("did not finish"), std::string::npos) << line;
}

// A cut that damages a firmware bank, then only a selection: the window
// repairs the bank as it selects the bridge, and that closes the cut
// write's entry as `repair` closes it.
TEST(WindowJournal, ABankRepairedOnSelectionClosesTheCutWrite)
{
    QTemporaryDir dir;
    std::string fw;
    const std::string cut = NutmegCutWhileProgramming(dir, fw);
    ASSERT_FALSE(cut.empty());
    EXPECT_FALSE(RunOnce(cut, dir.filePath("cut"), fw, {}).ok());
    GuiSession session;
    GuiOptions options;
    options.simulate = {"nutmeg"};
    options.simState = dir.filePath("cut").toStdString();
    std::string error;
    ASSERT_TRUE(session.start(options, error)) << error;
    FwToolApp app(session, Face::Advanced);
    app.create();
    const std::string key = BridgeJournalKey(app.form().selectedEntry().path);
    EXPECT_FALSE(OpenJournalEntry(key).has_value());
    int entries = 0;
    for (const JournalEntry &entry : ReadJournal())
        if (entry.bridge == key) {
            ++entries;
            EXPECT_EQ(entry.closedBy, "repair");
            EXPECT_FALSE(entry.open());
        }
    EXPECT_EQ(entries, 1);
    app.view().close();
}

// A code 15-18 bridge left in its ROM (a flash without firmware): Load File
// takes its firmware file (and refuses another chip's), and Run brings it
// back as `recover FILE` does, instead of sending its user to a terminal.
TEST(WindowJournal, ABridgeInItsRomIsBroughtBackByRunWithItsFile)
{
    QTemporaryDir dir;
    const std::string fw = test::WritePresetFile(dir, "fw.bin", "pine:version=3.0,exttext=2345");
    const std::string foreign = test::WritePresetFile(dir, "foreign.bin", "quince:version=3.0,exttext=2345");
    ASSERT_FALSE(fw.empty() || foreign.empty());
    GuiSession session;
    GuiOptions options;
    options.simulate = {"pine:blank=1"};
    options.simState = dir.filePath("rom").toStdString();
    std::string error;
    ASSERT_TRUE(session.start(options, error)) << error;
    FwToolApp app(session, Face::Advanced);
    app.create();
    app.show();
    TBrigantFwTool &form = app.form();
    auto *load = qobject_cast<QPushButton *>(app.view().widgetFor("LoadBtn"));
    auto *run = qobject_cast<QPushButton *>(app.view().widgetFor("UpdateBtn"));
    ASSERT_TRUE(load && run);
    EXPECT_NE(form.StatusEdit.text().find("load its firmware file and press Run"), std::string::npos)
        << form.StatusEdit.text();
    for (const std::string &file : {foreign, fw}) {
        test::ModalAnswers answers(QString::fromStdString(file));
        QTest::mouseClick(load, Qt::LeftButton);
        if (file == foreign) {
            EXPECT_EQ(form.lastLoad, LoadResult::Refused) << form.StatusEdit.text();
        }
    }
    EXPECT_EQ(form.lastLoad, LoadResult::Accepted) << form.StatusEdit.text();
    EXPECT_NE(form.StatusEdit.text().find("ROM"), std::string::npos) << form.StatusEdit.text();
    app.view().syncWindow();
    ASSERT_TRUE(run->isEnabled());
    {
        test::AnswerEveryBox yes;
        QTest::mouseClick(run, Qt::LeftButton);
    }
    EXPECT_TRUE(form.lastRun.ok()) << form.lastRun.reason;
    QTest::mouseClick(qobject_cast<QPushButton *>(app.view().widgetFor("RefreshBtn")), Qt::LeftButton);
    EXPECT_EQ(form.StatusEdit.text().find("ROM"), std::string::npos) << form.StatusEdit.text();
    app.view().close();
    ASSERT_TRUE(session.saveSimState(error)) << error;
    // The flash holds the file from its start, as the command line's recovery leaves it.
    const QByteArray file = Bytes(QString::fromStdString(fw));
    EXPECT_EQ(Bytes(dir.filePath("rom/flash.bin")).left(file.size()), file);
}

} // namespace
