#include "gui/smoke.h"

#include "gui/fwtool_app.h"
#include "gui/gui_session.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QFileDialog>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPixmap>
#include <QPushButton>
#include <QRadioButton>
#include <QScreen>
#include <QStyleOption>
#include <QTextDocumentFragment>
#include <QTextLayout>
#include <QTimer>
#include <QWindow>
#include <QtMath>

#include <algorithm>
#include <functional>
#include <iostream>

namespace brigant::gui
{

namespace
{

constexpr int kShowMs = 5000;                      // for the window to be on the screen
constexpr int kRefreshMs = 10000;                  // for a refresh the window has planned
constexpr int kSettleMs = 5 * kSimulatedBusPollMs; // for the window to hear of a device change
constexpr int kPaintMs = 300;                      // for the screen to show what was just drawn
constexpr int kGrabMargin = 8;                     // of the screen around the windows, in the picture
constexpr int kLineEditPad = 2;                    // Qt's space either side of a line edit's text
constexpr int kIconSpacing = 4;                    // between a button's icon and its text

QString NameOf(const QWidget *w)
{
    return w->objectName().isEmpty() ? QString::fromLatin1(w->metaObject()->className()) : w->objectName();
}

void Measure(std::vector<Misfit> &out, const QWidget *w, const QString &text, int needed, int room,
             bool height = false)
{
    if (needed > room)
        out.push_back({NameOf(w), text, needed, room, height});
}

int WidestLine(const QFontMetrics &metrics, const QString &text, bool mnemonic)
{
    int widest = 0;
    for (const QString &line : text.split(QLatin1Char('\n')))
        widest = std::max(widest, mnemonic ? metrics.size(Qt::TextShowMnemonic, line).width()
                                           : metrics.horizontalAdvance(line));
    return widest;
}

// The size `text` takes wrapped at word boundaries to `width`, as a label
// wraps it: a word wider than that (a path) runs over.
QSize WrappedSize(const QFont &font, QString text, int width)
{
    text.replace(QLatin1Char('\n'), QChar::LineSeparator);
    QTextLayout layout(text, font);
    QTextOption option;
    option.setWrapMode(QTextOption::WordWrap);
    layout.setTextOption(option);
    qreal widest = 0, height = 0;
    layout.beginLayout();
    for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
        line.setLineWidth(width);
        widest = std::max(widest, line.naturalTextWidth());
        height += line.height();
    }
    layout.endLayout();
    return {qCeil(widest), qCeil(height)};
}

void CheckLabel(std::vector<Misfit> &out, const QLabel *label)
{
    QString text = label->text();
    if (label->textFormat() == Qt::RichText ||
        (label->textFormat() == Qt::AutoText && Qt::mightBeRichText(text)))
        text = QTextDocumentFragment::fromHtml(text).toPlainText();
    if (text.isEmpty())
        return;
    const QFontMetrics metrics(label->font());
    const int m = label->margin();
    const QRect room = label->contentsRect().adjusted(m, m, -m, -m);
    if (!label->wordWrap()) {
        Measure(out, label, text, WidestLine(metrics, text, label->buddy() != nullptr), room.width());
        return;
    }
    const QSize needed = WrappedSize(label->font(), text, room.width());
    Measure(out, label, text, needed.width(), room.width());
    Measure(out, label, text, needed.height(), room.height(), true);
}

void CheckButton(std::vector<Misfit> &out, const QAbstractButton *button)
{
    if (button->text().isEmpty())
        return;
    QStyleOptionButton option;
    option.initFrom(button);
    option.text = button->text();
    QStyle::SubElement contents = QStyle::SE_PushButtonContents;
    if (qobject_cast<const QCheckBox *>(button))
        contents = QStyle::SE_CheckBoxContents;
    else if (qobject_cast<const QRadioButton *>(button))
        contents = QStyle::SE_RadioButtonContents;
    else if (auto *push = qobject_cast<const QPushButton *>(button); push && push->autoDefault())
        option.features |= QStyleOptionButton::AutoDefaultButton;
    int room = button->style()->subElementRect(contents, &option, button).width();
    if (!button->icon().isNull())
        room -= button->iconSize().width() + kIconSpacing;
    Measure(out, button, button->text(), WidestLine(QFontMetrics(button->font()), button->text(), true),
            room);
}

void CheckLineEdit(std::vector<Misfit> &out, const QLineEdit *edit)
{
    const QString text = edit->displayText();
    if (text.isEmpty())
        return;
    QStyleOptionFrame option;
    option.initFrom(edit);
    option.lineWidth =
        edit->hasFrame() ? edit->style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, edit) : 0;
    const QRect contents = edit->style()
                               ->subElementRect(QStyle::SE_LineEditContents, &option, edit)
                               .marginsRemoved(edit->textMargins());
    Measure(out, edit, text, QFontMetrics(edit->font()).horizontalAdvance(text),
            contents.width() - 2 * kLineEditPad);
}

void CheckComboBox(std::vector<Misfit> &out, const QComboBox *combo)
{
    const QString text = combo->currentText();
    if (text.isEmpty())
        return;
    QStyleOptionComboBox option;
    option.initFrom(combo);
    option.editable = combo->isEditable();
    option.frame = combo->hasFrame();
    option.currentText = text;
    const QRect field =
        combo->style()->subControlRect(QStyle::CC_ComboBox, &option, QStyle::SC_ComboBoxEditField, combo);
    Measure(out, combo, text, QFontMetrics(combo->font()).horizontalAdvance(text), field.width());
}

// Runs the event loop until `done` holds (true) or `ms` have passed (false).
bool WaitFor(const std::function<bool()> &done, int ms)
{
    if (done())
        return true;
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    poll.start(20);
    loop.exec();
    return done();
}

void Pause(int ms)
{
    WaitFor([] { return false; }, ms);
}

// The screen around every window of the program that is shown (the window
// and a box over it), as the user sees it.
QPixmap GrabScreen()
{
    QRect area;
    for (QWidget *w : QApplication::topLevelWidgets())
        if (w->isVisible())
            area |= w->frameGeometry();
    QScreen *screen = QGuiApplication::primaryScreen();
    if (!screen || area.isEmpty())
        return {};
    area = area.adjusted(-kGrabMargin, -kGrabMargin, kGrabMargin, kGrabMargin) & screen->geometry();
    return screen->grabWindow(0, area.x(), area.y(), area.width(), area.height());
}

// While it lives, hands each modal dialog the program opens to `answer`,
// from inside the dialog's own event loop.
class ModalAnswers
{
  public:
    explicit ModalAnswers(std::function<void(QWidget *)> answer) : answer_(std::move(answer))
    {
        QObject::connect(&poll_, &QTimer::timeout, [this] {
            QWidget *modal = QApplication::activeModalWidget();
            if (!modal || !modal->isVisible())
                return;
            poll_.stop(); // not again while this one is answered
            answer_(modal);
            poll_.start();
        });
        poll_.start(10);
    }

  private:
    std::function<void(QWidget *)> answer_;
    QTimer poll_;
};

// One smoke run: the misfits found, the boxes seen and the picture taken.
struct Smoke {
    FwToolApp &app;
    std::vector<Misfit> misfits;
    QStringList boxes;
    QPixmap picture;

    QAbstractButton *button(const char *name)
    {
        return qobject_cast<QAbstractButton *>(app.view().widgetFor(name));
    }
    // (Each misfit once: the window behind a box is checked with it.)
    void checkTexts()
    {
        for (Misfit &m : TextsThatDoNotFit())
            if (std::none_of(misfits.begin(), misfits.end(),
                             [&m](const Misfit &k) { return k.widget == m.widget && k.text == m.text; }))
                misfits.push_back(std::move(m));
    }
    // The screen once it shows what was drawn: its texts checked, its picture taken.
    void look()
    {
        Pause(kPaintMs);
        checkTexts();
        picture = GrabScreen();
    }
    // A message box answered as the user who wants the write: Yes, else OK.
    void answerYes(QWidget *modal)
    {
        auto *box = qobject_cast<QMessageBox *>(modal);
        if (!box) {
            modal->close();
            return;
        }
        boxes << box->text();
        // Shown is not yet laid out on a busy machine: its texts are measured
        // once it has drawn itself, as the window's are.
        Pause(kPaintMs);
        checkTexts();
        QAbstractButton *yes = box->button(QMessageBox::Yes);
        if (!yes)
            yes = box->button(QMessageBox::Ok);
        if (yes)
            yes->click();
        else
            box->close();
    }
};

// The one-button face: its button pressed and every box answered Yes (or
// OK) until the run has ended and the face has settled. Empty, or what went
// wrong.
std::string DriveOneButton(Smoke &smoke, bool expectPass)
{
    TBrigantFwTool &form = smoke.app.form();
    QAbstractButton *update = smoke.button("YesBtn");
    if (!update || !update->isEnabled())
        return "the update button is not offered: " + form.devpnl.caption();
    bool passed = false, failed = false;
    form.oneButtonShown = [&](OneButtonState state) {
        passed = passed || state == OneButtonState::Passed;
        failed = failed || state == OneButtonState::Failed;
    };
    {
        ModalAnswers answers([&smoke](QWidget *modal) { smoke.answerYes(modal); });
        update->click(); // returns once the run has ended
        // The bridge's return (or its leaving) is refreshed once its settle
        // time has passed: the face is then at rest.
        Pause(kSettleMs);
        WaitFor([&] { return !smoke.app.ui().timerActive(kRefreshTimerId); }, kRefreshMs);
    }
    form.oneButtonShown = nullptr;
    std::cerr << "face: " << form.devpnl.caption() << "\n";
    if (!passed && !failed)
        return "the run ended without a result: " + form.devpnl.caption();
    if (passed != expectPass)
        return std::string("the run ") + (passed ? "passed: " : "failed: ") + form.oneButtonResult;
    const QWidget *result = smoke.app.view().widgetFor("faceHint");
    if (form.oneButtonResult.empty() || !result || !result->isVisible())
        return "the face shows no result line";
    smoke.look();
    return {};
}

// The advanced face: `file` loaded through Load File's dialog and Run
// pressed; its question is looked at while open and answered No.
std::string DriveConfirm(Smoke &smoke, const std::string &file)
{
    TBrigantFwTool &form = smoke.app.form();
    QAbstractButton *load = smoke.button("LoadBtn");
    QAbstractButton *run = smoke.button("UpdateBtn");
    if (!load || !run)
        return "the window has no Load File or Run button (--advanced)";
    {
        ModalAnswers answers([&](QWidget *modal) {
            if (auto *dialog = qobject_cast<QFileDialog *>(modal)) {
                dialog->selectFile(QString::fromStdString(file));
                static_cast<QDialog *>(dialog)->accept();
            } else {
                smoke.answerYes(modal); // (none is expected: `boxes` tells)
            }
        });
        load->click();
    }
    if (!run->isEnabled())
        return "Run stays disabled after loading " + file + ": " + form.StatusEdit.text();
    bool asked = false;
    {
        ModalAnswers answers([&](QWidget *modal) {
            auto *box = qobject_cast<QMessageBox *>(modal);
            QAbstractButton *no = box ? box->button(QMessageBox::No) : nullptr;
            if (!no) {
                if (box)
                    smoke.boxes << box->text();
                modal->close();
                return;
            }
            asked = true;
            smoke.boxes << box->text();
            smoke.look();
            no->click();
        });
        run->click();
    }
    if (!asked)
        return "Run did not ask before writing";
    if (form.runResult != -1)
        return "Run went on after No";
    return {};
}

} // namespace

std::vector<Misfit> TextsThatDoNotFit()
{
    std::vector<Misfit> out;
    for (QWidget *window : QApplication::topLevelWidgets()) {
        if (!window->isVisible())
            continue;
        QList<QWidget *> widgets = window->findChildren<QWidget *>();
        widgets.prepend(window);
        for (const QWidget *w : widgets) {
            // (The one-button face keeps the full tool's controls beyond its edge.)
            if (!w->isVisible() || w->visibleRegion().isEmpty())
                continue;
            if (auto *label = qobject_cast<const QLabel *>(w))
                CheckLabel(out, label);
            else if (auto *button = qobject_cast<const QAbstractButton *>(w))
                CheckButton(out, button);
            else if (auto *edit = qobject_cast<const QLineEdit *>(w))
                CheckLineEdit(out, edit);
            else if (auto *combo = qobject_cast<const QComboBox *>(w))
                CheckComboBox(out, combo);
        }
    }
    return out;
}

std::string Describe(const Misfit &misfit)
{
    QString text = misfit.text;
    text.replace(QLatin1Char('\n'), QStringLiteral("\\n"));
    return "does not fit: " + misfit.widget.toStdString() + ": " + text.toStdString() + " (" +
           std::to_string(misfit.needed) + " > " + std::to_string(misfit.room) + " px" +
           (misfit.height ? " high)" : ")");
}

int RunSmoke(FwToolApp &app, const GuiOptions &options)
{
    Smoke smoke{app, {}, {}, {}};
    std::string problem;
    const QWindow *window = app.view().windowHandle();
    if (!WaitFor([window] { return window && window->isExposed(); }, kShowMs))
        problem = "the window was not shown";
    else if (options.smoke == "confirm")
        problem = DriveConfirm(smoke, options.smokeFile);
    else
        problem = DriveOneButton(smoke, options.smoke == "success");

    if (smoke.picture.isNull())
        smoke.look(); // whatever the screen shows, for the report
    for (const QString &text : smoke.boxes)
        std::cerr << "box: " << QString(text).replace(QLatin1Char('\n'), QStringLiteral("\\n")).toStdString()
                  << "\n";
    int code = 0;
    if (!problem.empty()) {
        std::cerr << "error: " << options.smoke << ": " << problem << "\n";
        code = 1;
    }
    for (const Misfit &m : smoke.misfits) {
        std::cerr << Describe(m) << "\n";
        code = 1;
    }
    if (!smoke.picture.isNull() && !smoke.picture.save(QString::fromStdString(options.screenshot))) {
        std::cerr << "error: cannot write " << options.screenshot << "\n";
        code = 1;
    }
    return code;
}

} // namespace brigant::gui
