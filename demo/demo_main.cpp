// tarvo-pulse-generator-demo: the utility's window on simulated pulse generators, with a second window that
// plugs, unplugs and breaks them and logs the reports they receive.
#include "Demo.h"

#include <QApplication>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    tarvo::Demo demo;
    demo.Start();
    return app.exec();
}
