// The full tool's Run button asks before it writes (with the plan of its
// rehearsal on the device's twin when "Rehearse first" is checked), and No
// leaves the bridge alone: through the real session, UI services and view.
#include "gui/fwtool_app.h"
#include "gui/gui_session.h"
#include "next_modal.h"
#include "sim/chip_presets.h"
#include "sim/presets.h"
#include "sim/simulation.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

#include <fstream>

using namespace brigant;
using namespace brigant::gui;

namespace
{

// Lines of the command trace: one per command sent to a bridge.
int TraceLines(const QString &file)
{
    QFile trace(file);
    if (!trace.open(QIODevice::ReadOnly))
        return -1;
    return static_cast<int>(trace.readAll().count('\n'));
}

TEST(Confirmation, RunAsksFirstAndNoSendsNothing)
{
    struct Case {
        const char *bridge, *file;
        bool rehearse; // "Rehearse first" left checked: the question carries the plan
        std::vector<const char *> said;
    };
    const Case cases[] = {
        {"nutmeg", "nutmeg", false, {"will be replaced by the file's"}},
        {"quince:version=3.0,ext=31.25.1.5",
         "quince:version=3.0,ext=31.25.1.5,exttext=2345",
         false,
         {"Running firmware: 31.25.1.5\n", "New firmware: 2.3.4.5\n"}},
        {"nutmeg", "nutmeg:ext=2.3.4.5", true, {"Rehearsal on the device's twin:\n", "  outcome: success\n"}},
    };
    for (const Case &c : cases) {
        QTemporaryDir dir;
        const QByteArray savedState = qgetenv("XDG_STATE_HOME");
        qputenv("XDG_STATE_HOME", dir.filePath("state").toUtf8());

        sim::PresetSpec spec;
        sim::PresetFirmwareFile file;
        std::string error;
        ASSERT_TRUE(sim::ParsePresetSpec(c.file, spec, error)) << error;
        ASSERT_TRUE(sim::MakePresetFirmwareFile(spec, file, error)) << error;
        const std::string fw = dir.filePath("fw.bin").toStdString();
        std::ofstream(fw, std::ios::binary)
            .write(reinterpret_cast<const char *>(file.bytes.data()),
                   static_cast<std::streamsize>(file.bytes.size()));

        GuiSession session;
        GuiOptions options;
        options.simulate = {c.bridge};
        options.trace = true;
        options.traceFile = dir.filePath("trace").toStdString();
        ASSERT_TRUE(session.start(options, error)) << error;
        FwToolApp app(session, Face::Advanced);
        app.create();
        app.show();
        TBrigantFwTool &form = app.form();
        form.FwFilenameEdit.setText(fw);
        app.view().syncWindow();
        auto *rehearse = app.view().findChild<QCheckBox *>("RehearseFirstCheck");
        ASSERT_TRUE(rehearse && rehearse->isChecked() && rehearse->isVisible());
        rehearse->setChecked(c.rehearse);
        const std::vector<std::uint8_t> flash =
            session.runtime().simulation()->bridges()[0]->flash().contents();
        auto *run = qobject_cast<QPushButton *>(app.view().widgetFor("UpdateBtn"));
        ASSERT_TRUE(run && run->isEnabled()) << c.bridge;

        QString asked;
        test::OnNextModal<QMessageBox>([&](QMessageBox *box) {
            asked = box->text();
            // (Any other box, an error one, is closed: `asked` then fails the case.)
            if (QAbstractButton *no = box->button(QMessageBox::No))
                no->click();
            else
                box->close();
        });
        const int sent = TraceLines(dir.filePath("trace"));
        QTest::mouseClick(run, Qt::LeftButton);

        EXPECT_TRUE(asked.startsWith("Write to this device?")) << asked.toStdString();
        EXPECT_TRUE(asked.contains(QString::fromStdString("Device: " + form.selectedEntry().path)));
        EXPECT_TRUE(asked.contains(QString::fromStdString("Will write: the firmware file " + fw)));
        for (const char *part : c.said)
            EXPECT_TRUE(asked.contains(part)) << part << " in\n" << asked.toStdString();
        // No: nothing was written, and no backup was made; without a
        // rehearsal no command reached the bridge (recording it reads) but
        // Run's question to the running firmware whether the file fits.
        EXPECT_GT(sent, 0);
        if (!c.rehearse) {
            EXPECT_LE(TraceLines(dir.filePath("trace")) - sent, 1) << c.bridge;
        }
        EXPECT_EQ(session.runtime().simulation()->bridges()[0]->flash().contents(), flash) << c.bridge;
        EXPECT_FALSE(QDir(dir.filePath("state")).exists()) << c.bridge;
        EXPECT_EQ(form.runResult, -1);

        app.view().close();
        if (savedState.isNull())
            qunsetenv("XDG_STATE_HOME");
        else
            qputenv("XDG_STATE_HOME", savedState);
    }
}

} // namespace
