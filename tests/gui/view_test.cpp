// The view against a bare window model: what the model holds is what the
// widgets show, and what the user does reaches the model.
#include "app/one_button.h"
#include "gui/fwtool_view.h"
#include "model/fwupdate.h"
#include "wired_window.h"

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <map>
#include <memory>

using namespace brigant;
using namespace brigant::gui;

namespace
{

QColor Foreground(QWidget *w) { return w->palette().color(QPalette::WindowText); }

int Distance(const QColor &a, const QColor &b)
{
    return std::max(
        {std::abs(a.red() - b.red()), std::abs(a.green() - b.green()), std::abs(a.blue() - b.blue())});
}

// The colour a widget's text is drawn in, read from its pixels: inside the
// frame, the pixel that stands out most from the background (the commonest colour).
QColor DrawnTextColour(QWidget *w)
{
    const QImage image = w->grab().toImage();
    const QRect inside(image.width() / 8, image.height() / 4, image.width() * 3 / 4, image.height() / 2);
    std::map<QRgb, int> counts;
    for (int y = inside.top(); y <= inside.bottom(); ++y)
        for (int x = inside.left(); x <= inside.right(); ++x)
            ++counts[image.pixel(x, y)];
    const QColor background(std::max_element(counts.begin(), counts.end(), [](auto &a, auto &b) {
                                return a.second < b.second;
                            })->first);
    QColor text = background;
    for (const auto &[rgb, count] : counts)
        if (Distance(QColor(rgb), background) > Distance(text, background))
            text = QColor(rgb);
    return text;
}

template <typename W> W *Widget(FwToolView &view, const std::string &name)
{
    auto *w = qobject_cast<W *>(view.widgetFor(name));
    EXPECT_NE(w, nullptr) << name;
    return w;
}

class ViewTest : public ::testing::Test
{
  protected:
    test::WiredWindow form;
};

TEST_F(ViewTest, DeliveredFaceHasTheFormsSizePositionsAndStates)
{
    FwToolView view(form, Face::Delivered);
    view.show();
    EXPECT_EQ(view.size(), QSize(kClientWidth, kClientHeight));

    for (forms::Control *c : form.controls()) {
        QWidget *w = view.widgetFor(c->name());
        ASSERT_NE(w, nullptr) << c->name();
        EXPECT_EQ(w->isVisibleTo(&view), c->visible() && (!c->parent() || c->parent()->visible()))
            << c->name();
        EXPECT_EQ(w->isEnabled(), c->enabled()) << c->name();
        if (!c->parent()) {
            const Bounds &b = c->bounds();
            EXPECT_EQ(w->geometry(), QRect(b.left, b.top, b.width, b.height)) << c->name();
        }
    }
    // What the user sees: the one-button face, everything else hidden or beyond the client area.
    const QRect client(0, 0, kClientWidth, kClientHeight);
    for (const char *name : {"devpnl", "YesBtn", "ProgressBar2", "ExitBtn"}) {
        EXPECT_TRUE(view.widgetFor(name)->isVisibleTo(&view)) << name;
        EXPECT_TRUE(client.contains(view.widgetFor(name)->geometry())) << name;
    }
    for (const char *name : {"FwFilenameEdit", "LoadBtn", "UpdateBtn", "replugLable"})
        EXPECT_FALSE(client.intersects(view.widgetFor(name)->geometry())) << name;
    EXPECT_FALSE(view.widgetFor("YesBtn")->isEnabled());
    EXPECT_EQ(view.labelFor("FwFilenameEdit")->text(), QString("Firmware File "));
}

TEST_F(ViewTest, StatusLineShowsEveryModelChangeInItsColour)
{
    FwToolView view(form, Face::Delivered);
    auto *devpnl = Widget<QLabel>(view, "devpnl");
    EXPECT_EQ(devpnl->text(), QString("Click Update firmware button to proceed."));
    EXPECT_EQ(Foreground(devpnl), QColor(0, 0, 255)); // 0xFF0000 is blue in 0x00BBGGRR
    EXPECT_GE(devpnl->font().pointSize(), 9);

    ShowOneButtonStatus(form, OneButtonState::Passed);
    EXPECT_EQ(devpnl->text(), QString("Update    Pass!!"));
    EXPECT_EQ(Foreground(devpnl), QColor(0, 120, 0)); // the form's green, dark enough to read
    EXPECT_EQ(devpnl->font().pointSize(), 14); // short texts keep the panel's 14 pt

    ShowOneButtonStatus(form, OneButtonState::NoDevice);
    EXPECT_EQ(devpnl->text(), QString("No device found!!"));
    EXPECT_EQ(Foreground(devpnl), QColor(200, 0, 0)); // the form's red, dark enough to read

    form.devpnl.hide();
    EXPECT_TRUE(devpnl->isHidden());
    form.devpnl.show();
    EXPECT_FALSE(devpnl->isHidden());
}

TEST_F(ViewTest, OtherControlsFollowTheModel)
{
    FwToolView view(form, Face::Delivered);
    form.YesBtn.setCaption("Update firmware to version 01.02.00.03");
    form.YesBtn.setEnabled(true);
    EXPECT_EQ(Widget<QPushButton>(view, "YesBtn")->text(), QString("Update firmware to version 01.02.00.03"));
    EXPECT_TRUE(view.widgetFor("YesBtn")->isEnabled());

    form.ProgressBar2.setPosition(60);
    EXPECT_EQ(Widget<QProgressBar>(view, "ProgressBar2")->value(), 60);

    form.StatusEdit.setText("FW file not Match.");
    EXPECT_EQ(Widget<QLineEdit>(view, "StatusEdit")->text(), QString("FW file not Match."));
    EXPECT_TRUE(Widget<QLineEdit>(view, "StatusEdit")->isReadOnly());

    form.DeviceList.addItem("<<USB>> one");
    form.DeviceList.addItem("<<USB>> two");
    form.DeviceList.setItemIndex(1);
    auto *list = Widget<QComboBox>(view, "DeviceList");
    ASSERT_EQ(list->count(), 2);
    EXPECT_EQ(list->currentText(), QString("<<USB>> two"));
    form.DeviceList.clear();
    EXPECT_EQ(list->count(), 0);

    form.NVRAMCheck.onClick = nullptr;
    form.NVRAMCheck.setChecked(true);
    EXPECT_TRUE(Widget<QCheckBox>(view, "NVRAMCheck")->isChecked());

    // The client height grows with the RD panel; the window follows once re-read.
    form.clientHeight = kClientHeight + 120;
    view.syncWindow();
    EXPECT_EQ(view.height(), kClientHeight + 120);
    form.caption = "SSI_Quince_v1.2.3.4";
    view.syncWindow();
    EXPECT_EQ(view.windowTitle(), QString("SSI_Quince_v1.2.3.4"));
}

TEST_F(ViewTest, DisabledButtonTextIsDrawnInTheDisabledColour)
{
    FwToolView view(form, Face::Delivered);
    view.show();
    auto *yes = Widget<QPushButton>(view, "YesBtn");
    form.YesBtn.setCaption("Update firmware to version 01.02.00.03");
    form.YesBtn.setEnabled(true);
    const QColor enabled = DrawnTextColour(yes);
    form.YesBtn.setEnabled(false);
    const QColor disabled = DrawnTextColour(yes);

    EXPECT_LE(Distance(enabled, Qt::black), 40) << enabled.name().toStdString(); // the form's black
    EXPECT_GE(Distance(enabled, disabled), 60) << disabled.name().toStdString();
    EXPECT_LE(Distance(disabled, yes->palette().color(QPalette::Disabled, QPalette::ButtonText)), 40)
        << disabled.name().toStdString();
    // A coloured control keeps its colour while enabled, the status line included.
    EXPECT_EQ(Foreground(view.widgetFor("devpnl")), QColor(0, 0, 255));
}

TEST_F(ViewTest, UserInputReachesTheModelOnlyWhenTheControlTakesIt)
{
    FwToolView view(form, Face::Delivered);
    view.show();
    int clicks = 0, afterActions = 0;
    form.YesBtn.onClick = [&] { ++clicks; };
    view.setAfterUserAction([&] { ++afterActions; });

    auto *yes = Widget<QPushButton>(view, "YesBtn");
    QTest::mouseClick(yes, Qt::LeftButton); // disabled: the form's initial state
    EXPECT_EQ(clicks, 0);
    form.YesBtn.setEnabled(true);
    QTest::mouseClick(yes, Qt::LeftButton);
    EXPECT_EQ(clicks, 1);
    EXPECT_EQ(afterActions, 1);

    // A hidden control of the delivered face ignores clicks that reach its widget.
    int refreshes = 0;
    form.RefreshBtn.onClick = [&] { ++refreshes; };
    Widget<QPushButton>(view, "RefreshBtn")->click();
    EXPECT_EQ(refreshes, 0);
}

TEST_F(ViewTest, ChecksSelectionsAndEditsAreHandedToTheModel)
{
    FwToolView view(form, Face::Advanced);
    view.show();
    int erase = 0, selections = 0, edits = 0;
    form.EraseOnlyCheck.onClick = [&] { ++erase; };
    form.DeviceList.onChange = [&] { ++selections; };
    form.BackupFileEdit.onChange = [&] { ++edits; };

    auto *box = Widget<QCheckBox>(view, "EraseOnlyCheck");
    QTest::mouseClick(box, Qt::LeftButton, {}, QPoint(8, box->height() / 2));
    EXPECT_TRUE(form.EraseOnlyCheck.checked());
    EXPECT_EQ(erase, 1);

    form.DeviceList.addItem("a");
    form.DeviceList.addItem("b");
    auto *list = Widget<QComboBox>(view, "DeviceList");
    emit list->activated(1); // what a user's choice in the drop-down emits
    EXPECT_EQ(form.DeviceList.itemIndex(), 1);
    EXPECT_EQ(selections, 1);

    auto *edit = Widget<QLineEdit>(view, "BackupFileEdit");
    QTest::keyClicks(edit, "old.bak");
    EXPECT_EQ(form.BackupFileEdit.text(), "old.bak");
    EXPECT_EQ(edits, 7);

    // A handler that refuses the change puts the box back.
    form.NVRAMCheck.onClick = [&] { form.NVRAMCheck.setChecked(false); };
    auto *nvram = Widget<QCheckBox>(view, "NVRAMCheck");
    nvram->click();
    EXPECT_FALSE(form.NVRAMCheck.checked());
    EXPECT_FALSE(nvram->isChecked());
}

TEST_F(ViewTest, AdvancedFaceShowsTheWholeToolAndClicksItsHiddenButtons)
{
    FwToolView view(form, Face::Advanced);
    view.show();
    EXPECT_GT(view.width(), kClientWidth);
    EXPECT_GT(view.height(), kClientHeight);
    for (forms::Control *c : form.controls()) {
        QWidget *w = view.widgetFor(c->name());
        if (IsOneButtonControl(c->name()))
            EXPECT_EQ(w->isVisibleTo(&view), c->visible()) << c->name();
        else
            EXPECT_TRUE(w->isVisibleTo(&view)) << c->name();
    }
    // The replug hint's placeholder caption is nowhere on screen.
    QWidget *replug = view.widgetFor("replugLable");
    EXPECT_EQ(replug->parentWidget(), view.clientArea());
    EXPECT_FALSE(QRect(QPoint(), view.clientArea()->size()).intersects(replug->geometry()));
    form.devpnl.hide(); // the one-button face still mirrors visibility
    EXPECT_FALSE(view.widgetFor("devpnl")->isVisibleTo(&view));

    int refreshes = 0;
    form.RefreshBtn.onClick = [&] { ++refreshes; };
    QTest::mouseClick(Widget<QPushButton>(view, "RefreshBtn"), Qt::LeftButton);
    EXPECT_EQ(refreshes, 1);
    form.RefreshBtn.setEnabled(false);
    Widget<QPushButton>(view, "RefreshBtn")->click();
    EXPECT_EQ(refreshes, 1);
}

TEST_F(ViewTest, WindowDoesNotCloseUnderARunningUpdate)
{
    FwToolView view(form, Face::Delivered);
    view.show();
    form.updateRunning = 1;
    EXPECT_FALSE(view.close());
    EXPECT_TRUE(view.isVisible());
    EXPECT_FALSE(form.closed);

    form.updateRunning = 0;
    EXPECT_TRUE(view.close());
    EXPECT_TRUE(form.closed); // FormClose ran
}

TEST_F(ViewTest, ExitClickClosesTheWindowThroughTheModel)
{
    FwToolView view(form, Face::Delivered);
    view.show();
    QTest::mouseClick(Widget<QPushButton>(view, "ExitBtn"), Qt::LeftButton);
    EXPECT_TRUE(form.closed);
    EXPECT_FALSE(view.isVisible());
}

TEST_F(ViewTest, ModelOutlivingTheViewIsSafe)
{
    auto view = std::make_unique<FwToolView>(form, Face::Delivered);
    view.reset();
    ShowOneButtonStatus(form, OneButtonState::NotSupported); // observers of the gone view stay quiet
    form.ProgressBar2.setPosition(30);
    EXPECT_EQ(form.devpnl.caption(), "Chip not support!!");
}

} // namespace
