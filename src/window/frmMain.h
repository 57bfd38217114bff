#pragma once

#include <QWidget>

class QCloseEvent;
class frmSet;

// The chat window. It opens once a room has been entered and owns the session from
// then on; closing it leaves the room and ends the program.
class frmMain : public QWidget {
    Q_OBJECT

public:
    explicit frmMain(QWidget* parent = nullptr);
    ~frmMain() override;

    // Prepares the window for the room named in the session state.
    void Form_Load();

    // Shows a chat window whenever `wizard` has entered a room. The window deletes
    // itself when closed.
    static void followWizard(frmSet& wizard);

protected:
    void closeEvent(QCloseEvent* event) override;
};
