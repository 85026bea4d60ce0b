#include "settings/control_states.h"

#include <gtest/gtest.h>

#include <climits>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

#include "tests/support/fake_control.h"
#include "tests/support/temp_folder.h"

namespace dt {
namespace {

namespace fs = std::filesystem;
using testing::FakeControl;
using testing::Item;
using testing::ReadBytes;
using testing::State;
using testing::TempFolder;
using testing::WriteBytes;

// GBK bytes. Adjacent literals keep a following ASCII digit out of the escape.
#define GBK_TRUE "\xD5\xE6"                                       // 真
#define GBK_FALSE "\xBC\xD9"                                      // 假
#define GBK_EDIT "\xB1\xE0\xBC\xAD\xBF\xF2"                       // 编辑框
#define GBK_CHECK "\xD1\xA1\xD4\xF1\xBF\xF2"                      // 选择框
#define GBK_RADIO "\xB5\xA5\xD1\xA1\xBF\xF2"                      // 单选框
#define GBK_COMBO "\xD7\xE9\xBA\xCF\xBF\xF2"                      // 组合框
#define GBK_LIST "\xC1\xD0\xB1\xED\xBF\xF2"                       // 列表框
#define GBK_CHECKLIST "\xD1\xA1\xD4\xF1\xC1\xD0\xB1\xED\xBF\xF2"  // 选择列表框
#define GBK_BUTTON "\xB0\xB4\xC5\xA5"                             // 按钮
#define GBK_LABEL "\xB1\xEA\xC7\xA9"                              // 标签
#define GBK_GROUP "\xB7\xD6\xD7\xE9\xBF\xF2"                      // 分组框
#define GBK_REPORT "\xB3\xAC\xBC\xB6" GBK_LIST                    // 超级列表框
#define GBK_HINT "\xCC\xE1\xCA\xBE"                               // 提示
#define GBK_ALL_CATEGORIES "\xCB\xF9\xD3\xD0\xC0\xE0\xB1\xF0"     // 所有类别

const std::string kStatusBox = GBK_EDIT GBK_HINT;  // 编辑框提示
const std::string kMainSkipList = kStatusBox + "/";

// A window's controls in form order.
class FakeForm {
 public:
  FakeControl& Add(const std::string& name, const std::string& type) {
    controls_.push_back(std::make_unique<FakeControl>(name, type));
    return *controls_.back();
  }
  FakeControl& Edit(const std::string& name, const std::string& text) {
    FakeControl& c = Add(name, GBK_EDIT);
    c.Design().text = text;
    return c;
  }
  FakeControl& Check(const std::string& name, bool checked, const std::string& type = GBK_CHECK) {
    FakeControl& c = Add(name, type);
    c.Design().checked = checked;
    return c;
  }
  FakeControl& Combo(const std::string& name, const std::string& text, std::vector<Item> items,
                     int selected) {
    FakeControl& c = Add(name, GBK_COMBO);
    c.Design() = {text, false, selected, std::move(items)};
    return c;
  }
  FakeControl& DropDown(const std::string& name, std::vector<Item> items, int selected) {
    FakeControl& c = Combo(name, "", std::move(items), selected);
    c.MakeDropDownList();
    return c;
  }
  FakeControl& List(const std::string& name, std::vector<Item> items,
                    const std::string& type = GBK_LIST) {
    FakeControl& c = Add(name, type);
    c.Design().items = std::move(items);
    return c;
  }

  std::vector<SavableControl*> Controls() const {
    std::vector<SavableControl*> all;
    for (const auto& c : controls_) all.push_back(c.get());
    return all;
  }
  FakeControl& operator[](const std::string& name) const {
    for (const auto& c : controls_)
      if (c->Name() == name) return *c;
    ADD_FAILURE() << "no control " << name;
    return *controls_.front();
  }
  const std::vector<std::unique_ptr<FakeControl>>& All() const { return controls_; }

 private:
  std::vector<std::unique_ptr<FakeControl>> controls_;
};

// The main window's form in its own order, in its designed state, with the
// status box holding a few status lines.
std::unique_ptr<FakeForm> MainWindowForm() {
  auto form = std::make_unique<FakeForm>();
  FakeForm& f = *form;
  f.Add(GBK_BUTTON
        "\xD7\xA2\xB2\xE1"
        "1",
        GBK_BUTTON);                                 // 按钮注册1
  f.Add(GBK_BUTTON "\xB5\xBC\xB3\xF6", GBK_BUTTON);  // 按钮导出
  f.Check(GBK_CHECK "5", false);
  f.Check(GBK_CHECK "4", false);
  f.Check(GBK_CHECK "3", false);
  f.Check(GBK_CHECK "2", false);
  f.Check(GBK_CHECK "1", true);
  f.Add(GBK_LABEL "3", GBK_LABEL);
  f.Check(GBK_CHECK "0\xB1\xA6\xB1\xB4", false);                 // 选择框0宝贝
  f.Check(GBK_CHECK "0\xD0\xC5\xD3\xC3", false);                 // 选择框0信用
  f.Edit(kStatusBox, "\r\n12:00:01\xA3\xBA\xB9\xFD\xC2\xCB 5");  // a status line
  f.Edit(GBK_EDIT
         "\xB1\xE0\xBA\xC5"
         "2",
         "645090000");  // 编辑框编号2
  f.Add(GBK_GROUP "2", GBK_GROUP);
  f.Add(GBK_BUTTON
        "\xBF\xAA\xCA\xBC"
        "1",
        GBK_BUTTON);  // 按钮开始1
  f.Edit(GBK_EDIT
         "\xB1\xE0\xBA\xC5"
         "1",
         "67808220");  // 编辑框编号1
  f.Add(GBK_LABEL "4", GBK_LABEL);
  f.Add(GBK_BUTTON "\xBF\xAA\xCA\xBC", GBK_BUTTON);  // 按钮开始
  f.Add(GBK_REPORT, GBK_REPORT);
  f.Add(GBK_GROUP "1", GBK_GROUP);
  f.Check(GBK_CHECK "\xB1\xA6\xB1\xB4\xC3\xFB", true);                     // 选择框宝贝名
  f.Check(GBK_CHECK "\xD5\xC6\xB9\xF1\xC3\xFB", true);                     // 选择框掌柜名
  f.Check(GBK_CHECK "\xB5\xEA\xC6\xCC\xC3\xFB", true);                     // 选择框店铺名
  f.DropDown(GBK_COMBO "\xC0\xE0\xB1\xF0", {{GBK_ALL_CATEGORIES, 0}}, 0);  // 组合框类别
  f.Add(GBK_LABEL "2", GBK_LABEL);
  f.Edit(GBK_EDIT "\xB9\xD8\xBC\xFC\xD7\xD6", "");  // 编辑框关键字
  f.Add(GBK_LABEL "1", GBK_LABEL);
  return form;
}

// What the main window's form leaves in the settings file when only 零信用 was
// ticked: GBK bytes, CR LF lines, kept as a file to be read as it is.
const std::string kMainWindowFile = ReadBytes(DT_TEST_DATA "/main-window-settings.ini");

bool IsSavableType(const std::string& type) {
  for (const char* savable : {GBK_EDIT, GBK_CHECK, GBK_RADIO, GBK_COMBO, GBK_LIST, GBK_CHECKLIST})
    if (type == savable) return true;
  return false;
}

class ControlStatesTest : public ::testing::Test {
 protected:
  TempFolder folder_;
  std::string file_ = folder_.File("Quorle.ini");
};

TEST_F(ControlStatesTest, MainWindowWritesTheKnownFileByteForByte) {
  auto form = MainWindowForm();
  (*form)[GBK_CHECK "0\xD0\xC5\xD3\xC3"].SetChecked(true);  // the user ticks 零信用
  ASSERT_TRUE(SaveControlStates(form->Controls(), file_, "Dovetrail", kMainSkipList));
  EXPECT_EQ(ReadBytes(file_), kMainWindowFile);
  for (const auto& control : form->All()) {
    if (!IsSavableType(control->TypeName())) {
      EXPECT_EQ(control->Calls(), 0) << control->Name();
    }
  }
}

TEST_F(ControlStatesTest, MainWindowComesBackAsItWasLeft) {
  WriteBytes(file_, kMainWindowFile);
  auto form = MainWindowForm();
  FakeForm& f = *form;
  // A different design, so every restored state shows.
  f[GBK_CHECK "1"].Design().checked = false;
  f[GBK_CHECK "3"].Design().checked = true;
  f[GBK_CHECK "0\xD0\xC5\xD3\xC3"].Design().checked = false;
  f[GBK_EDIT
    "\xB1\xE0\xBA\xC5"
    "2"]
      .Design()
      .text = "1";
  f[GBK_EDIT "\xB9\xD8\xBC\xFC\xD7\xD6"].Design().text = "kept";
  f[GBK_COMBO "\xC0\xE0\xB1\xF0"].Design().selected = -1;
  const State statusBox = f[kStatusBox].Shown();

  RestoreControlStates(f.Controls(), file_, "Dovetrail", kMainSkipList);

  EXPECT_TRUE(f[GBK_CHECK "1"].Shown().checked);
  EXPECT_FALSE(f[GBK_CHECK "3"].Shown().checked);
  EXPECT_TRUE(f[GBK_CHECK "0\xD0\xC5\xD3\xC3"].Shown().checked);
  EXPECT_EQ(f[GBK_EDIT "\xB1\xE0\xBA\xC5"
                       "2"]
                .Shown()
                .text,
            "645090000");
  EXPECT_EQ(f[GBK_EDIT "\xB1\xE0\xBA\xC5"
                       "1"]
                .Shown()
                .text,
            "67808220");
  // Stored empty: the keyword box keeps what it has.
  EXPECT_EQ(f[GBK_EDIT "\xB9\xD8\xBC\xFC\xD7\xD6"].Shown().text, "kept");
  const State category{GBK_ALL_CATEGORIES, false, 0, {{GBK_ALL_CATEGORIES, 0}}};
  EXPECT_EQ(f[GBK_COMBO "\xC0\xE0\xB1\xF0"].Shown(), category);
  EXPECT_EQ(f[kStatusBox].Shown(), statusBox);
  for (const auto& control : f.All()) {
    if (!IsSavableType(control->TypeName())) {
      EXPECT_EQ(control->Calls(), 0) << control->Name();
    }
  }
  // Saving what was restored, with the keyword box emptied again, gives the
  // same file again.
  f[GBK_EDIT "\xB9\xD8\xBC\xFC\xD7\xD6"].SetText("");
  ASSERT_TRUE(SaveControlStates(f.Controls(), file_, "Dovetrail", kMainSkipList));
  EXPECT_EQ(ReadBytes(file_), kMainWindowFile);
}

// The value form of every kind, and that applying it to a control of the same
// kind in another state brings that control to the saved state.
struct ValueCase {
  const char* what;
  std::string type;
  bool dropDownList;
  State state;
  std::string value;
};

std::vector<ValueCase> ValueCases() {
  const std::vector<Item> xy = {{"x", 1}, {"y", 2}};
  return {
      {"editable combo", GBK_COMBO, false, {"abc", false, -1, xy}, "abc&-1^x&1^y&2^"},
      {"list box", GBK_LIST, false, {"", false, -1, xy}, "x&1^y&2^"},
      {"check-list box",
       GBK_CHECKLIST,
       false,
       {"", false, -1, {{"x", 1, true}, {"y", 2, false}}},
       "x$1&" GBK_TRUE "^y$2&" GBK_FALSE "^"},
      {"edit box with separators", GBK_EDIT, false, {"a&b^c$d", false, -1, {}}, "a&b^c$d"},
      {"checked box", GBK_CHECK, false, {"", true, -1, {}}, GBK_TRUE},
      {"cleared box", GBK_CHECK, false, {"", false, -1, {}}, GBK_FALSE},
      {"checked radio", GBK_RADIO, false, {"", true, -1, {}}, GBK_TRUE},
      {"cleared radio", GBK_RADIO, false, {"", false, -1, {}}, GBK_FALSE},
      {"editable combo, item selected", GBK_COMBO, false, {"y", false, 1, xy}, "y&1^x&1^y&2^"},
      {"editable combo, own text", GBK_COMBO, false, {"typed", false, 0, xy}, "typed&0^x&1^y&2^"},
      {"editable combo without items", GBK_COMBO, false, {"t", false, -1, {}}, "t&-1^"},
      {"drop-down list", GBK_COMBO, true, {"b", false, 1, {{"a", 5}, {"b", 6}}}, "b&1^"},
      {"extreme item values",
       GBK_LIST,
       false,
       {"", false, -1, {{"min", INT_MIN}, {"max", INT_MAX}, {"", 0}, {"\xD6\xD0\x85\x5E", -7}}},
       "min&-2147483648^max&2147483647^&0^\xD6\xD0\x85\x5E&-7^"},
  };
}

TEST(ControlStateValue, EachKindHasItsForm) {
  for (const ValueCase& c : ValueCases()) {
    FakeControl control("c", c.type);
    control.Design() = c.state;
    if (c.dropDownList) control.MakeDropDownList();
    EXPECT_EQ(ControlStateValue(control), c.value) << c.what;
  }
}

TEST(ControlStateValue, AppliedToAnotherStateRestoresTheSavedOne) {
  for (const ValueCase& c : ValueCases()) {
    FakeControl control("c", c.type);
    if (c.dropDownList) {
      // A drop-down list keeps its designed items; only the selection moves.
      control.Design() = {"", false, 0, c.state.items};
      control.MakeDropDownList();
    } else if (c.type == GBK_EDIT) {
      control.Design() = {"old", false, -1, {}};
    } else if (c.type == GBK_CHECK || c.type == GBK_RADIO) {
      control.Design() = {"", !c.state.checked, -1, {}};
    } else if (c.type == GBK_COMBO) {
      control.Design() = {"old", false, 0, {{"old", 9}}};
    } else {
      control.Design() = {"", false, -1, {{"old", 9, true}}};
    }
    ApplyControlState(control, c.value);
    EXPECT_EQ(control.Shown(), c.state) << c.what;
    EXPECT_EQ(ControlStateValue(control), c.value) << c.what;
  }
}

TEST(ControlStateValue, EmptyListsGiveTheEmptyValue) {
  FakeControl list("l", GBK_LIST);
  FakeControl checkList("c", GBK_CHECKLIST);
  EXPECT_EQ(ControlStateValue(list), "");
  EXPECT_EQ(ControlStateValue(checkList), "");
}

TEST(ControlStateValue, OtherKindsHaveNoValueAndIgnoreOne) {
  // Names that merely contain or resemble a savable kind are other kinds too.
  for (const std::string& type :
       {std::string(GBK_BUTTON), std::string(GBK_REPORT), std::string(GBK_GROUP),
        std::string(GBK_EDIT " "), std::string("\xB1\xE0\xBC\xAD"), std::string(""),
        std::string("edit")}) {
    FakeControl control("c", type);
    EXPECT_EQ(ControlStateValue(control), "");
    ApplyControlState(control, "x&1^");
    EXPECT_EQ(control.Calls(), 0) << type;
  }
}

// Taking a stored value apart: the control's state after applying the value to
// a control designed as given.
struct RestoreCase {
  const char* what;
  std::string value;
  State after;
};

void RunRestoreCases(const char* type, const State& design, bool dropDownList,
                     const std::vector<RestoreCase>& cases) {
  for (const RestoreCase& c : cases) {
    FakeControl control("c", type);
    control.Design() = design;
    if (dropDownList) control.MakeDropDownList();
    ApplyControlState(control, c.value);
    EXPECT_EQ(control.Shown(), c.after) << c.what << ": " << c.value;
  }
}

const State kDesignedList{"", false, -1, {{"designed", 3, true}}};

TEST(ApplyControlState, ListBoxEntries) {
  RunRestoreCases(
      GBK_LIST, kDesignedList, false,
      {
          {"adjacent separators", "x&1^^y&2^", {"", false, -1, {{"x", 1}, {"", 0}, {"y", 2}}}},
          {"entry without &", "x^", {"", false, -1, {{"", 0}}}},
          {"separator alone", "^", {"", false, -1, {{"", 0}}}},
          {"no final separator", "x&1^y&2", {"", false, -1, {{"x", 1}, {"y", 2}}}},
          {"second & belongs to the number", "a&b&3^", {"", false, -1, {{"a", 0}}}},
          {"& inside a text splits it", "a&b&1^", {"", false, -1, {{"a", 0}}}},
          {"numbers are read like atof",
           "a&12abc^b&3.9^c&-3.9^d& 7^e&^f&1e3^g&+5^",
           {"",
            false,
            -1,
            {{"a", 12}, {"b", 3}, {"c", -3}, {"d", 7}, {"e", 0}, {"f", 1000}, {"g", 5}}}},
          {"full-width digits and sign",
           "a&\xA3\xB1\xA3\xB2^b&\xA3\xAD\xA3\xB3^",  // １２, －３
           {"", false, -1, {{"a", 12}, {"b", -3}}}},
          {"out-of-range numbers saturate",
           "a&99999999999^b&-1e300^c&2147483648^",
           {"", false, -1, {{"a", INT_MAX}, {"b", INT_MIN}, {"c", INT_MAX}}}},
          {"trail byte 0x5E is no separator",
           "\x85\x5E\xD6\xD0&1^\x81\x5E^",  // 區中, 乛
           {"", false, -1, {{"\x85\x5E\xD6\xD0", 1}, {"", 0}}}},
      });
}

TEST(ApplyControlState, CheckListBoxEntries) {
  RunRestoreCases(GBK_CHECKLIST, kDesignedList, false,
                  {
                      {"entry without $", "x&" GBK_TRUE "^", {"", false, -1, {{"", 0, true}}}},
                      {"entry without &", "x$1^", {"", false, -1, {{"", 0, false}}}},
                      {"empty text", "$5&" GBK_TRUE "^", {"", false, -1, {{"", 5, true}}}},
                      {"mark must be exactly true",
                       "a$1&" GBK_TRUE " ^b$2&^c$3&1^d$4&" GBK_TRUE GBK_TRUE "^e$5&" GBK_FALSE "^",
                       {"", false, -1, {{"a", 1}, {"b", 2}, {"c", 3}, {"d", 4}, {"e", 5}}}},
                      {"adjacent separators",
                       "a$1&" GBK_TRUE "^^b$2&" GBK_TRUE "^",
                       {"", false, -1, {{"a", 1, true}, {"", 0, false}, {"b", 2, true}}}},
                      {"second $ belongs to the number",
                       "a$b$7&" GBK_TRUE "^",
                       {"", false, -1, {{"a", 0, true}}}},
                      {"trail byte 0x5E is no separator",
                       "\x85\x5E$1&" GBK_TRUE "^",
                       {"", false, -1, {{"\x85\x5E", 1, true}}}},
                  });
}

TEST(ApplyControlState, EditableComboBox) {
  const State design{"designed", false, 0, {{"designed", 3}}};
  RunRestoreCases(GBK_COMBO, design, false,
                  {
                      {"head ending after &", "abc&^x&1^", {"abc", false, 0, {{"x", 1}}}},
                      {"head starting with &", "&1^x&1^y&2^", {"", false, 1, {{"x", 1}, {"y", 2}}}},
                      {"head only clears the items", "abc&0^", {"abc", false, -1, {}}},
                      {"selection past the end selects the last",
                       "t&7^x&1^y&2^",
                       {"t", false, 1, {{"x", 1}, {"y", 2}}}},
                      {"selection below -1 is none", "t&-5^x&1^", {"t", false, -1, {{"x", 1}}}},
                      {"head without &", "abc^x&1^", {"", false, 0, {{"x", 1}}}},
                      {"empty head", "^x&1^", {"", false, 0, {{"x", 1}}}},
                      {"items with odd entries",
                       "t&-1^^y^z&2.5^",
                       {"t", false, -1, {{"", 0}, {"", 0}, {"z", 2}}}},
                      {"trail byte 0x5E in the text",
                       "\x85\x5E&-1^\x85\x5E&4^",
                       {"\x85\x5E", false, -1, {{"\x85\x5E", 4}}}},
                  });
}

TEST(ApplyControlState, DropDownListKeepsItsItems) {
  const std::vector<Item> items = {{GBK_ALL_CATEGORIES, 0}, {"a", 1}, {"b", 2}};
  const State design{"", false, 0, items};
  RunRestoreCases(GBK_COMBO, design, true,
                  {
                      {"items in the value are ignored", "zzz&2^q&9^", {"b", false, 2, items}},
                      {"past the end selects the last", "&9^", {"b", false, 2, items}},
                      {"no selection", "x&-1^", {"", false, -1, items}},
                      {"head ending after &", "x&^", {GBK_ALL_CATEGORIES, false, 0, items}},
                  });
}

TEST(ApplyControlState, CheckBoxAndRadioButton) {
  for (const char* type : {GBK_CHECK, GBK_RADIO}) {
    for (const bool designed : {false, true}) {
      const State design{"", designed, -1, {}};
      RunRestoreCases(type, design, false,
                      {
                          {"true checks", GBK_TRUE, {"", true, -1, {}}},
                          {"false clears", GBK_FALSE, {"", false, -1, {}}},
                          {"anything else clears", "1", {"", false, -1, {}}},
                          {"true with a blank clears", GBK_TRUE " ", {"", false, -1, {}}},
                          {"true twice clears", GBK_TRUE GBK_TRUE, {"", false, -1, {}}},
                      });
    }
  }
}

TEST(ApplyControlState, EmptyValueLeavesEveryKindAlone) {
  for (const char* type : {GBK_EDIT, GBK_CHECK, GBK_RADIO, GBK_COMBO, GBK_LIST, GBK_CHECKLIST}) {
    FakeControl control("c", type);
    control.Design() = {"designed", true, 0, {{"designed", 3, true}}};
    const State before = control.Shown();
    ApplyControlState(control, "");
    EXPECT_EQ(control.Shown(), before) << type;
    EXPECT_EQ(control.Calls(), 0) << type;
  }
}

TEST_F(ControlStatesTest, AssortedValuesOfEveryKindRoundTripThroughTheFile) {
  FakeForm saved;
  saved.Combo("combo", "abc", {{"x", 1}, {"y", 2}}, -1);
  saved.List("list", {{"x", 1}, {"y", 2}});
  saved.List("checks", {{"x", 1, true}, {"y", 2, false}}, GBK_CHECKLIST);
  ASSERT_TRUE(SaveControlStates(saved.Controls(), file_, "Dovetrail", ""));
  EXPECT_EQ(ReadBytes(file_),
            "[Dovetrail]\r\n"
            "combo=abc&-1^x&1^y&2^\r\n"
            "list=x&1^y&2^\r\n"
            "checks=x$1&" GBK_TRUE "^y$2&" GBK_FALSE "^\r\n");

  FakeForm restored;
  restored.Combo("combo", "", {{"old", 0}}, 0);
  restored.List("list", {});
  restored.List("checks", {{"old", 0, true}}, GBK_CHECKLIST);
  RestoreControlStates(restored.Controls(), file_, "Dovetrail", "");
  for (const char* name : {"combo", "list", "checks"})
    EXPECT_EQ(restored[name].Shown(), saved[name].Shown()) << name;
}

TEST_F(ControlStatesTest, LongValuesComeBackCutAtTheReadLimit) {
  const std::string edit(10240, 'a');
  // Seven-byte entries: the cut falls inside the last entry's number.
  std::string list;
  while (list.size() < 10240) list += "x&1234^";
  std::string checks;
  while (checks.size() < 10240) checks += "x$1&" GBK_TRUE "^";

  WriteBytes(file_, "[s]\r\nedit=" + edit + "\r\nlist=" + list + "\r\nchecks=" + checks + "\r\n");
  FakeForm form;
  form.Edit("edit", "");
  form.List("list", {});
  form.List("checks", {}, GBK_CHECKLIST);
  RestoreControlStates(form.Controls(), file_, "s", "");

  EXPECT_EQ(form["edit"].Shown().text, std::string(10239, 'a'));
  // 10239 = 1462 * 7 + 5: the last list entry reads "x&123", the last
  // check-list entry "x$1&" and the lead byte of its mark.
  const std::vector<Item>& items = form["list"].Shown().items;
  ASSERT_EQ(items.size(), 1463u);
  EXPECT_EQ(items.front(), (Item{"x", 1234}));
  EXPECT_EQ(items.back(), (Item{"x", 123}));
  const std::vector<Item>& marks = form["checks"].Shown().items;
  ASSERT_EQ(marks.size(), 1463u);
  EXPECT_EQ(marks.front(), (Item{"x", 1, true}));
  EXPECT_EQ(marks.back(), (Item{"x", 1, false}));
}

TEST_F(ControlStatesTest, SkipListIsAPlainCaseSensitiveSubstringTest) {
  struct Case {
    const char* what;
    std::string skipList;
    std::string name;
    bool skipped;
  };
  const std::vector<Case> cases = {
      {"listed name", kMainSkipList, kStatusBox, true},
      {"tail of a listed name", kMainSkipList, GBK_HINT, true},
      {"longer tail", kMainSkipList, "\xBF\xF2" GBK_HINT, true},  // 框提示
      {"head of a listed name", kMainSkipList, GBK_EDIT, false},
      {"name needs its slash", kStatusBox, kStatusBox, false},
      {"empty skip list", "", kStatusBox, false},
      {"second of several", "a/b/", "b", true},
      {"letter case counts", "abc/", "ABC", false},
      {"tail of an ASCII name", "abc/", "bc", true},
      {"match must start on a character", "\x81\x41/", "A", false},  // 丂/: 41 is a trail byte
  };
  for (const Case& c : cases) {
    TempFolder folder;
    const std::string file = folder.File("s.ini");
    WriteBytes(file, "[s]\r\n" + c.name + "=stored\r\n");
    FakeForm form;
    form.Edit(c.name, "mine");
    ASSERT_TRUE(SaveControlStates(form.Controls(), file, "s", c.skipList));
    EXPECT_EQ(ReadBytes(file), "[s]\r\n" + c.name + (c.skipped ? "=stored" : "=mine") + "\r\n")
        << c.what;
    WriteBytes(file, "[s]\r\n" + c.name + "=stored\r\n");
    RestoreControlStates(form.Controls(), file, "s", c.skipList);
    EXPECT_EQ(form[c.name].Shown().text, c.skipped ? "mine" : "stored") << c.what;
  }
}

TEST_F(ControlStatesTest, OnlyTheOwnSectionAndTheOwnKeysChange) {
  const std::string before =
      "; written by hand\r\n"
      "[Other]\r\n"
      "box=" GBK_TRUE
      "\r\n"
      "edit=other\r\n"
      "\r\n"
      "[Dovetrail]\r\n"
      "gone=old control\r\n"
      "edit=old\r\n";
  WriteBytes(file_, before);
  FakeForm form;
  form.Check("box", false);
  form.Edit("edit", "new");
  form.Edit("fresh", "");
  RestoreControlStates(form.Controls(), file_, "Dovetrail", "");
  EXPECT_FALSE(form["box"].Shown().checked);  // stored under another section only
  EXPECT_EQ(form["edit"].Shown().text, "old");
  form["edit"].SetText("new");
  ASSERT_TRUE(SaveControlStates(form.Controls(), file_, "Dovetrail", ""));
  EXPECT_EQ(ReadBytes(file_),
            "; written by hand\r\n"
            "[Other]\r\n"
            "box=" GBK_TRUE
            "\r\n"
            "edit=other\r\n"
            "\r\n"
            "[Dovetrail]\r\n"
            "gone=old control\r\n"
            "edit=new\r\n"
            "box=" GBK_FALSE
            "\r\n"
            "fresh=\r\n");
}

TEST_F(ControlStatesTest, EmptySectionIsTheDefaultSection) {
  FakeForm form;
  form.Edit("edit", "v");
  ASSERT_TRUE(SaveControlStates(form.Controls(), file_, "", ""));
  EXPECT_EQ(ReadBytes(file_), "[\xC9\xE8\xD6\xC3]\r\nedit=v\r\n");  // 设置
  form["edit"].SetText("changed");
  RestoreControlStates(form.Controls(), file_, "", "");
  EXPECT_EQ(form["edit"].Shown().text, "v");
}

TEST_F(ControlStatesTest, EmptiedControlsAreStoredEmptyAndKeepTheirDesignAtRestore) {
  FakeForm form;
  form.Edit("from", "");
  form.List("list", {});
  form.List("checks", {}, GBK_CHECKLIST);
  ASSERT_TRUE(SaveControlStates(form.Controls(), file_, "s", ""));
  EXPECT_EQ(ReadBytes(file_), "[s]\r\nfrom=\r\nlist=\r\nchecks=\r\n");

  FakeForm next;
  next.Edit("from", "67808220");
  next.List("list", {{"designed", 1}});
  next.List("checks", {{"designed", 2, true}}, GBK_CHECKLIST);
  RestoreControlStates(next.Controls(), file_, "s", "");
  EXPECT_EQ(next["from"].Shown().text, "67808220");
  EXPECT_EQ(next["list"].Shown().items, (std::vector<Item>{{"designed", 1}}));
  EXPECT_EQ(next["checks"].Shown().items, (std::vector<Item>{{"designed", 2, true}}));
}

TEST_F(ControlStatesTest, NoFileChangesNothingAndMakesNothing) {
  auto form = MainWindowForm();
  std::vector<State> before;
  for (const auto& control : form->All()) before.push_back(control->Shown());
  RestoreControlStates(form->Controls(), file_, "Dovetrail", kMainSkipList);
  for (std::size_t i = 0; i < before.size(); ++i)
    EXPECT_EQ(form->All()[i]->Shown(), before[i]) << form->All()[i]->Name();
  EXPECT_FALSE(fs::exists(file_));
}

TEST_F(ControlStatesTest, FailedWriteIsIgnored) {
  FakeForm form;
  form.Edit("edit", "v");
  const std::string unreachable = folder_.File("missing/Quorle.ini");
  EXPECT_FALSE(SaveControlStates(form.Controls(), unreachable, "s", ""));
  EXPECT_FALSE(fs::exists(unreachable));
  EXPECT_EQ(form["edit"].Shown().text, "v");
}

// The default path under a temporary HOME, never the user's own documents.
class DefaultPathTest : public ::testing::Test {
 protected:
  testing::TemporaryHome temporaryHome_;
  std::string home_ = temporaryHome_.Path();
  std::string documents_ = home_ + "/Documents";
};

TEST_F(DefaultPathTest, IsInTheDocumentsFolderWhichIsMadeWhenMissing) {
  ASSERT_FALSE(fs::exists(documents_));
  EXPECT_EQ(DefaultSettingsPath(), documents_ + "/Quorle.ini");
  EXPECT_TRUE(fs::is_directory(documents_));
  EXPECT_EQ(DefaultSettingsPath(), documents_ + "/Quorle.ini");  // and again, once made
}

TEST_F(DefaultPathTest, FollowsTheUsersFolderSettingsAndMakesNestedFolders) {
  fs::create_directories(home_ + "/.config");
  WriteBytes(home_ + "/.config/user-dirs.dirs", "XDG_DOCUMENTS_DIR=\"$HOME/a/b\"\n");
  EXPECT_EQ(DefaultSettingsPath(), home_ + "/a/b/Quorle.ini");
  EXPECT_TRUE(fs::is_directory(home_ + "/a/b"));
}

TEST_F(DefaultPathTest, EmptyFileNameSavesAndRestoresThere) {
  FakeForm form;
  form.Check("box", true);
  ASSERT_TRUE(SaveControlStates(form.Controls(), "", "Dovetrail", ""));
  EXPECT_EQ(ReadBytes(documents_ + "/Quorle.ini"), "[Dovetrail]\r\nbox=" GBK_TRUE "\r\n");
  form["box"].SetChecked(false);
  RestoreControlStates(form.Controls(), "", "Dovetrail", "");
  EXPECT_TRUE(form["box"].Shown().checked);
}

TEST_F(DefaultPathTest, WithoutAHomeNothingIsReadOrWritten) {
  WriteBytes("/Quorle.ini.probe", "");  // the root is writable here, so a fault would show
  fs::remove("/Quorle.ini.probe");
  testing::NoHome noHome;
  FakeForm form;
  form.Check("box", true);
  EXPECT_EQ(DefaultSettingsPath(), "");
  EXPECT_FALSE(SaveControlStates(form.Controls(), "", "Dovetrail", ""));
  RestoreControlStates(form.Controls(), "", "Dovetrail", "");
  EXPECT_TRUE(form["box"].Shown().checked);
  EXPECT_FALSE(fs::exists("/Quorle.ini"));
  EXPECT_FALSE(fs::exists("/Documents"));
}

TEST_F(DefaultPathTest, RestoringMakesNoFolder) {
  FakeForm form;
  form.Check("box", true);
  RestoreControlStates(form.Controls(), "", "Dovetrail", "");
  EXPECT_TRUE(form["box"].Shown().checked);
  EXPECT_FALSE(fs::exists(documents_));
}

}  // namespace
}  // namespace dt
