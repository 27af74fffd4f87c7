#include "ui/clickedlabel.h"
#include "ui/moveablewidget.h"

#include <QEnterEvent>
#include <QSignalSpy>
#include <QVBoxLayout>
#include <QtTest>

#include <memory>

class tst_Widgets : public QObject
{
    Q_OBJECT

private slots:
    void colorText_data();
    void colorText();
    void clickSequences_data();
    void clickSequences();
    void htmlTextIsNeverCaptured();
    void hoverRestylesPlainText();
    void keepHoverKeepsHoverColour();
    void findTopLevel();
    void dragMovesTopLevelWindow();
    void otherButtonDoesNotDrag();
};

// Mouse actions on a label, as a compact script: "L+" left press, "R-" right release, "M" a
// move, with the buttons held, far outside the label.
using Script = QStringList;

void tst_Widgets::colorText_data()
{
    QTest::addColumn<QColor>("color");
    QTest::addColumn<QString>("text");
    QTest::newRow("light blue") << QColor(127, 182, 255) << QStringLiteral("#7fb6ff");
    QTest::newRow("opaque black") << QColor(0, 0, 0, 255) << QStringLiteral("#000000");
    QTest::newRow("single digits padded") << QColor(1, 10, 15) << QStringLiteral("#010a0f");
    QTest::newRow("alpha not written") << QColor(255, 0, 0, 17) << QStringLiteral("#ff0000");
}

void tst_Widgets::colorText()
{
    QFETCH(QColor, color);
    QFETCH(QString, text);
    QCOMPARE(colorToText(color), text);
}

void tst_Widgets::clickSequences_data()
{
    QTest::addColumn<Script>("script");
    QTest::addColumn<QList<int>>("clicksAfterEachStep");
    QTest::newRow("left click") << Script{"L+", "L-"} << QList<int>{0, 1};
    QTest::newRow("right click emits nothing") << Script{"R+", "R-"} << QList<int>{0, 0};
    QTest::newRow("release after moving away") << Script{"L+", "M", "L-"} << QList<int>{0, 0, 1};
    QTest::newRow("right release ends a left press")
        << Script{"L+", "R+", "R-", "L-"} << QList<int>{0, 0, 1, 1};
    QTest::newRow("two clicks") << Script{"L+", "L-", "L+", "L-"} << QList<int>{0, 1, 1, 2};
}

void tst_Widgets::clickSequences()
{
    QFETCH(Script, script);
    QFETCH(QList<int>, clicksAfterEachStep);

    QWidget window;
    window.resize(200, 100);
    auto* label = new ClickedLabel(&window);
    label->setGeometry(10, 10, 50, 20);
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QSignalSpy clicked(label, &ClickedLabel::sig_clicked);

    for (int i = 0; i < script.size(); ++i) {
        const QString step = script.at(i);
        const Qt::MouseButton button = step.startsWith('L') ? Qt::LeftButton : Qt::RightButton;
        if (step == QLatin1String("M"))
            QTest::mouseMove(label, QPoint(150, 80));
        else if (step.endsWith('+'))
            QTest::mousePress(label, button, {}, QPoint(5, 5));
        else
            QTest::mouseRelease(label, button, {}, QPoint(150, 80));
        QCOMPARE(clicked.count(), clicksAfterEachStep.at(i));
    }
}

static void sendEnter(QWidget* widget)
{
    QEnterEvent enter(QPointF(1, 1), QPointF(1, 1), widget->mapToGlobal(QPointF(1, 1)));
    QCoreApplication::sendEvent(widget, &enter);
}

static void sendLeave(QWidget* widget)
{
    QEvent leave(QEvent::Leave);
    QCoreApplication::sendEvent(widget, &leave);
}

void tst_Widgets::htmlTextIsNeverCaptured()
{
    ClickedLabel label;
    label.setHoverEnabled(true);
    label.setText(QStringLiteral("<html><b>x</b></html>"));
    sendEnter(&label);
    QVERIFY(!label.testAttribute(Qt::WA_SetCursor));
    // The styled text is built from an empty plain text.
    QCOMPARE(label.text(), label.styledText(QStringLiteral("#000000")));
    QVERIFY(!label.text().contains(QLatin1String("<b>")));
    sendLeave(&label);
    QVERIFY(!label.testAttribute(Qt::WA_SetCursor));
}

void tst_Widgets::hoverRestylesPlainText()
{
    ClickedLabel label;
    label.setText(QStringLiteral("close 100%"));
    label.setHoverEnabled(true);
    label.setHoverColor(QColor(255, 0, 0));

    sendEnter(&label);
    QCOMPARE(label.text(),
             QStringLiteral("<html><head/><body><p><span style='text-decoration: none; "
                            "color:#ff0000;'>close 100%</span></p></body></html>"));
    QCOMPARE(label.cursor().shape(), Qt::PointingHandCursor);

    sendLeave(&label);
    QCOMPARE(label.text(),
             QStringLiteral("<html><head/><body><p><span style='text-decoration: none; "
                            "color:#000000;'>close 100%</span></p></body></html>"));
    QCOMPARE(label.cursor().shape(), Qt::ArrowCursor);

    // The second enter reuses the captured plain text, not the styled text now shown.
    label.setUnderline(true);
    sendEnter(&label);
    QCOMPARE(label.text(),
             QStringLiteral("<html><head/><body><p><span style='text-decoration: underline; "
                            "color:#ff0000;'>close 100%</span></p></body></html>"));
}

void tst_Widgets::keepHoverKeepsHoverColour()
{
    ClickedLabel label;
    label.setText(QStringLiteral("go"));
    label.setHoverEnabled(true);
    label.setKeepHover(true);
    label.setHoverColor(QColor(0, 0, 255));
    sendEnter(&label);
    const QString hovered = label.text();
    sendLeave(&label);
    QCOMPARE(label.text(), hovered);
    QCOMPARE(label.cursor().shape(), Qt::ArrowCursor);
}

void tst_Widgets::findTopLevel()
{
    QCOMPARE(findTopLevelWidget(nullptr), static_cast<QWidget*>(nullptr));
    QWidget top;
    auto* middle = new QWidget(&top);
    auto* leaf = new QWidget(middle);
    QCOMPARE(findTopLevelWidget(&top), &top);
    QCOMPARE(findTopLevelWidget(middle), &top);
    QCOMPARE(findTopLevelWidget(leaf), &top);

    // A widget whose parent is not a widget counts as its own top level.
    QObject owner;
    QWidget orphan;
    orphan.QObject::setParent(&owner);
    QCOMPARE(findTopLevelWidget(&orphan), &orphan);
    orphan.QObject::setParent(nullptr);
}

// A frameless window at (400, 250) whose upper half is a MoveableWidget title bar.
struct DragWindow {
    DragWindow()
    {
        window.setWindowFlags(Qt::FramelessWindowHint);
        auto* layout = new QVBoxLayout(&window);
        layout->setContentsMargins(0, 0, 0, 0);
        bar = new MoveableWidget;
        layout->addWidget(bar);
        layout->addWidget(new QWidget);
        window.resize(300, 200);
        window.move(400, 250);
    }
    // Local position in the bar of a global position, as the window stands now.
    QPoint local(const QPoint& global) const { return bar->mapFromGlobal(global); }

    QWidget window;
    MoveableWidget* bar = nullptr;
};

void tst_Widgets::dragMovesTopLevelWindow()
{
    DragWindow w;
    w.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    QCOMPARE(w.window.pos(), QPoint(400, 250));

    QTest::mousePress(w.bar, Qt::LeftButton, {}, w.local(QPoint(500, 300)));
    QTest::mouseMove(w.bar, w.local(QPoint(600, 350)));
    QCOMPARE(w.window.pos(), QPoint(500, 300));
    QTest::mouseMove(w.bar, w.local(QPoint(650, 420)));
    QCOMPARE(w.window.pos(), QPoint(550, 370));
    QTest::mouseRelease(w.bar, Qt::LeftButton, {}, w.local(QPoint(650, 420)));

    // After the release, moves no longer drag.
    QTest::mousePress(w.bar, Qt::RightButton, {}, w.local(QPoint(600, 400)));
    QTest::mouseMove(w.bar, w.local(QPoint(700, 500)));
    QCOMPARE(w.window.pos(), QPoint(550, 370));
    QTest::mouseRelease(w.bar, Qt::RightButton, {}, w.local(QPoint(700, 500)));
}

void tst_Widgets::otherButtonDoesNotDrag()
{
    DragWindow w;
    w.window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&w.window));
    QTest::mousePress(w.bar, Qt::RightButton, {}, w.local(QPoint(500, 300)));
    QTest::mouseMove(w.bar, w.local(QPoint(650, 420)));
    QTest::mouseRelease(w.bar, Qt::RightButton, {}, w.local(QPoint(650, 420)));
    QCOMPARE(w.window.pos(), QPoint(400, 250));

    // A right press while the left button drags refreshes the offset; the drag goes on from
    // there, and any release ends it.
    QTest::mousePress(w.bar, Qt::LeftButton, {}, w.local(QPoint(500, 300)));
    QTest::mousePress(w.bar, Qt::RightButton, {}, w.local(QPoint(510, 310)));
    QTest::mouseMove(w.bar, w.local(QPoint(520, 330)));
    QCOMPARE(w.window.pos(), QPoint(410, 270));
    QTest::mouseRelease(w.bar, Qt::RightButton, {}, w.local(QPoint(520, 330)));
    QTest::mouseMove(w.bar, w.local(QPoint(700, 500)));
    QCOMPARE(w.window.pos(), QPoint(410, 270));
    QTest::mouseRelease(w.bar, Qt::LeftButton, {}, w.local(QPoint(700, 500)));
}

QTEST_MAIN(tst_Widgets)
#include "tst_widgets.moc"
