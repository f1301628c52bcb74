// The window checks the screen tests rely on: each must see the fault it names, and stay
// quiet on a window laid out as it should be.
#include "support/LayoutChecks.hpp"

#include <gtest/gtest.h>

#include <QApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QToolButton>

#include <cstdlib>

namespace lumavane {
namespace {

QApplication& application() {
    setenv("QT_QPA_PLATFORM", LUMAVANE_TEST_QPA, 0);
    static int argc = 1;
    static char name[] = "LayoutChecksTests";
    static char* argv[] = {name, nullptr};
    static QApplication* app = new QApplication(argc, argv);
    return *app;
}

TEST(LayoutChecks, SeeCutTextsOverlapsAndCutButtons) {
    application();
    QWidget window;
    window.resize(300, 80);
    auto* fits = new QLabel("OK", &window);
    fits->setGeometry(0, 0, 100, 30);
    auto* cut = new QLabel("A label far too long for its narrow box", &window);
    cut->setGeometry(0, 40, 40, 30);
    auto* elided = new QLabel(QString("Lumav") + QChar(0x2026) + "ct 4x", &window);
    elided->setGeometry(100, 0, 150, 30);
    auto* outside = new QPushButton("Go", &window);
    outside->setGeometry(280, 50, 60, 30);
    window.show();

    const auto texts = test::clippedTexts(window);
    ASSERT_EQ(texts.size(), 3u); // the cut label, the ellipsis and the button cut by the edge
    EXPECT_NE(texts[0].find("narrow box"), std::string::npos);
    EXPECT_NE(texts[1].find("elided"), std::string::npos);

    elided->setProperty(test::elidesByDesignProperty, true);
    EXPECT_EQ(test::clippedTexts(window).size(), 2u);

    const auto unreachable = test::unreachableButtons(window);
    ASSERT_EQ(unreachable.size(), 1u);
    EXPECT_NE(unreachable[0].find("\"Go\""), std::string::npos);
}

TEST(LayoutChecks, OverlapOnlyAmongLaidOutSiblings) {
    application();
    QWidget window;
    auto* row = new QHBoxLayout(&window);
    auto* a = new QPushButton("First", &window);
    auto* b = new QPushButton("Second", &window);
    row->addWidget(a);
    row->addWidget(b);
    auto* floating = new QLabel("over", &window); // not in the layout: an overlay may cover
    window.resize(400, 60);
    window.show();
    floating->setGeometry(a->geometry());
    EXPECT_TRUE(test::overlappingSiblings(window).empty());

    // Squeezed below what the row needs, the layout gives up and the buttons run into each other.
    window.setMinimumSize(0, 0);
    a->setMinimumWidth(0);
    b->setMinimumWidth(0);
    a->setGeometry(0, 0, 100, 30);
    b->setGeometry(50, 0, 100, 30);
    const auto found = test::overlappingSiblings(window);
    ASSERT_EQ(found.size(), 1u);
    EXPECT_NE(found[0].find("First"), std::string::npos);
}

TEST(LayoutChecks, SymbolWithoutIconIsBlank) {
    application();
    QWidget window;
    auto* button = new QToolButton(&window);
    button->setProperty("lumavaneSymbol", "no.such.symbol");
    window.show();
    EXPECT_EQ(test::blankSymbolIcons(window, "lumavaneSymbol").size(), 1u);
    QPixmap pixmap(16, 16);
    pixmap.fill(Qt::red);
    button->setIcon(QIcon(pixmap));
    EXPECT_TRUE(test::blankSymbolIcons(window, "lumavaneSymbol").empty());
}

} // namespace
} // namespace lumavane
