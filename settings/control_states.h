// Saving and restoring the states of a window's input controls in an INI
// file, by control name and kind. The window layer adapts its widgets to
// SavableControl; this code knows nothing of any toolkit.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace dt {

// The kinds of control whose state is saved. A radio button is saved like a
// check box; every other kind of control is passed over.
enum class ControlKind { EditBox, CheckBox, RadioButton, ComboBox, ListBox, CheckListBox };

// The name (GBK) a kind goes by, as SavableControl::TypeName gives it: the
// settings file's keys were written by code that told kinds apart by these.
std::string_view ControlTypeName(ControlKind kind);

// One control of a window, in the window's form order. Texts are GBK bytes.
// Only the operations that fit the control's kind are ever called.
class SavableControl {
 public:
  virtual ~SavableControl() = default;

  virtual std::string Name() const = 0;  // the control's design-time name
  // "编辑框", "选择框", "单选框", "组合框", "列表框", "选择列表框", or any
  // other text for a kind that is not saved.
  virtual std::string TypeName() const = 0;

  // Edit box, and the text of a combo box.
  virtual std::string Text() const { return {}; }
  virtual void SetText(const std::string&) {}

  // Check box and radio button.
  virtual bool Checked() const { return false; }
  virtual void SetChecked(bool) {}

  // Combo box. A drop-down list shows its selected item: setting its text
  // changes nothing visible. The editable styles show the text set last.
  virtual bool IsDropDownList() const { return false; }  // not editable
  virtual int SelectedIndex() const { return -1; }
  // Clamped to the list: an index beyond it picks the final entry (nothing
  // in an empty list), anything below -1 acts as -1, and -1 clears the choice.
  virtual void SetSelectedIndex(int) {}

  // Combo box, list box and check-list box.
  virtual int ItemCount() const { return 0; }
  virtual std::string ItemText(int) const { return {}; }
  virtual std::int32_t ItemValue(int) const { return 0; }
  virtual void ClearItems() {}
  virtual void AddItem(const std::string& /*text*/, std::int32_t /*value*/) {}

  // Check-list box.
  virtual bool ItemChecked(int) const { return false; }
  virtual void SetItemChecked(int, bool) {}
};

// The documents folder + "Quorle.ini". The documents folder is created when
// it is missing, so the settings of a fresh account are kept. Without a
// documents folder (no home folder) the path is empty: there are no settings.
std::string DefaultSettingsPath();

// Writes one key per savable control (name = value form of its kind) into
// section (empty: "设置") of fileName (empty: DefaultSettingsPath()). A
// control whose name + "/" occurs in skipList is passed over. False when the
// file could not be written (it is then left as it was).
[[nodiscard]] bool SaveControlStates(const std::vector<SavableControl*>& controls,
                                     const std::string& fileName, std::string_view section,
                                     std::string_view skipList);

// Applies the stored values back; a missing or empty value leaves the control
// as it is. With an empty fileName the default path is read without making the
// documents folder.
void RestoreControlStates(const std::vector<SavableControl*>& controls, const std::string& fileName,
                          std::string_view section, std::string_view skipList);

// The value form of one control, and its application: the two halves of the
// operations above, for tests and callers with their own storage. Kinds that
// are not saved give the empty text and ignore values; an empty value is
// ignored by every kind.
std::string ControlStateValue(const SavableControl& control);
void ApplyControlState(SavableControl& control, const std::string& value);

}  // namespace dt
