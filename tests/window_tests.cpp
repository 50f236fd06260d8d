// The main window as a user sees it: geometry, captions, fonts, tab order, initial states and the message box.
#include "qt/QtMainWindow.h"
#include "device/SimulatedPlatform.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QFontInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTimer>
#include <QtTest>

#include <cmath>

using namespace tarvo;

namespace {

struct Layout {
    const char* name;
    const char* container;  // nullptr: the window's client area
    const char* caption;
    int left, top, width, height;
    const char* family;
    double points;
};

// The window's controls as designed, in twips.
const Layout CONTROLS[] = {
    {"Frame1", nullptr, "Device details", 120, 100, 5800, 1935, "Microsoft Sans Serif", 9.75},
    {"Label5", "Frame1", "Product name", 240, 360, 1215, 285, "Microsoft Sans Serif", 9.75},
    {"lblProduct", "Frame1", "", 1680, 360, 3300, 330, "Arial", 9.75},
    {"lblSerialNumber", "Frame1", "", 1680, 360, 3300, 330, "Microsoft Sans Serif", 9.75},
    {"Label4", "Frame1", "Made by", 240, 720, 1215, 285, "Microsoft Sans Serif", 9.75},
    {"lblManuf", "Frame1", "", 1680, 720, 3300, 330, "Microsoft Sans Serif", 9.75},
    {"Label2", "Frame1", "Version", 240, 1080, 1455, 285, "Microsoft Sans Serif", 9.75},
    {"lblVersion", "Frame1", "", 1680, 1080, 3300, 330, "Microsoft Sans Serif", 9.75},
    {"Label3", "Frame1", "Serial Number", 240, 1440, 1815, 285, "Microsoft Sans Serif", 9.75},
    {"SerNo", "Frame1", "", 1700, 1380, 2055, 360, "Microsoft Sans Serif", 9.75},
    {"Frame3", nullptr, "Pulse output", 105, 2300, 5800, 1800, "Microsoft Sans Serif", 9.75},
    {"Foutput", "Frame3", "", 250, 400, 2000, 420, "Microsoft Sans Serif", 12},
    {"SetFout", "Frame3", "Pulse frequency, Hz", 2500, 400, 3045, 420, "Microsoft Sans Serif", 12},
    {"Vout", "Frame3", "", 250, 1100, 2000, 420, "Microsoft Sans Serif", 12},
    {"Label6", "Frame3", "Amplitude into 50R load, mV", 2505, 1140, 3200, 420, "Microsoft Sans Serif", 12},
    {"Label7", "Frame3", "Deemphasis, %", 1500, 2220, 2415, 315, "Microsoft Sans Serif", 9.75},
    {"Factory", nullptr, "Restore default settings", 1155, 4410, 3735, 495, "Microsoft Sans Serif", 12},
    {"trig_frame", nullptr, "External trigger/sync", 120, 5340, 5800, 2500, "Microsoft Sans Serif", 9.75},
    {"ext_trig_dir", "trig_frame", "", 250, 400, 2000, 420, "Microsoft Sans Serif", 12},
    {"Label9", "trig_frame", "Trigger/sync function", 2505, 440, 2700, 420, "Microsoft Sans Serif", 12},
    {"ext_sync_freq", "trig_frame", "", 250, 1100, 2000, 420, "Microsoft Sans Serif", 12},
    {"SetFsync", "trig_frame", "Sync input frequency, Hz", 2500, 1100, 3045, 420, "Microsoft Sans Serif", 12},
    {"polarity", "trig_frame", "", 250, 1800, 2000, 420, "Microsoft Sans Serif", 12},
    {"Label8", "trig_frame", "Polarity", 2500, 1840, 2700, 420, "Microsoft Sans Serif", 12},
};

double Pixels(int twips) { return twips / 15.0; }

SimDeviceConfig GeneratorA() {
    SimDeviceConfig d;
    d.name = "A";
    d.serial = u"A";
    return d;
}

QString Caption(const QWidget* w) {
    if (auto* g = qobject_cast<const QGroupBox*>(w)) return g->title();
    if (auto* l = qobject_cast<const QLabel*>(w)) return l->text();
    if (auto* b = qobject_cast<const QAbstractButton*>(w)) return b->text();
    if (auto* e = qobject_cast<const QLineEdit*>(w)) return e->text();
    if (auto* c = qobject_cast<const QComboBox*>(w)) return c->currentText();
    return {};
}

}  // namespace

class WindowTests : public QObject {
    Q_OBJECT

    SimulatedPlatform sim;

    QWidget* Child(QtMainWindow& w, const char* name) {
        auto* child = w.findChild<QWidget*>(name);
        if (!child) qFatal("no control %s", name);
        return child;
    }

private slots:
    void windowHasItsCaptionSizeAndNoMinimiseOrMaximise() {
        QtMainWindow w(sim);
        QCOMPARE(w.windowTitle(), QString("Tarvo Pulse Generator"));
        QCOMPARE(w.size(), QSize(406, 348));
        QVERIFY(!(w.windowFlags() & Qt::WindowMinimizeButtonHint));
        QVERIFY(!(w.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(w.windowFlags() & Qt::WindowCloseButtonHint);
    }

    void controlsLieWhereTheLayoutPutsThemWithinOnePixel() {
        QtMainWindow w(sim);
        for (const Layout& c : CONTROLS) {
            QWidget* control = Child(w, c.name);
            QWidget* container = c.container ? Child(w, c.container) : &w;
            QCOMPARE(control->parentWidget(), container);
            const QRect r = control->geometry();
            QVERIFY2(std::abs(r.x() - Pixels(c.left)) <= 1 && std::abs(r.y() - Pixels(c.top)) <= 1 &&
                         std::abs(r.width() - Pixels(c.width)) <= 1 && std::abs(r.height() - Pixels(c.height)) <= 1,
                     c.name);
            QCOMPARE(Caption(control), QString::fromUtf8(c.caption));
        }
        // The trigger/sync group begins below the client area, so none of it is seen.
        QVERIFY(Child(w, "trig_frame")->geometry().top() >= w.height());
    }

    void fontsAreTheDesignedOnesOrMetricTwinsAndNoCaptionIsCut() {
        QtMainWindow w(sim);
        for (const Layout& c : CONTROLS) {
            QWidget* control = Child(w, c.name);
            const QFont f = control->font();
            QCOMPARE(f.pointSizeF(), c.points);
            QVERIFY2(!f.bold() && !f.italic() && !f.underline(), c.name);
            const QString family = QFontInfo(f).family();
            QVERIFY2(family == c.family || family == "Liberation Sans" || family == "Arimo",
                     qPrintable(QString("%1 is drawn in %2").arg(c.name, family)));
            if (auto* label = qobject_cast<QLabel*>(control)) {
                const int needed = QFontMetrics(f).horizontalAdvance(label->text());
                QVERIFY2(needed <= label->width(), qPrintable(QString("%1 needs %2 px").arg(c.name).arg(needed)));
            }
            if (auto* button = qobject_cast<QPushButton*>(control))
                QVERIFY2(QFontMetrics(f).horizontalAdvance(button->text()) + 8 <= button->width(), c.name);
        }
    }

    void tabOrderFollowsTheDesignAndLabelsTakeNoFocus() {
        QtMainWindow w(sim);
        const QStringList order = {"Vout", "Factory", "SerNo", "ext_trig_dir", "ext_sync_freq",
                                   "SetFout", "Foutput", "polarity", "SetFsync"};
        QWidget* at = Child(w, "Vout");
        for (const QString& name : order) {
            QCOMPARE(at->objectName(), name);
            do at = at->nextInFocusChain();
            while (at->focusPolicy() == Qt::NoFocus || !order.contains(at->objectName()));
        }
        for (const Layout& c : CONTROLS) {
            QWidget* control = Child(w, c.name);
            if (qobject_cast<QLabel*>(control) || qobject_cast<QGroupBox*>(control))
                QCOMPARE(control->focusPolicy(), Qt::NoFocus);
        }
    }

    void initialStatesBeforeAnyDeviceIsSought() {
        QtMainWindow w(sim);
        const QStringList disabled = {"Frame1", "SerNo", "Frame3", "Vout", "Label6", "Label7", "trig_frame",
                                      "ext_trig_dir", "Label9", "ext_sync_freq", "SetFsync", "polarity", "Label8"};
        for (const Layout& c : CONTROLS)
            QCOMPARE(!Child(w, c.name)->testAttribute(Qt::WA_ForceDisabled), !disabled.contains(c.name));
        QVERIFY(Child(w, "Label7")->isHidden());
        auto* timer = w.findChild<QTimer*>("Timer");
        QVERIFY(timer && !timer->isActive());
        QCOMPARE(timer->interval(), 50);
        for (const char* list : {"SerNo", "Vout", "ext_trig_dir", "polarity"})
            QCOMPARE(qobject_cast<QComboBox*>(Child(w, list))->count(), 0);
        QVERIFY(!qobject_cast<QComboBox*>(Child(w, "SerNo"))->isEditable());
        QVERIFY(!qobject_cast<QComboBox*>(Child(w, "Vout"))->isEditable());
    }

    void productNameStaysReadableOverTheSerialLabel() {
        SimulatedPlatform platform;
        SimDeviceConfig d;
        d.name = "A";
        d.serial = u"A";
        d.product = u"<b>Pulse</b> & more";
        platform.Plug(d);
        QtMainWindow w(platform);
        w.form().messageBox = [](const std::string&, const std::string&) {};
        w.form().Form_Load();
        auto* product = qobject_cast<QLabel*>(Child(w, "lblProduct"));
        QCOMPARE(product->text(), QString(" <b>Pulse</b> & more"));  // device text is never markup
        QCOMPARE(product->textFormat(), Qt::PlainText);
        QWidget* frame = Child(w, "Frame1");
        QCOMPARE(frame->childAt(product->geometry().center()), product);
        QCOMPARE(qobject_cast<QLabel*>(Child(w, "lblSerialNumber"))->text(), QString());
        w.close();
    }

    void theRealMessageBoxHasOnlyOkAndNoIcon() {
        QtMainWindow w(sim);
        w.show();
        QString seen;
        QTimer::singleShot(0, [&] {
            auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
            QVERIFY(box);
            seen = box->windowTitle() + "|" + box->text();
            QCOMPARE(box->icon(), QMessageBox::NoIcon);
            QCOMPARE(box->buttons().size(), 1);
            QCOMPARE(box->standardButton(box->buttons().first()), QMessageBox::Ok);
            box->accept();
        });
        w.form().messageBox("Bad input", "Enter pulse frequency in Hz");
        QCOMPARE(seen, QString("Bad input|Enter pulse frequency in Hz"));
    }

    // The box runs its own event loop, in which the timer keeps firing: those ticks poll nothing, and the timer
    // polls again once the box is closed.
    void ticksDuringAMessageBoxDoNothingAndTheTimerGoesOnAfterIt() {
        SimulatedPlatform platform;
        platform.Plug(GeneratorA());
        QtMainWindow w(platform);
        w.form().Form_Load();
        std::size_t callsWhileOpen = 0;
        QTimer::singleShot(0, [&] {
            QTimer::singleShot(400, [&] {  // several ticks after the box opened
                auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
                QVERIFY(box);
                callsWhileOpen = platform.Calls().size();
                box->accept();
            });
        });
        auto* foutput = qobject_cast<QLineEdit*>(Child(w, "Foutput"));
        foutput->setText("not a number");
        const std::size_t before = platform.Calls().size();
        qobject_cast<QPushButton*>(Child(w, "SetFout"))->click();
        QCOMPARE(callsWhileOpen, before);
        QVERIFY(w.timer()->isActive());
        QTRY_VERIFY(platform.Calls().size() > before);
        QCOMPARE(w.focusWidget(), foutput);
        w.close();
    }

    // Searching without a device refreshes a window that is already cleared: nothing changes and nothing is
    // drawn again.
    void aRefreshOfAClearedWindowDrawsNothing() {
        SimulatedPlatform platform;
        QtMainWindow w(platform);
        w.form().Form_Load();
        QTest::qWait(100);  // the first paint, and a few searches
        struct PaintCounter : QObject {
            int paints = 0;
            bool eventFilter(QObject*, QEvent* e) override {
                if (e->type() == QEvent::Paint || e->type() == QEvent::UpdateRequest) ++paints;
                return false;
            }
        } counter;
        for (QWidget* child : w.findChildren<QWidget*>()) child->installEventFilter(&counter);
        w.installEventFilter(&counter);
        const std::size_t before = platform.Calls().size();
        QTRY_VERIFY(platform.Calls().size() > before + 20);  // several search ticks
        QTest::qWait(50);
        QCOMPARE(counter.paints, 0);
        w.close();
    }

    void theRealTimerFollowsUnplugging() {
        SimulatedPlatform platform;
        platform.Plug(GeneratorA());
        QtMainWindow w(platform);
        w.form().Form_Load();
        QVERIFY(w.form().session().DeviceAttached);
        platform.Unplug("A");
        QTRY_VERIFY(!w.form().session().DeviceAttached);
        QTRY_COMPARE(w.findChild<QTimer*>("Timer")->interval(), 250);
        platform.Plug(GeneratorA());
        QTRY_VERIFY(w.form().session().DeviceAttached);
        QTRY_COMPARE(w.findChild<QTimer*>("Timer")->interval(), 500);
        w.close();
        QCOMPARE(platform.OpenDeviceHandles(), 0);
    }
};

QTEST_MAIN(WindowTests)
#include "window_tests.moc"
