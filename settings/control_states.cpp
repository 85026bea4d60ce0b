#include "settings/control_states.h"

#include <system_error>
#include <utility>

#include "files/file_io.h"
#include "files/user_folders.h"
#include "settings/ini_file.h"
#include "text/gbk_text.h"

namespace dt {
namespace {

// GBK bytes of the texts the value forms are made of.
constexpr std::string_view kTrue = "\xD5\xE6";                    // 真
constexpr std::string_view kFalse = "\xBC\xD9";                   // 假
constexpr std::string_view kDefaultSection = "\xC9\xE8\xD6\xC3";  // 设置

constexpr std::string_view kSettingsFileName = "Quorle.ini";

enum class Kind { None, Edit, Check, Combo, List, CheckList };

Kind KindOf(const SavableControl& control) {
  const std::string type = control.TypeName();
  if (type == ControlTypeName(ControlKind::EditBox)) return Kind::Edit;
  if (type == ControlTypeName(ControlKind::CheckBox) ||
      type == ControlTypeName(ControlKind::RadioButton)) {
    return Kind::Check;
  }
  if (type == ControlTypeName(ControlKind::ComboBox)) return Kind::Combo;
  if (type == ControlTypeName(ControlKind::ListBox)) return Kind::List;
  if (type == ControlTypeName(ControlKind::CheckListBox)) return Kind::CheckList;
  return Kind::None;
}

// A stored number: atof-style reading, then toward zero into the int range, so
// that "12abc" gives 12, "3.9" gives 3 and an absurd number saturates.
std::int32_t NumberPart(std::string_view text) {
  return TruncateToInt32(ToNumber(text));
}

// The skip list names controls each followed by "/"; a plain substring test.
bool Skipped(const SavableControl& control, std::string_view skipList) {
  if (skipList.empty()) return false;
  return FindText(skipList, control.Name() + "/") != -1;
}

void AppendEntry(std::string& value, std::string_view text, std::int32_t number) {
  value.append(text);
  value.push_back('&');
  value.append(ToText(number));
  value.push_back('^');
}

std::string ItemsValue(const SavableControl& control) {
  std::string value;
  const int count = control.ItemCount();
  for (int i = 0; i < count; ++i) AppendEntry(value, control.ItemText(i), control.ItemValue(i));
  return value;
}

std::string CheckItemsValue(const SavableControl& control) {
  std::string value;
  const int count = control.ItemCount();
  for (int i = 0; i < count; ++i) {
    value.append(control.ItemText(i));
    value.push_back('$');
    value.append(ToText(control.ItemValue(i)));
    value.push_back('&');
    value.append(control.ItemChecked(i) ? kTrue : kFalse);
    value.push_back('^');
  }
  return value;
}

// Replaces the items with one item per entry: text before the first "&",
// number after it.
void ApplyItems(SavableControl& control, const std::vector<std::string>& pieces,
                std::size_t first) {
  control.ClearItems();
  for (std::size_t i = first; i < pieces.size(); ++i)
    control.AddItem(TextBefore(pieces[i], "&"), NumberPart(TextAfter(pieces[i], "&")));
}

void ApplyCombo(SavableControl& control, const std::string& value) {
  const std::vector<std::string> pieces = SplitText(value, "^");
  if (pieces.empty()) return;
  // A drop-down list keeps its designed items; only the selection is stored.
  if (!control.IsDropDownList()) ApplyItems(control, pieces, 1);
  control.SetSelectedIndex(NumberPart(TextAfter(pieces.front(), "&")));
  control.SetText(TextBefore(pieces.front(), "&"));
}

void ApplyCheckItems(SavableControl& control, const std::string& value) {
  control.ClearItems();
  const std::vector<std::string> pieces = SplitText(value, "^");
  for (std::size_t k = 0; k < pieces.size(); ++k) {
    const std::string head = TextBefore(pieces[k], "&");
    control.AddItem(TextBefore(head, "$"), NumberPart(TextAfter(head, "$")));
    control.SetItemChecked(static_cast<int>(k), TextAfter(pieces[k], "&") == kTrue);
  }
}

// The documents folder + the settings file name, made when asked; empty when
// there is no documents folder (no home folder): nothing is then read or
// written, rather than a file at the root of the file system.
std::string SettingsPath(bool createFolder) {
  const std::string folder = UserFolderPath(UserFolder::Documents);
  if (folder.empty()) return {};
  // A folder that cannot be made shows up as a failed write.
  if (createFolder) (void)MakeFolders(FsPath(folder));
  return folder + std::string(kSettingsFileName);
}

std::string_view SectionOrDefault(std::string_view section) {
  return section.empty() ? kDefaultSection : section;
}

}  // namespace

std::string_view ControlTypeName(ControlKind kind) {
  switch (kind) {
    case ControlKind::EditBox:
      return "\xB1\xE0\xBC\xAD\xBF\xF2";  // 编辑框
    case ControlKind::CheckBox:
      return "\xD1\xA1\xD4\xF1\xBF\xF2";  // 选择框
    case ControlKind::RadioButton:
      return "\xB5\xA5\xD1\xA1\xBF\xF2";  // 单选框
    case ControlKind::ComboBox:
      return "\xD7\xE9\xBA\xCF\xBF\xF2";  // 组合框
    case ControlKind::ListBox:
      return "\xC1\xD0\xB1\xED\xBF\xF2";  // 列表框
    case ControlKind::CheckListBox:
      return "\xD1\xA1\xD4\xF1\xC1\xD0\xB1\xED\xBF\xF2";  // 选择列表框
  }
  return {};
}

std::string DefaultSettingsPath() {
  return SettingsPath(true);
}

std::string ControlStateValue(const SavableControl& control) {
  switch (KindOf(control)) {
    case Kind::Edit:
      return control.Text();
    case Kind::Check:
      return std::string(control.Checked() ? kTrue : kFalse);
    case Kind::Combo: {
      std::string value;
      AppendEntry(value, control.Text(), control.SelectedIndex());
      if (!control.IsDropDownList()) value += ItemsValue(control);
      return value;
    }
    case Kind::List:
      return ItemsValue(control);
    case Kind::CheckList:
      return CheckItemsValue(control);
    case Kind::None:
      break;
  }
  return {};
}

void ApplyControlState(SavableControl& control, const std::string& value) {
  if (value.empty()) return;  // nothing stored: the control keeps its state
  switch (KindOf(control)) {
    case Kind::Edit:
      control.SetText(value);
      break;
    case Kind::Check:
      control.SetChecked(value == kTrue);
      break;
    case Kind::Combo:
      ApplyCombo(control, value);
      break;
    case Kind::List:
      ApplyItems(control, SplitText(value, "^"), 0);
      break;
    case Kind::CheckList:
      ApplyCheckItems(control, value);
      break;
    case Kind::None:
      break;
  }
}

bool SaveControlStates(const std::vector<SavableControl*>& controls, const std::string& fileName,
                       std::string_view section, std::string_view skipList) {
  const std::string file = fileName.empty() ? SettingsPath(true) : fileName;
  if (file.empty()) return false;
  std::vector<std::pair<std::string, std::string>> entries;
  for (const SavableControl* control : controls) {
    if (control == nullptr || KindOf(*control) == Kind::None) continue;
    if (Skipped(*control, skipList)) continue;
    entries.emplace_back(control->Name(), ControlStateValue(*control));
  }
  // One replacement of the file holding every key, in form order: the same
  // bytes as one write per control, but a failure never leaves half the keys
  // new and half old.
  return WriteIniValues(file, SectionOrDefault(section), entries);
}

void RestoreControlStates(const std::vector<SavableControl*>& controls, const std::string& fileName,
                          std::string_view section, std::string_view skipList) {
  // Reading makes no folder: a missing one simply holds no settings yet.
  const std::string file = fileName.empty() ? SettingsPath(false) : fileName;
  if (file.empty()) return;
  const std::string_view settled = SectionOrDefault(section);
  const IniSnapshot snapshot(file);
  for (SavableControl* control : controls) {
    if (control == nullptr || KindOf(*control) == Kind::None) continue;
    if (Skipped(*control, skipList)) continue;
    ApplyControlState(*control, snapshot.Read(settled, control->Name(), ""));
  }
}

}  // namespace dt
