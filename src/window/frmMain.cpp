#include "window/frmMain.h"

#include "setup/JapaneseFont.h"
#include "setup/basGlobal.h"
#include "setup/frmSet.h"

#include <QCloseEvent>

using namespace Qt::StringLiterals;

namespace {

const QString kDesignedCaption = u"Mirelune"_s;

} // namespace

frmMain::frmMain(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(u"frmMain"_s);
    setAttribute(Qt::WA_DeleteOnClose);
    setFont(setup::japaneseUiFont());
    setWindowTitle(kDesignedCaption);
    resize(480, 360);
}

frmMain::~frmMain() = default;

void frmMain::Form_Load() {
    setWindowTitle(kDesignedCaption + u" - ["_s + basGlobal::roomName + u"]"_s);
}

void frmMain::followWizard(frmSet& wizard) {
    QObject::connect(&wizard, &frmSet::roomEntered, &wizard, [] {
        auto* window = new frmMain;
        window->Form_Load();
        window->show();
    });
}

void frmMain::closeEvent(QCloseEvent* event) {
    basGlobal::eventReceiver = nullptr;
    basGlobal::CloseSessionService();
    basGlobal::EndProgram(0);
    event->accept();
}
