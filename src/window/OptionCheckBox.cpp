#include "window/OptionCheckBox.h"

namespace window {

void OptionCheckBox::nextCheckState() {
    // A greyed box becomes ticked: the click says the user wants the option.
    setCheckState(checkState() == Qt::Checked ? Qt::Unchecked : Qt::Checked);
}

} // namespace window
