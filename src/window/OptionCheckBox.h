#pragma once

#include <QCheckBox>

namespace window {

// A check box of the options panel. Its state may be greyed (Qt::PartiallyChecked)
// when the settings file says so, but a click only ever makes it clear or ticked.
class OptionCheckBox : public QCheckBox {
    Q_OBJECT

public:
    using QCheckBox::QCheckBox;

protected:
    void nextCheckState() override;
};

} // namespace window
