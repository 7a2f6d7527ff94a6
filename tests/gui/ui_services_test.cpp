// The Qt UI services and the window's clock: dialogs with what the program
// asks for, timers and event sources that run the program's handlers.
#include "gui/event_loop_clock.h"
#include "gui/qt_ui_services.h"
#include "next_modal.h"

#include <QAbstractButton>
#include <QApplication>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QMessageBox>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <gtest/gtest.h>

#include <fstream>
#include <unistd.h>

using namespace brigant;
using namespace brigant::gui;

namespace
{

using test::OnNextModal;

TEST(QtNameFilters, ConvertsTheFormsFilterToQtsForm)
{
    EXPECT_EQ(QtNameFilters("BinaryFile|*.bin|All Files|*.*|VKT Files|*.vkt"),
              QString("BinaryFile (*.bin);;All Files (*.*);;VKT Files (*.vkt)"));
    EXPECT_EQ(QtNameFilters("Images|*.bin;*.vkt"), QString("Images (*.bin *.vkt)"));
    EXPECT_EQ(QtNameFilters("BinaryFile|*.bin|Dangling"), QString("BinaryFile (*.bin)"));
    EXPECT_EQ(QtNameFilters(""), QString());
}

TEST(QtUiServices, MessageBoxCarriesTitleTextAndIcon)
{
    QtUiServices ui;
    for (auto [kind, icon] : {std::pair{MessageKind::Information, QMessageBox::Information},
                              std::pair{MessageKind::Warning, QMessageBox::Warning},
                              std::pair{MessageKind::Error, QMessageBox::Critical}}) {
        bool seen = false;
        OnNextModal<QMessageBox>([&, icon = icon](QMessageBox *box) {
            seen = true;
            EXPECT_EQ(box->windowTitle(), QString("Message"));
            EXPECT_EQ(box->text(), QString("Programming Success!!"));
            EXPECT_EQ(box->icon(), icon);
            EXPECT_EQ(box->standardButtons(), QMessageBox::Ok);
            box->button(QMessageBox::Ok)->click();
        });
        ui.messageBox("Programming Success!!", "Message", kind);
        EXPECT_TRUE(seen);
    }
}

TEST(QtUiServices, QuestionIsAnsweredYesOnlyByYes)
{
    QtUiServices ui;
    using Answer = std::function<void(QMessageBox *)>;
    const std::pair<Answer, bool> answers[] = {
        {[](QMessageBox *box) { box->button(QMessageBox::Yes)->click(); }, true},
        {[](QMessageBox *box) { box->button(QMessageBox::No)->click(); }, false},
        {[](QMessageBox *box) { QTest::keyClick(box, Qt::Key_Escape); }, false},
        {[](QMessageBox *box) { QTest::keyClick(box, Qt::Key_Return); }, false}, // the default is No
    };
    for (const auto &[answer, yes] : answers) {
        bool seen = false;
        OnNextModal<QMessageBox>([&, answer = answer](QMessageBox *box) {
            seen = true;
            EXPECT_EQ(box->windowTitle(), QString("Confirm"));
            EXPECT_EQ(box->text(), QString("Write to this device?"));
            answer(box);
        });
        EXPECT_EQ(ui.askYesNo("Write to this device?", "Confirm"), yes);
        EXPECT_TRUE(seen);
    }
}

TEST(QtUiServices, FileDialogStartsWhereAskedAndReturnsTheChoice)
{
    QTemporaryDir dir;
    const QString file = dir.filePath("fw.bin");
    std::ofstream(file.toStdString()) << "x";
    QtUiServices ui;
    forms::OpenDialog dialog;
    dialog.initialDir = dir.path().toStdString();

    OnNextModal<QFileDialog>([&](QFileDialog *d) {
        EXPECT_EQ(d->nameFilters(),
                  QStringList({"BinaryFile (*.bin)", "All Files (*.*)", "VKT Files (*.vkt)"}));
        EXPECT_EQ(d->directory().absolutePath(), QDir(dir.path()).absolutePath());
        EXPECT_EQ(d->defaultSuffix(), QString("bin"));
        EXPECT_EQ(d->fileMode(), QFileDialog::ExistingFile);
        d->selectFile(file);
        static_cast<QDialog *>(d)->accept(); // QFileDialog::accept, through the public slot
    });
    auto chosen = ui.openFileDialog(dialog);
    ASSERT_TRUE(chosen.has_value());
    EXPECT_EQ(*chosen, file.toStdString());
    EXPECT_EQ(dialog.fileName, file.toStdString());

    OnNextModal<QFileDialog>([](QFileDialog *d) { d->reject(); });
    EXPECT_FALSE(ui.openFileDialog(dialog).has_value());
}

TEST(QtUiServices, TimersRepeatRestartAndStop)
{
    QtUiServices ui;
    std::vector<int> fired;
    ui.setTimerHandler([&](int id) { fired.push_back(id); });
    int before = 0, after = 0;
    ui.setDispatchHooks([&] { ++before; }, [&] { ++after; });

    ui.startTimer(101, 20);
    EXPECT_TRUE(ui.timerActive(101));
    EXPECT_TRUE(QTest::qWaitFor([&] { return fired.size() >= 2; }, 2000));
    EXPECT_EQ(fired.front(), 101);
    EXPECT_EQ(before, after);
    EXPECT_GE(after, 2);

    // Starting a running timer restarts it: a burst of restarts fires nothing.
    ui.stopTimer(101);
    fired.clear();
    ui.startTimer(101, 200);
    QElapsedTimer clock;
    clock.start();
    while (clock.elapsed() < 300) {
        ui.startTimer(101, 200);
        QTest::qWait(20);
    }
    EXPECT_TRUE(fired.empty());
    ui.stopTimer(101);
    EXPECT_FALSE(ui.timerActive(101));
    QTest::qWait(250);
    EXPECT_TRUE(fired.empty());
}

TEST(QtUiServices, ReadableSocketRunsItsHandler)
{
    int fds[2];
    ASSERT_EQ(pipe(fds), 0);
    QtUiServices ui;
    int calls = 0;
    ui.watchSocket(fds[0], [&] {
        char c;
        EXPECT_EQ(read(fds[0], &c, 1), 1);
        ++calls;
    });
    QTest::qWait(30);
    EXPECT_EQ(calls, 0);
    ASSERT_EQ(write(fds[1], "x", 1), 1);
    EXPECT_TRUE(QTest::qWaitFor([&] { return calls == 1; }, 2000));
    close(fds[0]);
    close(fds[1]);
}

TEST(EventLoopClock, SleepTakesRealTimeAndKeepsEventsFlowing)
{
    EventLoopClock clock;
    int ticks = 0;
    QTimer timer;
    QObject::connect(&timer, &QTimer::timeout, [&] { ++ticks; });
    timer.start(10);

    const std::uint64_t start = clock.nowMs();
    clock.sleepMs(100);
    const std::uint64_t slept = clock.nowMs() - start;
    EXPECT_GE(slept, 100u);
    EXPECT_LT(slept, 1000u);
    EXPECT_GE(ticks, 3); // the window kept running while the program waited
}

TEST(EventLoopClock, WaitOutlastsAQuitOfTheApplication)
{
    // The window closed while a handler waits: the handler still gets its
    // time (a bridge being reset needs it), and the application then ends.
    EventLoopClock clock;
    std::uint64_t slept = 0;
    QTimer::singleShot(0, [&] {
        QTimer::singleShot(10, [] { QCoreApplication::quit(); });
        const std::uint64_t start = clock.nowMs();
        clock.sleepMs(80);
        slept = clock.nowMs() - start;
    });
    QCoreApplication::exec();
    EXPECT_GE(slept, 80u);
    EXPECT_LT(slept, 1000u);
}

} // namespace
