// The window program's command line: what it accepts, what it refuses and
// how a refusal reaches the user; --device cuts the window's list to one disk.
#include "gui/fwtool_app.h"
#include "gui/gui_session.h"
#include "gui/options.h"

#include <QAbstractButton>
#include <QApplication>
#include <QMessageBox>
#include <QTimer>
#include <gtest/gtest.h>

#include <string>
#include <vector>

using namespace brigant;
using namespace brigant::gui;

namespace
{

ParsedOptions Parse(std::vector<std::string> args, GuiOptions &options, bool leaveRestToQt)
{
    args.insert(args.begin(), "brigant-fwtool");
    std::vector<char *> argv;
    for (auto &arg : args)
        argv.push_back(arg.data());
    return ParseGuiOptions(static_cast<int>(argv.size()), argv.data(), options, leaveRestToQt);
}

TEST(GuiOptions, UnknownOptionsAreErrorsOnceQtHasTakenItsOwn)
{
    struct Case {
        std::vector<std::string> args;
        bool leaveRestToQt;
        const char *error; // empty: accepted
    };
    for (const Case &c : {Case{{"--advanced", "--device", "/dev/sg3"}, false, ""},
                          Case{{"-platform", "offscreen", "--advanced"}, true, ""},
                          Case{{"--bogus"}, true, ""}, // may be Qt's: decided after QApplication
                          Case{{"--bogus"}, false, "--bogus"}, Case{{"--advanced", "stray"}, false, "stray"},
                          Case{{"--device"}, true, "--device"},
                          Case{{"--smoke", "failure", "--screenshot", "f.png"}, false, ""},
                          Case{{"--smoke", "success"}, false, "--screenshot"},
                          Case{{"--smoke", "dance", "--screenshot", "f.png"}, false, "dance"},
                          Case{{"--smoke", "confirm", "--screenshot", "f.png"}, false, "--smoke-file"},
                          Case{{"--smoke-file", "fw.bin"}, false, "--smoke"}}) {
        GuiOptions options;
        const ParsedOptions parsed = Parse(c.args, options, c.leaveRestToQt);
        const std::string what = c.args.back();
        if (*c.error == 0) {
            EXPECT_FALSE(parsed.exitCode.has_value()) << what << ": " << parsed.error;
        } else {
            EXPECT_EQ(parsed.exitCode, 2) << what;
            EXPECT_NE(parsed.error.find(c.error), std::string::npos) << parsed.error;
        }
    }
    GuiOptions options;
    Parse({"--device", "/dev/sg3", "--advanced"}, options, false);
    EXPECT_EQ(options.device, "/dev/sg3");
    EXPECT_TRUE(options.advanced);
}

TEST(GuiOptions, StartErrorGoesToAnErrorBoxOrToStandardError)
{
    QString shown, title;
    QTimer::singleShot(50, [&] {
        if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
            shown = box->text();
            title = box->windowTitle();
            box->button(QMessageBox::Ok)->click();
        }
    });
    ReportStartError("The following argument was not expected: --bogus", false);
    EXPECT_EQ(shown, QString("The following argument was not expected: --bogus"));
    EXPECT_EQ(title, QString("Error"));

    testing::internal::CaptureStderr();
    ReportStartError("The following argument was not expected: --bogus", true);
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "brigant-fwtool: error: The following argument was not expected: --bogus\n");
}

TEST(GuiOptions, DeviceListsThatDiskOnlyAndMustNameOne)
{
    struct Case {
        std::string device;
        const char *error; // empty: the window lists that device alone
    };
    for (const Case &c :
         {Case{"sim:sg1", ""}, Case{"sim:sg7", "--device: cannot open sim:sg7: no such simulated device"}}) {
        GuiOptions options;
        options.simulate = {"quince", "hazel-1394"};
        options.device = c.device;
        GuiSession session;
        std::string error;
        ASSERT_EQ(session.start(options, error), *c.error == 0) << error;
        if (*c.error) {
            EXPECT_EQ(error.rfind(c.error, 0), 0u) << error;
            continue;
        }
        FwToolApp app(session, Face::Advanced);
        app.create();
        EXPECT_EQ(app.form().DeviceList.items().size(), 1u);
        EXPECT_EQ(app.form().selectedEntry().path, c.device);
        EXPECT_EQ(app.form().diskLabel.caption(), "1394 DISK");
        app.view().close();
    }
    // Without a simulation, the node must exist and be a SCSI generic one
    // (the cases of that check are the platform layer's tests).
    for (const auto &[device, error] :
         {std::pair{"/nonexistent/sg0", "--device: cannot open /nonexistent/sg0: No such file"},
          std::pair{"/dev/null", "--device: /dev/null: not a SCSI generic device"}}) {
        GuiOptions options;
        options.device = device;
        GuiSession session;
        std::string why;
        EXPECT_FALSE(session.start(options, why));
        EXPECT_EQ(why.rfind(error, 0), 0u) << why;
    }
}

} // namespace
