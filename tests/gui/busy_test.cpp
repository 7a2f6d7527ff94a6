// A bridge another program holds: the window shows it busy, keeps Run
// disabled, and its refresh sends the bridge nothing.
#include "device/bridge_lock.h"
#include "gui/fwtool_app.h"
#include "gui/gui_session.h"
#include "sim_files.h"

#include <QFile>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <fstream>

using namespace brigant;
using namespace brigant::gui;

namespace
{

TEST(BusyBridge, ShownBusyRunDisabledNothingSent)
{
    QTemporaryDir dir;
    const QByteArray savedLocks = qgetenv("BRIGANT_LOCK_DIR");
    qputenv("BRIGANT_LOCK_DIR", dir.filePath("locks").toUtf8());
    const std::string fw = test::WritePresetFile(dir, "fw.bin", "nutmeg:ext=2.3.4.5");
    std::string error;
    {
        GuiSession session;
        GuiOptions options;
        options.simulate = {"nutmeg"};
        options.simState = dir.filePath("state").toStdString();
        options.trace = true;
        options.traceFile = dir.filePath("trace").toStdString();
        ASSERT_TRUE(session.start(options, error)) << error;
        FwToolApp app(session, Face::Advanced);
        app.create();
        app.show();
        TBrigantFwTool &form = app.form();
        form.FwFilenameEdit.setText(fw);
        app.view().syncWindow();
        auto *run = qobject_cast<QPushButton *>(app.view().widgetFor("UpdateBtn"));
        auto *refresh = qobject_cast<QPushButton *>(app.view().widgetFor("RefreshBtn"));
        ASSERT_TRUE(run && refresh);
        ASSERT_TRUE(run->isEnabled());

        // Another program holds the bridge.
        BridgeLocks &locks = ProcessBridgeLocks();
        const QString file =
            QString::fromStdString(locks.lockFile(locks.locationOf(form.selectedEntry().path)));
        QProcess holder;
        holder.start("flock", {file, "sleep", "30"});
        ASSERT_TRUE(holder.waitForStarted());
        for (int i = 0; i < 100 && QProcess::execute("flock", {"-n", file, "true"}) == 0; ++i)
            QTest::qWait(20);
        ASSERT_NE(QProcess::execute("flock", {"-n", file, "true"}), 0);

        const QByteArray sent = test::TraceOf(dir.filePath("trace"));
        QTest::mouseClick(refresh, Qt::LeftButton);
        app.view().syncWindow();
        EXPECT_EQ(test::TraceOf(dir.filePath("trace")), sent);
        EXPECT_NE(form.StatusEdit.text().find("is busy: another program"), std::string::npos)
            << form.StatusEdit.text();
        EXPECT_FALSE(run->isEnabled());
        EXPECT_FALSE(form.YesBtn.enabled());

        holder.kill();
        holder.waitForFinished();
        app.view().close();
    }
    if (savedLocks.isNull())
        qunsetenv("BRIGANT_LOCK_DIR");
    else
        qputenv("BRIGANT_LOCK_DIR", savedLocks);
}

} // namespace
