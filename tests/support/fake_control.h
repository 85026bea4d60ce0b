// A stand-in for any control of a window, for tests of the control-state
// walk. It behaves as the window layer must (see SavableControl) and aborts on
// an item index outside its list, so a walk that asks for one cannot pass.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "settings/control_states.h"

namespace dt::testing {

struct Item {
  std::string text;
  std::int32_t value = 0;
  bool checked = false;
  bool operator==(const Item&) const = default;
};

// Everything a control shows, for comparisons.
struct State {
  std::string text;
  bool checked = false;
  int selected = -1;
  std::vector<Item> items;
  bool operator==(const State&) const = default;
};

inline void PrintTo(const State& state, std::ostream* os) {
  *os << "{text \"" << state.text << "\", checked " << state.checked << ", selected "
      << state.selected << ", items [";
  for (const Item& item : state.items)
    *os << " \"" << item.text << "\":" << item.value << (item.checked ? "+" : "");
  *os << " ]}";
}

// One control of any kind, behaving as a window layer must: a combo box keeps
// its selection within its list, a drop-down list shows its selected item, an
// editable combo shows the text set last. Every call other than Name and
// TypeName is counted, so passing a control over can be checked.
class FakeControl : public SavableControl {
 public:
  FakeControl(std::string name, std::string type)
      : name_(std::move(name)), type_(std::move(type)) {}

  std::string Name() const override { return name_; }
  std::string TypeName() const override { return type_; }

  std::string Text() const override {
    ++calls_;
    if (dropDownList_) return state_.selected >= 0 ? state_.items[state_.selected].text : "";
    return state_.text;
  }
  void SetText(const std::string& text) override {
    ++calls_;
    if (!dropDownList_) state_.text = text;
  }
  bool Checked() const override { return ++calls_, state_.checked; }
  void SetChecked(bool checked) override { ++calls_, state_.checked = checked; }
  bool IsDropDownList() const override { return ++calls_, dropDownList_; }
  int SelectedIndex() const override { return ++calls_, state_.selected; }
  void SetSelectedIndex(int index) override {
    ++calls_;
    const int count = static_cast<int>(state_.items.size());
    if (index >= count) index = count - 1;
    if (index < -1) index = -1;
    state_.selected = index;
    if (index >= 0) state_.text = state_.items[index].text;
  }
  int ItemCount() const override { return ++calls_, static_cast<int>(state_.items.size()); }
  std::string ItemText(int i) const override { return ++calls_, At(i).text; }
  std::int32_t ItemValue(int i) const override { return ++calls_, At(i).value; }
  void ClearItems() override {
    ++calls_;
    state_.items.clear();
    state_.selected = -1;
  }
  void AddItem(const std::string& text, std::int32_t value) override {
    ++calls_;
    state_.items.push_back({text, value, false});
  }
  bool ItemChecked(int i) const override { return ++calls_, At(i).checked; }
  void SetItemChecked(int i, bool checked) override { ++calls_, At(i).checked = checked; }

  // The state as the user sees it (a drop-down list's text is its item's).
  State Shown() const {
    State shown = state_;
    if (dropDownList_) shown.text = shown.selected >= 0 ? shown.items[shown.selected].text : "";
    return shown;
  }
  State& Design() { return state_; }
  void MakeDropDownList() { dropDownList_ = true; }
  int Calls() const { return calls_; }

 private:
  Item& At(int i) {
    if (i < 0 || i >= static_cast<int>(state_.items.size())) {
      // The walk asked for an item that does not exist: a fault in it.
      std::fprintf(stderr, "%s: item index %d out of range\n", name_.c_str(), i);
      std::abort();
    }
    return state_.items[i];
  }
  const Item& At(int i) const { return const_cast<FakeControl*>(this)->At(i); }

  std::string name_;
  std::string type_;
  State state_;
  bool dropDownList_ = false;
  mutable int calls_ = 0;
};

}  // namespace dt::testing
