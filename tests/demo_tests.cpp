// The demo as a user drives it: both windows up, the main window on its real timer, and every change made with
// the simulator window's own controls (clicks and typing), watched in the main window.
#include "demo/Demo.h"

#include <QAbstractButton>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSpinBox>
#include <QTreeWidget>
#include <QtTest>

using namespace tarvo;

namespace {

template <typename T>
T* Control(QWidget& window, const char* name) {
    T* control = window.findChild<T*>(name);
    if (!control) qFatal("no control %s in %s", name, qPrintable(window.objectName()));
    return control;
}

QStringList Entries(QComboBox* list) {
    QStringList entries;
    for (int i = 0; i < list->count(); ++i) entries << list->itemText(i);
    return entries;
}

// The texts of one column of a list, top to bottom.
QStringList Column(QTreeWidget* tree, int column) {
    QStringList texts;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) texts << tree->topLevelItem(i)->text(column);
    return texts;
}

// Replaces the text of a box as a user would: select all, type.
void Type(QWidget* box, const QString& text) {
    QTest::keyClick(box, Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(box, text);
}

void Click(QAbstractButton* button) {
    QVERIFY2(button->isEnabled(), qPrintable(button->text()));
    QTest::mouseClick(button, Qt::LeftButton);
}

// Clicks the row of the generator with this serial number in the simulator's list.
void ChooseGenerator(QTreeWidget* generators, const QString& serial) {
    const QList<QTreeWidgetItem*> rows = generators->findItems(serial, Qt::MatchExactly, 0);
    QCOMPARE(rows.size(), 1);
    QTest::mouseClick(generators->viewport(), Qt::LeftButton, {}, generators->visualItemRect(rows.front()).center());
    QCOMPARE(generators->currentItem(), rows.front());
}

// Plugs a generator in through the form.
void PlugThroughForm(SimulatorWindow& sim, const QString& serial, const QString& maker, int hertz) {
    Type(Control<QLineEdit>(sim, "serial"), serial);
    Type(Control<QLineEdit>(sim, "maker"), maker);
    Type(Control<QSpinBox>(sim, "frequency"), QString::number(hertz));
    Click(Control<QPushButton>(sim, "plug"));
}

// Log rows whose serial, report and value are these.
int LogRows(QTreeWidget* log, const QString& serial, const QString& report, const QString& value) {
    int n = 0;
    for (int i = 0; i < log->topLevelItemCount(); ++i) {
        const QTreeWidgetItem* row = log->topLevelItem(i);
        n += row->text(1) == serial && row->text(2) == report && row->text(3) == value;
    }
    return n;
}

const QTreeWidgetItem* LastLogRow(QTreeWidget* log) {
    return log->topLevelItemCount() ? log->topLevelItem(log->topLevelItemCount() - 1) : nullptr;
}

}  // namespace

class DemoTests : public QObject {
    Q_OBJECT

private slots:
    // Both windows come up with the first generator open, and both carry the utility's 32 and 16 pixel icon.
    void startsWithTheFirstGeneratorOpen() {
        Demo demo;
        demo.Start();
        QVERIFY(demo.simulator().isVisible());
        QCOMPARE(demo.simulator().windowTitle(), QString("Simulated pulse generators"));
        QTRY_COMPARE(Entries(Control<QComboBox>(demo.main(), "SerNo")), QStringList{"TPG-000123"});
        QCOMPARE(Control<QLabel>(demo.main(), "lblProduct")->text(), QString(" Pulse Generator"));
        for (QWidget* window : {static_cast<QWidget*>(&demo.main()), static_cast<QWidget*>(&demo.simulator())}) {
            const QList<QSize> sizes = window->windowIcon().availableSizes();
            QVERIFY2(sizes.contains(QSize(32, 32)) && sizes.contains(QSize(16, 16)), qPrintable(window->objectName()));
        }
    }

    // A generator plugged in through the form is found once the open one is unplugged, and unplugging that one
    // too clears the window, all on the main window's own timer.
    void plugAndUnplugReachTheMainWindow() {
        Demo demo;
        demo.Start();
        SimulatorWindow& sim = demo.simulator();
        auto* generators = Control<QTreeWidget>(sim, "generators");
        auto* serNo = Control<QComboBox>(demo.main(), "SerNo");
        QTRY_COMPARE(Entries(serNo), QStringList{"TPG-000123"});

        PlugThroughForm(sim, "TPG-000777", "Acme Instruments", 12345678);
        QCOMPARE(Column(generators, 0), (QStringList{"TPG-000123", "TPG-000777"}));
        QCOMPARE(Column(generators, 1), (QStringList{"Tarvo", "Acme Instruments"}));
        QCOMPARE(Control<QLineEdit>(sim, "serial")->text(), QString("TPG-000778"));

        ChooseGenerator(generators, "TPG-000123");
        Click(Control<QPushButton>(sim, "unplug"));
        QCOMPARE(Column(generators, 0), QStringList{"TPG-000777"});
        QTRY_COMPARE(Entries(serNo), QStringList{"TPG-000777"});
        QTRY_COMPARE(Control<QLabel>(demo.main(), "lblManuf")->text(), QString(" Acme Instruments"));
        QCOMPARE(Control<QLineEdit>(demo.main(), "Foutput")->text(), QString("12345678"));

        ChooseGenerator(generators, "TPG-000777");
        Click(Control<QPushButton>(sim, "unplug"));
        QVERIFY(Column(generators, 0).isEmpty());
        QTRY_COMPARE(serNo->count(), 0);
        QCOMPARE(Control<QLabel>(demo.main(), "lblProduct")->text(), QString());
        QCOMPARE(Control<QLabel>(demo.main(), "lblManuf")->text(), QString());
        QCOMPARE(Control<QLineEdit>(demo.main(), "Foutput")->text(), QString());
        QVERIFY(!Control<QGroupBox>(demo.main(), "Frame3")->isEnabled());
    }

    // Stopped input reports make the window search again, which lists every generator; a failing status read
    // leaves the settings empty until a search after the heal reads them.
    void inputReportsAndFaults() {
        Demo demo;
        demo.Start();
        SimulatorWindow& sim = demo.simulator();
        auto* generators = Control<QTreeWidget>(sim, "generators");
        auto* streaming = Control<QPushButton>(sim, "streaming");
        auto* serNo = Control<QComboBox>(demo.main(), "SerNo");
        auto* foutput = Control<QLineEdit>(demo.main(), "Foutput");
        QTRY_COMPARE(Entries(serNo), QStringList{"TPG-000123"});

        PlugThroughForm(sim, "TPG-000777", "Acme Instruments", 30000000);
        ChooseGenerator(generators, "TPG-000123");
        Click(streaming);
        QCOMPARE(streaming->text(), QString("Resume input reports"));
        QCOMPARE(generators->currentItem()->text(6), QString("stopped"));
        // The search lists both and opens the last one listed.
        QTRY_COMPARE(Entries(serNo), (QStringList{"TPG-000123", "TPG-000777"}));
        QTRY_COMPARE(Control<QLabel>(demo.main(), "lblManuf")->text(), QString(" Acme Instruments"));
        QCOMPARE(foutput->text(), QString("30000000"));

        ChooseGenerator(generators, "TPG-000777");
        QTest::keyClicks(Control<QComboBox>(sim, "operation"), "get");
        QCOMPARE(Control<QComboBox>(sim, "operation")->currentText(), QString("get-feature"));
        Click(Control<QPushButton>(sim, "fail"));
        QCOMPARE(generators->currentItem()->text(7), QString("get-feature"));
        Click(streaming);  // now every tick loses it and opens it again, without its settings
        QTRY_COMPARE(foutput->text(), QString());
        QCOMPARE(Control<QComboBox>(demo.main(), "Vout")->count(), 0);
        QCOMPARE(Control<QLabel>(demo.main(), "lblManuf")->text(), QString(" Acme Instruments"));

        // Healed, the next search reads the settings; with the reports resumed the window keeps them.
        Click(Control<QPushButton>(sim, "heal"));
        QCOMPARE(generators->currentItem()->text(7), QString());
        QTRY_COMPARE(foutput->text(), QString("30000000"));
        QCOMPARE(Control<QComboBox>(demo.main(), "Vout")->count(), 511);
        Click(streaming);
        QCOMPARE(streaming->text(), QString("Stop input reports"));
        QTest::qWait(2 * POLL_INTERVAL_ATTACHED_MS);
        QCOMPARE(foutput->text(), QString("30000000"));
    }

    // The log shows each report a generator received, decoded and in hex, and the generator's list row follows
    // the commands it took; a command that failed is logged as failed and changes nothing.
    void logShowsEveryReportDecoded() {
        Demo demo;
        demo.Start();
        SimulatorWindow& sim = demo.simulator();
        auto* log = Control<QTreeWidget>(sim, "log");
        auto* generators = Control<QTreeWidget>(sim, "generators");
        QTRY_COMPARE(LogRows(log, "TPG-000123", "Status request", "10000000 Hz, 1161 mV"), 1);
        QCOMPARE(LastLogRow(log)->text(5), QString("00 00 00 80 96 98 00 68 01"));

        Type(Control<QLineEdit>(demo.main(), "Foutput"), "250000");
        Click(Control<QPushButton>(demo.main(), "SetFout"));
        QCOMPARE(LogRows(log, "TPG-000123", "Pulse frequency", "250000 Hz"), 1);
        QCOMPARE(LastLogRow(log)->text(4), QString("ok"));
        QCOMPARE(LastLogRow(log)->text(5), QString("00 01 00 90 D0 03 00 00 00"));
        QCOMPARE(generators->topLevelItem(0)->text(4), QString("250000"));

        ChooseGenerator(generators, "TPG-000123");
        QTest::keyClicks(Control<QComboBox>(sim, "operation"), "set");
        QCOMPARE(Control<QComboBox>(sim, "operation")->currentText(), QString("set-feature"));
        Click(Control<QPushButton>(sim, "fail"));
        Click(Control<QPushButton>(demo.main(), "Factory"));
        QCOMPARE(LogRows(log, "TPG-000123", "Pulse frequency", "10000000 Hz"), 1);
        QCOMPARE(LogRows(log, "TPG-000123", "Amplitude", "1161 mV (entry 360)"), 2);  // chosen, then sent again
        QCOMPARE(LastLogRow(log)->text(4), QString("failed"));
        QCOMPARE(LastLogRow(log)->text(5), QString("00 02 00 68 01 00 00 00 00"));
        QCOMPARE(generators->topLevelItem(0)->text(4), QString("250000"));

        Click(Control<QPushButton>(sim, "clearLog"));
        QCOMPARE(log->topLevelItemCount(), 0);
    }

    // A version that is not "number.hex" plugs nothing in and says why.
    void refusesABadVersion() {
        Demo demo;
        demo.Start();
        SimulatorWindow& sim = demo.simulator();
        Type(Control<QLineEdit>(sim, "version"), "300.1");
        Click(Control<QPushButton>(sim, "plug"));
        QCOMPARE(Control<QTreeWidget>(sim, "generators")->topLevelItemCount(), 1);
        QVERIFY(!Control<QLabel>(sim, "status")->text().isEmpty());
        Type(Control<QLineEdit>(sim, "version"), "2.0A");
        Click(Control<QPushButton>(sim, "plug"));
        QCOMPARE(Control<QTreeWidget>(sim, "generators")->topLevelItem(1)->text(3), QString("2.0A"));
    }
};

QTEST_MAIN(DemoTests)
#include "demo_tests.moc"
