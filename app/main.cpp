// Corvanel: the main window is the whole program; it lives until Exit.

#include "main_window/form1.h"

#include <QApplication>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    Form1 form;
    form.show();
    return app.exec();
}
