// Arbitrary stored values applied to every savable kind of control: nothing
// may crash or ask for an item outside the list (the fake control aborts), and
// a restored state saved again must restore to itself.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

#include "settings/control_states.h"
#include "tests/support/fake_control.h"

namespace {

using dt::testing::FakeControl;
using dt::testing::State;

struct Kind {
  std::string_view type;
  bool dropDownList;
};

using dt::ControlKind;
using dt::ControlTypeName;
const Kind kKinds[] = {
    {ControlTypeName(ControlKind::EditBox), false},
    {ControlTypeName(ControlKind::CheckBox), false},
    {ControlTypeName(ControlKind::RadioButton), false},
    {ControlTypeName(ControlKind::ComboBox), false},
    {ControlTypeName(ControlKind::ComboBox), true},
    {ControlTypeName(ControlKind::ListBox), false},
    {ControlTypeName(ControlKind::CheckListBox), false},
};

// A control as a form might design it: some items (ticked ones for a
// check-list box), one of them selected in a combo box (only a combo box
// stores its selection).
FakeControl Designed(const Kind& kind) {
  FakeControl control("c", std::string(kind.type));
  const bool checkList = kind.type == ControlTypeName(ControlKind::CheckListBox);
  const int selected = kind.type == ControlTypeName(ControlKind::ComboBox) ? 1 : -1;
  control.Design() = {"designed", true, selected, {{"a", 1, checkList}, {"b\x85\x5E", -2, false}}};
  if (kind.dropDownList) control.MakeDropDownList();
  return control;
}

[[noreturn]] void Fail(const char* what, const Kind& kind, const std::string& value) {
  std::fprintf(stderr, "%s (kind %.*s%s): value of %zu bytes\n", what,
               static_cast<int>(kind.type.size()), kind.type.data(),
               kind.dropDownList ? ", drop-down list" : "", value.size());
  std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string value(reinterpret_cast<const char*>(data), size);
  for (const Kind& kind : kKinds) {
    FakeControl control = Designed(kind);
    dt::ApplyControlState(control, value);
    const State shown = control.Shown();
    const bool combo = kind.type == ControlTypeName(ControlKind::ComboBox);
    if (combo && (shown.selected < -1 || shown.selected >= static_cast<int>(shown.items.size())))
      Fail("selection outside the list", kind, value);

    const std::string saved = dt::ControlStateValue(control);
    FakeControl again = Designed(kind);
    dt::ApplyControlState(again, saved);
    if (!(again.Shown() == shown)) Fail("saved state does not restore to itself", kind, value);
    if (dt::ControlStateValue(again) != saved) Fail("value form not stable", kind, value);
  }
  return 0;
}
