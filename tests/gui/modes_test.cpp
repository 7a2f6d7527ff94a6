// The full tool's service modes and its device list, as a user of the window
// sees them: a backup under the default name never replaces an earlier one
// and is named on the status line; two bridges of one model are told apart.
#include "gui/fwtool_app.h"
#include "gui/gui_session.h"
#include "next_modal.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QLineEdit>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <gtest/gtest.h>

using namespace brigant;
using namespace brigant::gui;

namespace
{

TEST(WindowModes, BackupOnlyKeepsEveryEarlierBackupAndNamesItsFile)
{
    QTemporaryDir dir;
    const QString cwd = QDir::currentPath();
    ASSERT_TRUE(QDir::setCurrent(dir.path()));
    GuiSession session;
    GuiOptions options;
    options.simulate = {"nutmeg"};
    std::string error;
    ASSERT_TRUE(session.start(options, error)) << error;
    FwToolApp app(session, Face::Advanced);
    app.create();
    app.show();
    auto *rd = qobject_cast<QCheckBox *>(app.view().widgetFor("RdCheckBox"));
    auto *backupOnly = qobject_cast<QCheckBox *>(app.view().widgetFor("BackupFWCheckBox"));
    auto *run = qobject_cast<QPushButton *>(app.view().widgetFor("UpdateBtn"));
    auto *status = qobject_cast<QLineEdit *>(app.view().widgetFor("StatusEdit"));
    ASSERT_TRUE(rd && backupOnly && run && status);
    // Ticked as the check boxes' own clicks tick them.
    app.form().RdCheckBox.click();
    app.form().BackupFWCheckBox.click();
    app.view().syncWindow();
    ASSERT_TRUE(rd->isChecked() && backupOnly->isChecked());
    ASSERT_TRUE(run->isEnabled());

    QFile earlier(dir.filePath("oldFlash.bak"));
    ASSERT_TRUE(earlier.open(QIODevice::WriteOnly));
    earlier.write("someone's own file");
    earlier.close();
    for (const char *name : {"oldFlash-2.bak", "oldFlash-3.bak"}) {
        test::AnswerEveryBox boxes;
        QTest::mouseClick(run, Qt::LeftButton);
        EXPECT_TRUE(boxes.texts.contains("Default backup firmware as OldFalsh.bak!")) << name;
        EXPECT_TRUE(QFile::exists(dir.filePath(name))) << name;
        EXPECT_TRUE(status->text().contains("Backup file: " + QDir(dir.path()).absoluteFilePath(name)))
            << status->text().toStdString();
    }
    ASSERT_TRUE(earlier.open(QIODevice::ReadOnly));
    EXPECT_EQ(earlier.readAll(), QByteArray("someone's own file"));
    app.view().close();
    QDir::setCurrent(cwd);
}

TEST(WindowModes, AlikeBridgesAreListedWithTheirPorts)
{
    GuiSession session;
    GuiOptions options;
    options.simulate = {"quince", "quince"};
    std::string error;
    ASSERT_TRUE(session.start(options, error)) << error;
    FwToolApp app(session, Face::Advanced);
    app.create();
    app.show();
    auto *list = qobject_cast<QComboBox *>(app.view().widgetFor("DeviceList"));
    ASSERT_TRUE(list);
    ASSERT_EQ(list->count(), 2);
    EXPECT_NE(list->itemText(0), list->itemText(1));
    for (int i = 0; i < 2; ++i)
        EXPECT_TRUE(list->itemText(i).contains("  (port ")) << list->itemText(i).toStdString();
    app.view().close();
}

} // namespace
