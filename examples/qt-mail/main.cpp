// qt-mail: a small mail window on zef's controls, all on the Qt event loop of its one thread.
#include <QApplication>

#include "MailWindow.h"

int main(int argc, char** argv) {
    QApplication application(argc, argv);
    MailWindow window;
    window.show();
    return QApplication::exec();
}
