#include <QApplication>
#include <QWidget>

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Mirelune"));
    QWidget window;
    window.setWindowTitle(QStringLiteral("Mirelune"));
    window.show();
    return QApplication::exec();
}
