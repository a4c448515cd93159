#include "app/Constants.h"

#include <QApplication>
#include <QLabel>

int main(int argc, char *argv[])
{
    QCoreApplication::setOrganizationName(Ink::organizationName());
    QCoreApplication::setApplicationName(Ink::applicationName());
    QApplication app(argc, argv);
    QLabel window(Ink::productName());
    window.setWindowTitle(Ink::productName());
    window.setAlignment(Qt::AlignCenter);
    window.resize(800, 500);
    window.show();
    return app.exec();
}
