// The one-button face end to end on simulated bridges, through the real
// session, UI services and clock of the window.
#include "app/fwupdate_handlers.h"
#include "gui/fwtool_app.h"
#include "gui/gui_session.h"
#include "image/firmware_version.h"
#include "next_modal.h"
#include "update/assisted/embedded_images.h"

#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include "app/write_guard.h"

#include <QFile>
#include <QFileInfo>
#include <QFontMetrics>
#include <QProcess>

#include <algorithm>
#include <cmath>
#include <set>

using namespace brigant;
using namespace brigant::gui;

namespace
{

// Quince bridges whose running firmware relates to the embedded image as
// named (the generated image's version is four ASCII digits).
std::string ImageVersion()
{
    std::uint8_t header[32] = {};
    LoadUpdateImage(header, 0, sizeof header);
    return std::string(reinterpret_cast<const char *>(header + 25), 4);
}
std::string QuinceRunning(std::string version) { return "quince:exttext=" + version; }
std::string OlderVersion() // same identity, another version: the update is offered
{
    std::string v = ImageVersion();
    v[3] = v[3] == '0' ? '1' : '0';
    return QuinceRunning(v);
}
std::string SameVersion() { return QuinceRunning(ImageVersion()); }
std::string OtherIdentity()
{
    std::string v = ImageVersion();
    v[0] = v[0] == '9' ? '8' : '9';
    return QuinceRunning(v);
}
QString ButtonCaption()
{
    std::uint8_t header[32] = {};
    LoadUpdateImage(header, 0, sizeof header);
    return QString::fromStdString(UpdateButtonCaption(header));
}

struct Window {
    GuiSession session;
    std::unique_ptr<FwToolApp> app;

    explicit Window(std::vector<std::string> simulate, std::string simState = {}, Face face = Face::Delivered)
    {
        GuiOptions options;
        options.simulate = std::move(simulate);
        options.simState = std::move(simState);
        std::string error;
        EXPECT_TRUE(session.start(options, error)) << error;
        app = std::make_unique<FwToolApp>(session, face);
        app->create();
        app->show();
    }
    ~Window()
    {
        app->view().close();
        app.reset();
    }

    QLabel *status() { return qobject_cast<QLabel *>(app->view().widgetFor("devpnl")); }
    QString text() { return status()->text(); }
    QColor colour() { return status()->palette().color(QPalette::WindowText); }
    QPushButton *button(const char *name) { return qobject_cast<QPushButton *>(app->view().widgetFor(name)); }
    int progress() { return qobject_cast<QProgressBar *>(app->view().widgetFor("ProgressBar2"))->value(); }
};

// The form's blue, green and red as the window shows them (readable on its grey).
const QColor kBlue(0, 0, 255), kGreen(0, 120, 0), kRed(200, 0, 0);

// WCAG's contrast ratio of two colours.
double Contrast(const QColor &a, const QColor &b)
{
    auto luminance = [](const QColor &c) {
        auto channel = [](double v) { return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) + 0.0722 * channel(c.blueF());
    };
    const double x = luminance(a) + 0.05, y = luminance(b) + 0.05;
    return std::max(x, y) / std::min(x, y);
}

TEST(OneButton, RefreshDecidesWhatTheWindowOffers)
{
    struct Case {
        std::string preset;
        const char *text;
        QColor colour;
    };
    for (const Case &c :
         {Case{OlderVersion(), "Click Update firmware button to proceed.", kBlue},
          Case{SameVersion(), "Firmware already updated.", kGreen},
          Case{OtherIdentity(), "Firmware ID not match!!", kRed}, Case{"pine", "Chip not support!!", kRed},
          Case{"plain-disk", "No device found!!", kRed}}) {
        Window w({c.preset});
        EXPECT_EQ(w.text(), QString(c.text)) << c.preset;
        EXPECT_EQ(w.colour(), c.colour) << c.preset;
        EXPECT_GE(Contrast(w.colour(), w.status()->palette().color(QPalette::Window)), 4.5) << c.preset;
        EXPECT_EQ(w.button("YesBtn")->isEnabled(), c.colour == kBlue) << c.preset;
        // A bridge the button does not update: the way to the full tool beside the status.
        QWidget *hint = w.app->view().widgetFor("faceHint");
        const bool elsewhere = c.text == std::string("Firmware ID not match!!") || c.preset == "pine";
        EXPECT_EQ(hint->isVisibleTo(&w.app->view()), elsewhere) << c.preset;
        EXPECT_TRUE(!elsewhere || QRect(0, 0, kClientWidth, kClientHeight).contains(hint->geometry()));
        EXPECT_TRUE(w.button("ExitBtn")->isEnabled());
        EXPECT_EQ(w.button("YesBtn")->text(), ButtonCaption());
        EXPECT_TRUE(w.app->view().windowTitle().startsWith("SSI_Quince_v"));
        // Whatever identification showed, the user sees the one-button face only.
        const QRect client(0, 0, kClientWidth, kClientHeight);
        for (forms::Control *control : w.app->form().controls()) {
            QWidget *widget = w.app->view().widgetFor(control->name());
            if (widget->isVisibleTo(&w.app->view()) && client.intersects(widget->geometry())) {
                EXPECT_TRUE(IsOneButtonControl(control->name())) << c.preset << ": " << control->name();
            }
        }
    }
}

// In the advanced face the full tool takes the bridge the button does not:
// the button's verdict is muted and its pointer to the full tool hidden.
TEST(OneButton, AdvancedFaceMutesTheButtonsVerdict)
{
    for (const Face face : {Face::Delivered, Face::Advanced}) {
        Window w({"nutmeg"}, {}, face);
        EXPECT_EQ(w.text(), QString("Chip not support!!"));
        EXPECT_EQ(w.colour() == kRed, face == Face::Delivered);
        EXPECT_EQ(w.app->view().widgetFor("faceHint")->isVisibleTo(&w.app->view()), face == Face::Delivered);
    }
}

// While a write runs, from its backup read to its end, no control the user
// acts on is enabled (in the advanced face, beside the full tool's); after
// it they are as the window's state says.
TEST(OneButton, ControlsAreDisabledWhileAWriteRuns)
{
    QTemporaryDir state;
    Window w({OlderVersion()}, state.path().toStdString(), Face::Advanced);
    ASSERT_TRUE(w.button("YesBtn")->isEnabled());
    const char *const inputs[] = {"YesBtn",         "ExitBtn",    "LoadBtn",
                                  "RefreshBtn",     "UpdateBtn",  "RdCheckBox",
                                  "EraseOnlyCheck", "DeviceList", "RehearseFirstCheck"};
    auto widget = [&](const char *name) -> QWidget * {
        QWidget *found = w.app->view().widgetFor(name);
        return found ? found : w.app->view().findChild<QWidget *>(name);
    };
    int samples = 0;
    std::set<std::string> enabledDuring;
    QTimer sampler;
    QObject::connect(&sampler, &QTimer::timeout, [&] {
        if (CurrentWritePhase() == WritePhase::Idle)
            return;
        ++samples;
        for (const char *name : inputs)
            if (QWidget *x = widget(name); x && x->isEnabled())
                enabledDuring.insert(name);
    });
    sampler.start(5);
    // (The full tool's rehearsal is not the one-button face's.)
    qobject_cast<QCheckBox *>(widget("RehearseFirstCheck"))->setChecked(false);
    QString other;
    test::OnNextModal<QMessageBox>([&](QMessageBox *box) {
        if (QAbstractButton *yes = box->button(QMessageBox::Yes))
            yes->click();
        else
            other = box->text(), box->close();
    });
    QTest::mouseClick(w.button("YesBtn"), Qt::LeftButton);
    EXPECT_TRUE(other.isEmpty()) << other.toStdString();
    sampler.stop();
    EXPECT_GT(samples, 0);
    EXPECT_TRUE(enabledDuring.empty()) << *enabledDuring.begin();
    for (const char *name : {"ExitBtn", "LoadBtn", "RefreshBtn", "RdCheckBox", "RehearseFirstCheck"})
        EXPECT_TRUE(widget(name) && widget(name)->isEnabled()) << name;
}

// In the advanced window "Rehearse first" (checked by default) rehearses
// the one-button update too: on the twin, the built-in image; then the
// real update runs.
TEST(OneButton, AdvancedFaceRehearsesTheBuiltInUpdate)
{
    QTemporaryDir state;
    Window w({OlderVersion()}, state.path().toStdString(), Face::Advanced);
    ASSERT_TRUE(w.button("YesBtn")->isEnabled());
    auto *rehearse = w.app->view().findChild<QCheckBox *>("RehearseFirstCheck");
    ASSERT_TRUE(rehearse && rehearse->isChecked());
    QStringList boxes;
    {
        test::AnswerEveryBox answer;
        QTest::mouseClick(w.button("YesBtn"), Qt::LeftButton);
        boxes = answer.texts;
    }
    ASSERT_EQ(boxes.size(), 1) << boxes.join("\n---\n").toStdString();
    EXPECT_TRUE(boxes[0].contains("Rehearsal")) << boxes[0].toStdString();
    EXPECT_TRUE(QTest::qWaitFor([&] { return w.text().startsWith("Firmware already updated."); }, 5000))
        << w.text().toStdString();
}

// A bridge that runs from its ROM: the face says so and its button brings
// the firmware back, asking first, as `brigant-fw recover` does; the flash
// ends as that command leaves it.
TEST(OneButton, ABridgeInRomIsRecoveredByTheButton)
{
    QTemporaryDir state, cli;
    ASSERT_EQ(QProcess::execute(BRIGANT_FW_BINARY, {"--simulate", "quince:blank=1", "--sim-state", cli.path(),
                                                    "recover", "--yes"}),
              0);
    {
        Window w({"quince:blank=1"}, state.path().toStdString());
        EXPECT_EQ(w.text(), QString("Runs from ROM: the button brings the firmware back"));
        ASSERT_TRUE(w.button("YesBtn")->isEnabled());
        QString asked;
        test::OnNextModal<QMessageBox>([&](QMessageBox *box) {
            asked = box->text();
            box->button(QMessageBox::Yes)->click();
        });
        QTest::mouseClick(w.button("YesBtn"), Qt::LeftButton);
        EXPECT_TRUE(asked.contains("through the manufacturing firmware in RAM")) << asked.toStdString();
        EXPECT_EQ(qobject_cast<QLabel *>(w.app->view().widgetFor("faceHint"))->text(),
                  QString("sim:sg0 runs its firmware again."));
        EXPECT_TRUE(w.app->form().lastRun.ok()) << w.app->form().lastRun.reason;
        EXPECT_TRUE(QTest::qWaitFor([&] { return w.text().startsWith("Firmware already updated."); }, 5000))
            << w.text().toStdString();
        std::string error;
        EXPECT_TRUE(w.session.saveSimState(error)) << error;
    }
    QFile a(state.filePath("flash.bin")), b(cli.filePath("flash.bin"));
    ASSERT_TRUE(a.open(QIODevice::ReadOnly) && b.open(QIODevice::ReadOnly));
    EXPECT_TRUE(a.readAll() == b.readAll());
}

// A one-button update cut by a power loss: the face keeps the failure and
// the way forward; after the power comes back the same button finishes the
// update (or, from ROM, brings the firmware back).
TEST(OneButton, ACutUpdateLeavesItsWayForwardAndTheButtonFinishesIt)
{
    QTemporaryDir state;
    test::AnswerEveryBox answer; // every box, answered Yes (or OK)
    for (const char *cut : {"200", "250"}) {
        SCOPED_TRACE(cut);
        {
            Window w({OlderVersion() + ",fault=powerloss@" + cut}, state.path().toStdString());
            QTest::mouseClick(w.button("YesBtn"), Qt::LeftButton);
            QTest::qWait(2000); // the refresh after the bridge left
            auto *line = qobject_cast<QLabel *>(w.app->view().widgetFor("faceHint"));
            ASSERT_TRUE(line && line->isVisible());
            EXPECT_TRUE(
                line->text().startsWith("sim:sg0: the update failed.\nTurn its power off and on, then "
                                        "press the button again."))
                << line->text().toStdString();
            std::string error;
            EXPECT_TRUE(w.session.saveSimState(error)) << error;
        }
        Window again({OlderVersion()}, state.path().toStdString());
        ASSERT_TRUE(again.button("YesBtn")->isEnabled()) << again.text().toStdString();
        QTest::mouseClick(again.button("YesBtn"), Qt::LeftButton);
        EXPECT_TRUE(
            QTest::qWaitFor([&] { return again.text().startsWith("Firmware already updated."); }, 5000))
            << again.text().toStdString() << "\n"
            << answer.texts.join("\n---\n").toStdString();
        std::string error;
        EXPECT_TRUE(again.session.saveSimState(error)) << error;
        QFile::remove(state.filePath("flash.bin")); // the next row starts from the delivered flash
    }
}

// The keyboard on the one-button face: Tab goes Update, Exit, Update and
// never to a control the face does not show; Escape closes the window.
TEST(OneButton, FocusOrderAndEscape)
{
    Window w({OlderVersion()});
    ASSERT_TRUE(w.button("YesBtn")->isEnabled());
    QApplication::setActiveWindow(&w.app->view());
    ASSERT_TRUE(QTest::qWaitForWindowActive(&w.app->view()));
    w.button("YesBtn")->setFocus();
    auto focused = [] {
        return QApplication::focusWidget() ? QApplication::focusWidget()->objectName() : "(none)";
    };
    QStringList order{focused()};
    for (int i = 0; i < 3; ++i) {
        QTest::keyClick(&w.app->view(), Qt::Key_Tab);
        order << focused();
    }
    EXPECT_EQ(order.join(' ').toStdString(), "YesBtn ExitBtn YesBtn ExitBtn");
    QTest::keyClick(&w.app->view(), Qt::Key_Escape);
    EXPECT_FALSE(w.app->view().isVisible());
    EXPECT_TRUE(w.app->form().closed);
}

TEST(OneButton, ClickThroughAnUpdate)
{
    QTemporaryDir state;
    {
        Window w({OlderVersion()}, state.path().toStdString());
        ASSERT_TRUE(w.button("YesBtn")->isEnabled());

        // What the window shows while the run waits for the bridge.
        QString duringText;
        QColor duringColour;
        bool exitDuring = true, yesDuring = true, closedDuring = true;
        QTimer::singleShot(300, [&] {
            duringText = w.text();
            duringColour = w.colour();
            exitDuring = w.button("ExitBtn")->isEnabled();
            yesDuring = w.button("YesBtn")->isEnabled();
            closedDuring = w.app->view().close();
        });
        // Every status the window shows, as the widget shows it.
        std::vector<std::pair<QString, QColor>> shown;
        w.app->form().devpnl.addObserver([&](forms::Control &) { shown.emplace_back(w.text(), w.colour()); });
        // While the bridge is away after its reset, the face says so and its bar moves.
        bool waitSaid = false, barMoves = false;
        w.app->form().faceHint.addObserver([&](forms::Control &c) {
            waitSaid = waitSaid || (c.visible() &&
                                    c.caption() == "Waiting for the bridge to come back after its reset...");
        });
        w.app->form().ProgressBar2.addObserver([&](forms::Control &) {
            barMoves = barMoves ||
                       qobject_cast<QProgressBar *>(w.app->view().widgetFor("ProgressBar2"))->maximum() == 0;
        });
        // The window asks first, naming the version it writes.
        QString asked;
        test::OnNextModal<QMessageBox>([&](QMessageBox *box) {
            asked = box->text();
            box->button(QMessageBox::Yes)->click();
        });
        QTest::mouseClick(w.button("YesBtn"), Qt::LeftButton);
        const std::string v = ImageVersion();
        const std::string newVersion =
            "\nNew firmware: " + std::string{v[0], '.', v[1], '.', v[2], '.', v[3]};
        EXPECT_TRUE(asked.contains(QString::fromStdString(newVersion))) << asked.toStdString();

        EXPECT_EQ(duringText, QString("Updating firmware. Please wait..."));
        EXPECT_TRUE(waitSaid);
        EXPECT_TRUE(barMoves);
        EXPECT_EQ(qobject_cast<QProgressBar *>(w.app->view().widgetFor("ProgressBar2"))->maximum(), 100);
        EXPECT_EQ(duringColour, kBlue);
        EXPECT_FALSE(exitDuring);
        EXPECT_FALSE(yesDuring);
        EXPECT_FALSE(closedDuring);

        // The result, shown for the second the run pauses on it; a refresh
        // after the bridge's return may already have followed it.
        auto pass = std::find_if(shown.begin(), shown.end(),
                                 [](const auto &s) { return s.first == "Update    Pass!!"; });
        ASSERT_NE(pass, shown.end());
        EXPECT_EQ(pass->second, kGreen);
        EXPECT_EQ(
            std::count_if(shown.begin(), shown.end(),
                          [](const auto &s) { return s.first == "Update    Fail!!" || s.second == kRed; }),
            0);
        EXPECT_EQ(w.progress(), 100);
        EXPECT_TRUE(w.button("ExitBtn")->isEnabled());
        EXPECT_FALSE(w.button("YesBtn")->isEnabled());

        // The bridge came back with the new firmware: a refresh says so (one
        // that ran before the run ended is followed by the backup's name).
        EXPECT_TRUE(QTest::qWaitFor([&] { return w.text().startsWith("Firmware already updated."); }, 5000))
            << w.text().toStdString();
        EXPECT_EQ(w.colour(), kGreen);
        EXPECT_FALSE(w.button("YesBtn")->isEnabled());

        // Below it the result stays, whole, at the face's own size: the
        // device, from -> to, and the backup.
        QTest::qWait(10000);
        auto *line = qobject_cast<QLabel *>(w.app->view().widgetFor("faceHint"));
        ASSERT_TRUE(line && line->isVisible());
        const QString result = line->text();
        EXPECT_TRUE(result.startsWith("sim:sg0 updated from ")) << result.toStdString();
        EXPECT_TRUE(result.contains(" to " + QString::fromStdString(PlainVersion(EmbeddedImageVersion()))))
            << result.toStdString();
        EXPECT_TRUE(result.contains("Backup of the flash in ")) << result.toStdString();
        // (the folder, then the file on a line of its own)
        const QStringList lines = result.split('\n');
        ASSERT_GE(lines.size(), 3);
        const QString folder = lines[lines.size() - 2].mid(lines[lines.size() - 2].indexOf(" in ") + 4);
        EXPECT_TRUE(QFileInfo(folder + lines.last()).isFile()) << result.toStdString();
        const QFontMetrics metrics(line->font());
        for (const QString &text : result.split('\n'))
            EXPECT_LE(metrics.horizontalAdvance(text), line->width()) << text.toStdString();
        EXPECT_LE(metrics.lineSpacing() * result.count('\n') + metrics.height(), line->height());
        EXPECT_LE(line->geometry().bottom(), w.app->view().height());
        std::string error;
        EXPECT_TRUE(w.session.saveSimState(error)) << error;
    }
    // The flash written by the run is kept in the state directory.
    Window again({OlderVersion()}, state.path().toStdString());
    EXPECT_EQ(again.text(), QString("Firmware already updated."));
}

} // namespace
