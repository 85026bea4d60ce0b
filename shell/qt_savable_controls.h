// The window's widgets as the settings code sees them: one SavableControl per
// widget, in form order, with the kind names the settings file uses.
//
//   QLineEdit, QPlainTextEdit     "编辑框"
//   QCheckBox                     "选择框"
//   QRadioButton                  "单选框"
//   QComboBox                     "组合框" (a drop-down list when not editable;
//                                 item values are the items' int data)
//   QListWidget                   "列表框", or "选择列表框" when the widget has
//                                 the property "dtCheckList" set to true
//   anything else                 its class name, which no saved kind uses
#pragma once

#include <memory>
#include <vector>

#include "settings/control_states.h"

class QWidget;

namespace dt::shell {

// The widget's property that makes a list widget a check-list box.
inline constexpr const char* kCheckListProperty = "dtCheckList";

// An adapter for one widget; the widget must outlive it.
std::unique_ptr<SavableControl> SavableControlOf(QWidget* widget);

// Adapters for widgets given in form order.
std::vector<std::unique_ptr<SavableControl>> SavableControlsOf(
    const std::vector<QWidget*>& widgets);

// Adapters for every control of a window in its form order: for the main
// window the order of its form table; for any other widget its child
// controls in creation order, those inside container widgets (group boxes,
// plain frames) included, each container before what it holds.
std::vector<std::unique_ptr<SavableControl>> SavableControlsOf(QWidget* window);

// Plain pointers for SaveControlStates/RestoreControlStates.
std::vector<SavableControl*> Pointers(const std::vector<std::unique_ptr<SavableControl>>& controls);

}  // namespace dt::shell
