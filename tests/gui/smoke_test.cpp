// The smoke run's check that every text on the screen fits its widget: what
// it measures for each kind of widget, and what it leaves alone.
#include "gui/smoke.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QWidget>
#include <gtest/gtest.h>

#include <map>

using namespace brigant::gui;

namespace
{

TEST(TextsFit, EachWidgetThatCutsItsTextIsNamed)
{
    QWidget window;
    window.resize(600, 400);
    const QString text = QStringLiteral("Update firmware to version 01.01.01.00");
    const QString word = QStringLiteral("Backup_of_the_flash_in_the_backups_folder"); // no place to wrap
    const QFontMetrics metrics(window.font());
    const int wide = metrics.horizontalAdvance(text);
    const int line = metrics.height();

    struct Case {
        const char *name;
        QWidget *widget;
        QSize size;
        bool fits;
    };
    auto label = [&](const QString &caption, bool wrap) {
        auto *l = new QLabel(caption, &window);
        l->setWordWrap(wrap);
        return l;
    };
    auto *hidden = label(text, false);
    auto *outside = label(text, false); // beyond the window's edge: not seen
    const Case cases[] = {
        {"label", label(text, false), {wide + 2, line}, true},
        {"narrowLabel", label(text, false), {wide - 10, line}, false},
        {"wrapped", label(text, true), {wide / 2 + 10, 3 * line}, true},
        {"wrappedTooLow", label(text, true), {wide / 2 + 10, line}, false},
        {"wordTooWide", label(word, true), {wide / 2, 4 * line}, false},
        {"button", new QPushButton(text, &window), {wide + 40, 30}, true},
        {"narrowButton", new QPushButton(text, &window), {wide, 30}, false},
        {"narrowCheckBox", new QCheckBox(text, &window), {wide, 20}, false},
        {"edit", new QLineEdit(text, &window), {wide + 20, 24}, true},
        {"narrowEdit", new QLineEdit(text, &window), {wide, 24}, false},
        {"hidden", hidden, {10, line}, true},
        {"outside", outside, {10, line}, true},
    };
    int y = 0;
    for (const Case &c : cases) {
        c.widget->setObjectName(c.name);
        c.widget->setGeometry(0, y, c.size.width(), c.size.height());
        y += c.size.height();
    }
    ASSERT_LE(y, window.height());
    outside->move(window.width() + 10, 0);
    window.show();
    hidden->hide();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));

    std::map<std::string, Misfit> found;
    for (const Misfit &m : TextsThatDoNotFit())
        found.emplace(m.widget.toStdString(), m);
    for (const Case &c : cases)
        EXPECT_EQ(found.count(c.name), c.fits ? 0u : 1u) << c.name;
    EXPECT_TRUE(found.at("wrappedTooLow").height);
    EXPECT_FALSE(found.at("wordTooWide").height);
    const Misfit &narrow = found.at("narrowLabel");
    EXPECT_EQ(Describe(narrow), "does not fit: narrowLabel: " + text.toStdString() + " (" +
                                    std::to_string(wide) + " > " + std::to_string(wide - 10) + " px)");
}

} // namespace
