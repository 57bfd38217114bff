#include "HostRoomMode.h"

#include "setup/basGlobal.h"
#include "setup/frmSet.h"
#include "window/frmMain.h"

#include <QApplication>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <cstdio>

int hostRoomUnattended(const QString& roomName, const QString& handleName) {
    int exitCode = 0;
    {
        frmSet wizard;
        frmMain::followWizard(wizard);
        if (wizard.Form_Load()) {
            // Skipped already when the settings say so.
            if (wizard.page() == 0) {
                wizard.cmdNext->click();
            }
            wizard.lstConnections->setCurrentRow(0); // the LAN
            wizard.txtYourName->setText(handleName);
            wizard.cmdNext->click();
            if (wizard.page() == 2) {
                wizard.txtChatName->setText(roomName);
                wizard.txtChatPass->clear();
                wizard.cmdCreate->click();
            }
            if (basGlobal::localPlayerId == 0) {
                std::fputs("mirelune: the room could not be hosted\n", stderr);
                basGlobal::ResetSessionState();
                return 1;
            }
        }
        exitCode = QApplication::exec();
        basGlobal::ResetSessionState();
    }
    return exitCode;
}
