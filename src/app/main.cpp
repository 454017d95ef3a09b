#include <QApplication>
#include <QLabel>

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setOrganizationName(QStringLiteral("Korvanthelix"));
    QApplication::setApplicationName(QStringLiteral("Korvanthelix"));
    QLabel window(QStringLiteral("Korvanthelix"));
    window.setMinimumSize(920, 620);
    window.show();
    return app.exec();
}
