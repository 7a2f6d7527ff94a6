// A file that `update FILE` refuses is never written from the window: Load
// File leaves Run disabled with the reason in the status line, and a Run
// forced anyway sends the bridge nothing. One row per updatable family.
#include "gui/fwtool_app.h"
#include "gui/gui_session.h"
#include "next_modal.h"
#include "sim/simulation.h"
#include "sim_files.h"

#include <QApplication>
#include <QFile>
#include <QMessageBox>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <fstream>

using namespace brigant;
using namespace brigant::gui;

namespace
{

TEST(ForeignFile, NeverWrittenFromTheWindow)
{
    struct Case {
        const char *bridge;  // the family's bridge
        const char *foreign; // a bridge of another chip, whose file it is given
    };
    const Case cases[] = {
        {"alder", "ginkgo"},          // register-level, whole image
        {"ginkgo", "alder"},          // register-level, block-wise
        {"nutmeg", "quince"},         // firmware-assisted
        {"hazel:bus=1394", "nutmeg"}, // firmware-assisted over 1394
        {"quince", "nutmeg"},         // buffer transfer
        {"oak", "nutmeg"},            // staging buffer
        {"elm-e-disk", "nutmeg"},     // firmware on the attached disk
    };
    for (const Case &c : cases) {
        QTemporaryDir dir;
        std::string error;
        for (const std::string &fw :
             {test::WritePresetFile(dir, "foreign.bin", c.foreign), test::WriteFile(dir, "empty.bin", {})}) {
            SCOPED_TRACE(std::string(c.bridge) + " given " + fw);
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
            form.OpenDialog1.initialDir = dir.path().toStdString();
            ASSERT_NE(form.chip.ChipTypeCode, 0);
            const std::vector<std::uint8_t> flash =
                session.runtime().simulation()->bridges()[0]->flash().contents();
            auto *load = qobject_cast<QPushButton *>(app.view().widgetFor("LoadBtn"));
            auto *run = qobject_cast<QPushButton *>(app.view().widgetFor("UpdateBtn"));
            ASSERT_TRUE(load && run);
            {
                test::ModalAnswers answers(QString::fromStdString(fw));
                QTest::mouseClick(load, Qt::LeftButton);
            }
            app.view().syncWindow();
            EXPECT_EQ(form.FwFilenameEdit.text(), fw);
            EXPECT_FALSE(run->isEnabled());
            EXPECT_NE(form.lastLoad, LoadResult::Accepted);
            // The status line names the reason, after the window's own words.
            const std::string status = form.StatusEdit.text();
            bool named = false;
            for (const std::string said : {"The firmware file seems not match this chip! ",
                                           "FW file not Match. ", "FW file refused: "})
                named = named || (status.rfind(said, 0) == 0 && status.size() > said.size() + 10);
            EXPECT_TRUE(named) << status;

            // Run forced on: the click refuses before any command.
            const QByteArray sent = test::TraceOf(dir.filePath("trace"));
            form.UpdateBtn.setEnabled(true);
            app.view().syncWindow();
            {
                test::ModalAnswers answers(QString::fromStdString(fw));
                QTest::mouseClick(run, Qt::LeftButton);
                EXPECT_TRUE(answers.said.isEmpty()) << answers.said.toStdString();
            }
            // Nothing new: at most the questions Load File asked the running
            // firmware again, never a write.
            const QByteArray after = test::TraceOf(dir.filePath("trace"));
            ASSERT_TRUE(after.startsWith(sent));
            for (const QByteArray &line : after.mid(sent.size()).split('\n'))
                EXPECT_TRUE(line.isEmpty() || sent.contains(line)) << line.toStdString();
            EXPECT_EQ(session.runtime().simulation()->bridges()[0]->flash().contents(), flash);
            EXPECT_EQ(form.StatusEdit.text().rfind("FW file refused: ", 0), 0u) << form.StatusEdit.text();
            EXPECT_FALSE(form.UpdateBtn.enabled());
            app.view().close();
            QFile::remove(dir.filePath("trace"));
        }
    }
}

} // namespace
