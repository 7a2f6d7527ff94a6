#include "gui/smoke.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOption>
#include <QTextDocumentFragment>
#include <QTextLayout>
#include <QtMath>

#include <algorithm>

namespace brigant::gui
{

namespace
{

constexpr int kLineEditPad = 2; // Qt's space either side of a line edit's text
constexpr int kIconSpacing = 4; // between a button's icon and its text

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

} // namespace brigant::gui
