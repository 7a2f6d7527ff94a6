#include "gui/fwtool_view.h"

#include "app/fwupdate_handlers.h"
#include "app/window_texts.h"
#include "app/write_guard.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QFontMetrics>
#include <QGridLayout>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QSignalBlocker>
#include <QVBoxLayout>

namespace brigant::gui
{

namespace
{

constexpr int kLabelHeight = 14;
constexpr int kLabelSpacing = 2;
constexpr int kFaceMargin = 5; // below the face's last line

QColor ToQColor(forms::Colour c)
{
    return QColor(int(c & 0xFF), int((c >> 8) & 0xFF), int((c >> 16) & 0xFF));
}

QRect ToRect(const Bounds &b) { return QRect(b.left, b.top, b.width, b.height); }

// The control's font colour for the window's active and inactive states; a
// disabled control keeps the style's disabled colour, so it looks disabled.
// A grey of 5.5:1 contrast on the window's #EFEFEF.
constexpr forms::Colour kMutedText = 0x5F5F5F;

// The form's pure red and green, as shown: darker, so that text in them
// reads at 4.5:1 or more on the window's grey (pure red gives 3.5:1).
QColor Readable(const QColor &c)
{
    if (c == QColor(255, 0, 0))
        return QColor(200, 0, 0);
    if (c == QColor(0, 128, 0))
        return QColor(0, 120, 0);
    return c;
}

void SetForeground(QWidget *w, forms::Colour colour)
{
    QPalette pal = w->palette();
    const QColor c = Readable(ToQColor(colour));
    for (auto group : {QPalette::Active, QPalette::Inactive})
        for (auto role : {QPalette::WindowText, QPalette::ButtonText, QPalette::Text})
            pal.setColor(group, role, c);
    w->setPalette(pal);
}

void SetFont(QWidget *w, int pointSize, const std::string &family)
{
    QFont f = w->font();
    f.setPointSize(pointSize);
    // The form's "MS Sans Serif" stands for the desktop's default face.
    if (!family.empty() && family != "MS Sans Serif")
        f.setFamily(QString::fromStdString(family));
    w->setFont(f);
}

QString Text(const std::string &s) { return QString::fromStdString(s); }

// A panel's caption is one line at the panel's font size; where the desktop's
// face is wider than the form's, the size comes down (to 9 pt at the least)
// until the caption fits the panel.
void FitPanelFont(QLabel *label, const forms::Panel &panel)
{
    constexpr int kSmallest = 9;
    constexpr int kMargin = 4;
    QFont f = label->font();
    const int available = panel.bounds().width - kMargin;
    int size = panel.fontSize;
    f.setPointSize(size);
    while (size > kSmallest && QFontMetrics(f).horizontalAdvance(label->text()) > available)
        f.setPointSize(--size);
    label->setFont(f);
}

bool HasChildren(TBrigantFwTool &form, const forms::Control &panel)
{
    for (forms::Control *c : form.controls())
        if (c->parent() == &panel)
            return true;
    return false;
}

// The widget of a panel: a plain frame that layouts can size when it holds
// other controls, else a label that shows its caption.
QWidget *MakePanel(TBrigantFwTool &form, forms::Panel &panel, QWidget *container)
{
    if (HasChildren(form, panel)) { // a container: a plain frame that layouts can size
        auto *frame = new QFrame(container);
        frame->setFrameStyle(panel.bordered ? QFrame::Panel | QFrame::Raised : QFrame::NoFrame);
        return frame;
    }
    auto *label = new QLabel(container);
    label->setAlignment(Qt::AlignCenter);
    label->setFrameStyle(panel.bordered ? QFrame::Panel | QFrame::Raised : QFrame::NoFrame);
    SetFont(label, panel.fontSize, {});
    if (panel.name() == "Panel1") { // the form's navy rule
        label->setAutoFillBackground(true);
        QPalette pal = label->palette();
        pal.setColor(QPalette::Window, QColor(0, 0, 128));
        label->setPalette(pal);
    }
    return label;
}

// The widget of a label, in the label's font.
QWidget *MakeLabel(forms::Label &label, QWidget *container)
{
    auto *widget = new QLabel(container);
    SetFont(widget, label.fontSize, label.fontName);
    // The face's result line wraps: a backup's path is read whole.
    if (label.name() == "faceHint") {
        widget->setWordWrap(true);
        widget->setAlignment(Qt::AlignLeft | Qt::AlignTop);
        widget->setTextInteractionFlags(Qt::TextSelectableByMouse);
    }
    return widget;
}

// Shows what the model of `c` holds in its widget `w` (and the caption of an
// edit in its `editLabel`), without the widget's signals.
void ShowModel(forms::Control &c, QWidget *w, QLabel *editLabel)
{
    switch (c.kind()) {
    case forms::ControlKind::Panel:
        if (auto *label = qobject_cast<QLabel *>(w)) {
            label->setText(Text(c.caption()));
            FitPanelFont(label, static_cast<forms::Panel &>(c));
        }
        break;
    case forms::ControlKind::Label:
        static_cast<QLabel *>(w)->setText(Text(c.caption()));
        break;
    case forms::ControlKind::Button:
        static_cast<QPushButton *>(w)->setText(Text(c.caption()));
        break;
    case forms::ControlKind::CheckBox: {
        auto *box = static_cast<QCheckBox *>(w);
        const QSignalBlocker block(box);
        box->setText(Text(c.caption()));
        box->setChecked(static_cast<forms::CheckBox &>(c).checked());
        break;
    }
    case forms::ControlKind::LabeledEdit: {
        auto *edit = static_cast<QLineEdit *>(w);
        const QString text = Text(static_cast<forms::LabeledEdit &>(c).text());
        if (edit->text() != text) {
            const QSignalBlocker block(edit);
            edit->setText(text);
        }
        editLabel->setText(Text(c.caption()));
        break;
    }
    case forms::ControlKind::ComboBox: {
        auto &model = static_cast<forms::ComboBox &>(c);
        auto *combo = static_cast<QComboBox *>(w);
        const QSignalBlocker block(combo);
        QStringList items;
        for (const auto &item : model.items())
            items << Text(item);
        QStringList shown;
        for (int i = 0; i < combo->count(); ++i)
            shown << combo->itemText(i);
        if (shown != items) {
            combo->clear();
            combo->addItems(items);
        }
        combo->setCurrentIndex(model.itemIndex());
        break;
    }
    case forms::ControlKind::ProgressBar: {
        auto *bar = static_cast<QProgressBar *>(w);
        const auto &model = static_cast<forms::ProgressBar &>(c);
        bar->setRange(0, model.busy() ? 0 : 100); // an empty range: the style's moving bar
        bar->setValue(model.position());
        break;
    }
    }
}

} // namespace

bool IsOneButtonControl(const std::string &name)
{
    // The replug hint stays at the form's place, beyond the client area, in
    // both faces: it holds nothing for the user but its placeholder caption.
    return name == "devpnl" || name == "YesBtn" || name == "ProgressBar2" || name == "ExitBtn" ||
           name == "replugLable" || name == "faceHint";
}

FwToolView::FwToolView(TBrigantFwTool &form, Face face, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint | Qt::WindowSystemMenuHint |
                          Qt::WindowMinimizeButtonHint | Qt::WindowCloseButtonHint),
      form_(form), face_(face)
{
    QFont base = font();
    base.setPointSize(8);
    setFont(base);

    if (face_ == Face::Delivered) {
        clientArea_ = this;
    } else {
        clientArea_ = new QWidget(this);
        clientArea_->setObjectName(QStringLiteral("clientArea"));
        clientArea_->setFixedSize(kClientWidth, kClientHeight);
    }

    // Parents before children: the form's declaration order has RdPanel first.
    for (forms::Control *c : form_.controls()) {
        Binding &b = bindings_[c->name()];
        b.control = c;
        QWidget *container = clientArea_;
        if (c->parent()) {
            container = bindings_.at(c->parent()->name()).widget;
        } else if (face_ == Face::Advanced && !IsOneButtonControl(c->name())) {
            container = this; // moved into the full tool's grid below
            b.placedByForm = false;
        }
        if (face_ == Face::Advanced && !IsOneButtonControl(c->name()))
            b.alwaysVisible = true;
        createWidget(b, container);
        std::weak_ptr<bool> alive = alive_;
        c->addObserver([this, alive, name = c->name()](forms::Control &) {
            if (!alive.lock())
                return;
            update(bindings_.at(name));
            if (name == "faceHint") // the face grows with a result below its progress bar
                syncWindow();
        });
    }
    // The delivered face keeps controls inside a panel at their positions in
    // the panel; the advanced face lays them out in a grid of the panel's own.
    for (auto &[name, b] : bindings_)
        if (b.control->parent())
            b.placedByForm = face_ == Face::Delivered;

    if (face_ == Face::Advanced)
        layOutAdvanced();
    // The one-button face: the keyboard reaches its two buttons only (the
    // form keeps the full tool's controls beyond the client area), Update
    // first, then Exit.
    if (face_ == Face::Delivered) {
        for (auto &[name, b] : bindings_)
            if (name != "YesBtn" && name != "ExitBtn")
                b.widget->setFocusPolicy(Qt::NoFocus);
        QWidget::setTabOrder(bindings_.at("YesBtn").widget, bindings_.at("ExitBtn").widget);
    }
    for (auto &[name, b] : bindings_)
        update(b);
    syncWindow();
}

FwToolView::~FwToolView() { *alive_ = false; }

QWidget *FwToolView::widgetFor(const std::string &name) const
{
    auto it = bindings_.find(name);
    return it == bindings_.end() ? nullptr : it->second.widget;
}

QLabel *FwToolView::labelFor(const std::string &name) const
{
    auto it = bindings_.find(name);
    return it == bindings_.end() ? nullptr : it->second.label;
}

void FwToolView::createWidget(Binding &b, QWidget *container)
{
    forms::Control &c = *b.control;
    QWidget *w = nullptr;
    switch (c.kind()) {
    case forms::ControlKind::Panel:
        w = MakePanel(form_, static_cast<forms::Panel &>(c), container);
        break;
    case forms::ControlKind::Button: {
        auto *button = new QPushButton(container);
        auto *model = &static_cast<forms::Button &>(c);
        QObject::connect(button, &QPushButton::clicked, this, [this, model] { clickButton(*model); });
        w = button;
        break;
    }
    case forms::ControlKind::CheckBox: {
        auto *box = new QCheckBox(container);
        auto *model = &static_cast<forms::CheckBox &>(c);
        QObject::connect(box, &QCheckBox::clicked, this, [this, model, box](bool checked) {
            if (model->checked() == checked)
                return;
            userAction([model] { model->click(); });
            // The model may have refused (or its handler changed the box again).
            if (box->isChecked() != model->checked())
                update(bindings_.at(model->name()));
        });
        w = box;
        break;
    }
    case forms::ControlKind::LabeledEdit: {
        auto *edit = new QLineEdit(container);
        auto *model = &static_cast<forms::LabeledEdit &>(c);
        edit->setReadOnly(model->readOnly());
        edit->setToolTip(Text(model->hint));
        QObject::connect(edit, &QLineEdit::textEdited, this, [this, model](const QString &text) {
            userAction([model, text] { model->setText(text.toStdString()); });
        });
        b.label = new QLabel(container);
        b.label->setBuddy(edit);
        w = edit;
        break;
    }
    case forms::ControlKind::ComboBox: {
        auto *combo = new QComboBox(container);
        auto *model = &static_cast<forms::ComboBox &>(c);
        QObject::connect(combo, &QComboBox::activated, this,
                         [this, model](int index) { userAction([model, index] { model->select(index); }); });
        w = combo;
        break;
    }
    case forms::ControlKind::Label:
        w = MakeLabel(static_cast<forms::Label &>(c), container);
        break;
    case forms::ControlKind::ProgressBar: {
        auto *bar = new QProgressBar(container);
        bar->setRange(0, 100);
        bar->setTextVisible(false);
        w = bar;
        break;
    }
    }
    w->setObjectName(Text(c.name()));
    if (b.label)
        b.label->setObjectName(Text(c.name() + "Label"));
    b.widget = w;
}

bool FwToolView::rehearseFirst() const { return rehearse_ && rehearse_->isChecked(); }

void FwToolView::layOutAdvanced()
{
    auto *fullTool = new QGroupBox(QStringLiteral("Full tool"), this);
    fullTool->setObjectName(QStringLiteral("fullTool"));
    auto *grid = new QGridLayout(fullTool);
    auto *rdPanel = bindings_.at("RdPanel").widget;
    auto *rdGrid = new QGridLayout(rdPanel);
    auto putIn = [&](QWidget *owner, QGridLayout *layout, const char *name, int row, int column,
                     int columnSpan = 1) {
        Binding &b = bindings_.at(name);
        b.widget->setParent(owner);
        if (b.label) {
            b.label->setParent(owner);
            layout->addWidget(b.label, row, column);
            ++column;
        }
        layout->addWidget(b.widget, row, column, 1, columnSpan);
    };
    auto put = [&](const char *name, int row, int column, int columnSpan = 1) {
        putIn(fullTool, grid, name, row, column, columnSpan);
    };
    putIn(rdPanel, rdGrid, "BackupFWCheckBox", 0, 0, 2);
    putIn(rdPanel, rdGrid, "EraseOnlyCheck", 0, 2);
    putIn(rdPanel, rdGrid, "NVRAMCheck", 1, 0, 2);
    putIn(rdPanel, rdGrid, "ReadWriteBufferChk", 1, 2);
    putIn(rdPanel, rdGrid, "SetPrdSNchk", 2, 0, 2);
    putIn(rdPanel, rdGrid, "BackupFileEdit", 3, 0);
    putIn(rdPanel, rdGrid, "BackupBtn", 3, 2);
    rdGrid->setColumnStretch(1, 1);
    put("Panel1", 0, 0, 4);
    bindings_.at("Panel1").widget->setFixedHeight(4);
    put("diskLabel", 1, 0);
    put("DeviceList", 1, 1, 2);
    put("RefreshBtn", 1, 3);
    put("ChipLabelEdit", 2, 0);
    put("DiskLetterLable", 2, 2);
    put("FwVerLableEdit", 3, 0);
    put("SFlashTypeLable", 3, 2);
    put("FwFilenameEdit", 4, 0, 2);
    put("LoadBtn", 4, 3);
    put("StatusEdit", 5, 0, 3);
    put("ProgressBar1", 6, 1, 3);
    put("RdCheckBox", 7, 0, 2);
    rehearse_ = new QCheckBox(QStringLiteral("Rehearse first"), fullTool);
    rehearse_->setObjectName(QStringLiteral("RehearseFirstCheck"));
    rehearse_->setToolTip(
        QStringLiteral("Record the device, run the write on its simulated twin and show the "
                       "plan before the real write"));
    rehearse_->setChecked(true);
    grid->addWidget(rehearse_, 7, 2);
    put("UpdateBtn", 7, 3);
    put("RdPanel", 8, 0, 4);
    grid->setColumnStretch(1, 1);
    grid->setColumnStretch(3, 1);

    auto *column = new QVBoxLayout(this);
    column->addWidget(clientArea_, 0, Qt::AlignHCenter);
    column->addWidget(fullTool);
}

void FwToolView::update(Binding &b)
{
    forms::Control &c = *b.control;
    QWidget *w = b.widget;
    ShowModel(c, w, b.label);

    // The advanced face holds the full tool, which takes any supported chip:
    // the one-button face's "not for this button" verdict is shown muted, and
    // its pointer to the full tool not at all.
    const bool notForTheButton =
        form_.oneButton == OneButtonState::NotSupported || form_.oneButton == OneButtonState::IdMismatch;
    if (face_ == Face::Advanced && c.name() == "devpnl" && notForTheButton)
        SetForeground(w, kMutedText);
    else
        SetForeground(w, c.fontColour());
    const bool input =
        c.kind() == forms::ControlKind::Button || c.kind() == forms::ControlKind::CheckBox ||
        c.kind() == forms::ControlKind::ComboBox ||
        (c.kind() == forms::ControlKind::LabeledEdit && !static_cast<forms::LabeledEdit &>(c).readOnly());
    w->setEnabled(c.enabled() && !(input && writing()));
    if (b.placedByForm) {
        w->setGeometry(ToRect(c.bounds()));
        if (b.label) {
            const Bounds &r = c.bounds();
            b.label->setGeometry(r.left, r.top - kLabelHeight - kLabelSpacing, r.width, kLabelHeight);
        }
    }
    const bool visible = (b.alwaysVisible || c.visible()) &&
                         !(face_ == Face::Advanced && c.name() == "faceHint" && c.caption() == kFaceHintText);
    w->setVisible(visible);
    if (b.label) {
        b.label->setEnabled(c.enabled());
        b.label->setVisible(visible);
    }
}

void FwToolView::syncWindow()
{
    setWindowTitle(Text(form_.caption));
    // A result below the progress bar makes the face taller.
    const forms::Bounds line = form_.faceHint.bounds();
    const int below =
        form_.faceHint.visible() ? std::max(0, line.top + line.height + kFaceMargin - kClientHeight) : 0;
    if (face_ == Face::Delivered) {
        setFixedSize(kClientWidth, form_.clientHeight + below);
    } else {
        clientArea_->setFixedSize(kClientWidth, kClientHeight + below);
        setFixedSize(sizeHint().expandedTo(QSize(2 * kClientWidth, 0)));
    }
    if (form_.closed && !closing_)
        close();
}

bool FwToolView::writing() const
{
    return CurrentWritePhase() != WritePhase::Idle || form_.updateRunning != 0;
}

void FwToolView::updateAll()
{
    for (auto &[name, b] : bindings_)
        update(b);
    if (rehearse_)
        rehearse_->setEnabled(!writing());
}

void FwToolView::userAction(const std::function<void()> &action)
{
    enterHandler();
    action();
    leaveHandler();
    if (afterUserAction_)
        afterUserAction_();
    syncWindow();
}

void FwToolView::clickButton(forms::Button &button)
{
    userAction([this, &button] {
        // The advanced face shows controls the form hides; a click on one of
        // them is a real click all the same.
        if (face_ == Face::Advanced && !button.visible() && button.enabled() && button.onClick)
            button.onClick();
        else
            button.click();
    });
}

void FwToolView::keyPressEvent(QKeyEvent *event)
{
    // Escape closes the window as Exit does, when nothing runs.
    if (event->key() == Qt::Key_Escape && event->modifiers() == Qt::NoModifier) {
        if (!busy())
            close();
        event->accept();
        return;
    }
    QWidget::keyPressEvent(event);
}

void FwToolView::closeEvent(QCloseEvent *event)
{
    if (busy()) {
        event->ignore();
        return;
    }
    closing_ = true;
    if (!form_.closed)
        FormClose(form_);
    event->accept();
}

} // namespace brigant::gui
