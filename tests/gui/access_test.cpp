// Refused disk access becomes a message that says what to do, once per
// episode, and the window says so instead of showing an empty list silently.
#include "device/transport.h"
#include "gui/access_watch.h"
#include "gui/fwtool_app.h"
#include "gui/gui_session.h"

#include <QApplication>
#include <QLabel>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

#include <cerrno>

using namespace brigant;
using namespace brigant::gui;

namespace
{

class ScriptedBackend final : public ScsiBackend
{
  public:
    ScsiOutcome next;
    ScsiOutcome execute(const std::string &, const ScsiCommand &) override { return next; }

    void deny()
    {
        next = {};
        next.openError = OpenError::PermissionDenied;
        next.sysErrno = EACCES;
    }
    void refuseCommand()
    {
        next = {};
        next.opened = true;
        next.sysErrno = EPERM;
    }
    void succeed()
    {
        next = {};
        next.opened = true;
        next.transportOk = true;
    }
};

class FixedDisks final : public DiskEnumerator
{
  public:
    bool available = true;
    bool listDisks(std::vector<DiskInterface> &disks) override
    {
        disks.clear();
        if (available)
            disks.push_back({"/dev/sg3", BusKind::Usb, {}, {}, {}, {}, {}, 0, 0, {}});
        return available;
    }
    bool listMountedVolumes(std::vector<MountedVolume> &) override { return true; }
};

void Send(AccessWatch &watch)
{
    std::uint8_t cdb[12] = {0xE0};
    ScsiCommand cmd;
    cmd.cdb = cdb;
    cmd.cdbLength = 12;
    watch.execute("/dev/sg3", cmd);
}

TEST(AccessWatch, PermissionProblemsAreReportedOncePerEpisode)
{
    ScriptedBackend backend;
    FixedDisks disks;
    AccessWatch watch(&backend, &disks);
    EXPECT_FALSE(watch.takeReport());

    backend.deny();
    Send(watch);
    auto report = watch.takeReport();
    ASSERT_TRUE(report);
    EXPECT_NE(report->find("/dev/sg3"), std::string::npos);
    EXPECT_NE(report->find(kPrivilegeAdvice), std::string::npos);

    // Every refresh meets the same refusal: the user has been told.
    Send(watch);
    EXPECT_FALSE(watch.takeReport());

    // A command that refuses the vendor opcode is its own problem.
    backend.refuseCommand();
    Send(watch);
    report = watch.takeReport();
    ASSERT_TRUE(report);
    EXPECT_NE(report->find("CAP_SYS_RAWIO"), std::string::npos);
    EXPECT_NE(report->find(kPrivilegeAdvice), std::string::npos);

    // Access worked again in between: a new refusal is news.
    backend.succeed();
    Send(watch);
    EXPECT_FALSE(watch.takeReport());
    backend.deny();
    Send(watch);
    EXPECT_TRUE(watch.takeReport());
}

TEST(AccessWatch, ADiskListThatCannotBeReadIsReported)
{
    ScriptedBackend backend;
    FixedDisks disks;
    AccessWatch watch(&backend, &disks);
    std::vector<DiskInterface> list;
    disks.available = false;
    EXPECT_FALSE(watch.listDisks(list));
    auto report = watch.takeReport();
    ASSERT_TRUE(report);
    EXPECT_NE(report->find("udev"), std::string::npos);
    disks.available = true;
    EXPECT_TRUE(watch.listDisks(list));
    EXPECT_EQ(list.size(), 1u);
    EXPECT_FALSE(watch.takeReport());
}

TEST(AccessWatch, WindowTellsTheUserInsteadOfShowingAnEmptyList)
{
    GuiOptions options;
    options.simulate = {"quince"};
    GuiSession session;
    std::string error;
    ASSERT_TRUE(session.start(options, error)) << error;
    // The simulated disk is listed, but opening it is refused as for a user without rights.
    ScriptedBackend refusing;
    refusing.deny();
    session.accessWatch().setBackend(&refusing);

    FwToolApp app(session, Face::Delivered);
    app.create();
    QString shown;
    QTimer::singleShot(0, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            shown = box->windowTitle() + "|" + box->text();
            box->accept();
        }
    });
    app.show();
    EXPECT_TRUE(shown.startsWith("Error|Permission denied")) << shown.toStdString();
    EXPECT_TRUE(shown.contains(kPrivilegeAdvice));
    EXPECT_EQ(qobject_cast<QLabel *>(app.view().widgetFor("devpnl"))->text(), QString("No device found!!"));
    app.view().close();
}

} // namespace
