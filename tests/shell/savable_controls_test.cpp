// The widgets as savable controls: kind names, form order, and every kind's
// state carried from one window to another through the adapters alone.
#include "shell/qt_savable_controls.h"

#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <set>

#include "shell/main_window.h"
#include "shell_test_support.h"

namespace dt::shell {
namespace {

using testing::G;

// A small window with one widget of every kind, two radio buttons in a group.
struct TestForm {
  TestForm() {
    edit = Named(new QLineEdit(&window), "编辑框甲");
    group = Named(new QGroupBox(&window), "分组框");
    radio1 = Named(new QRadioButton(group), "单选框1");
    radio2 = Named(new QRadioButton(group), "单选框2");
    check = Named(new QCheckBox(group), "选择框");
    editable = Named(new QComboBox(&window), "组合框可编辑");
    editable->setEditable(true);
    dropDown = Named(new QComboBox(&window), "组合框列表");
    list = Named(new QListWidget(&window), "列表框");
    checkList = Named(new QListWidget(&window), "选择列表框");
    checkList->setProperty(kCheckListProperty, true);
    button = Named(new QPushButton(&window), "按钮");
    memo = Named(new QPlainTextEdit(&window), "编辑框多行");
  }
  template <typename T>
  static T* Named(T* widget, const char* name) {
    widget->setObjectName(QString::fromUtf8(name));
    return widget;
  }

  QWidget window;
  QLineEdit* edit;
  QGroupBox* group;
  QRadioButton* radio1;
  QRadioButton* radio2;
  QCheckBox* check;
  QComboBox* editable;
  QComboBox* dropDown;
  QListWidget* list;
  QListWidget* checkList;
  QPushButton* button;
  QPlainTextEdit* memo;
};

// What the settings code does with a stored state, through the interface.
void CopyState(const SavableControl& from, SavableControl& to) {
  const std::string type = from.TypeName();
  if (type == G("编辑框")) {
    to.SetText(from.Text());
  } else if (type == G("选择框") || type == G("单选框")) {
    to.SetChecked(from.Checked());
  } else if (type == G("组合框")) {
    if (!to.IsDropDownList()) {
      to.ClearItems();
      for (int i = 0; i < from.ItemCount(); ++i) to.AddItem(from.ItemText(i), from.ItemValue(i));
    }
    to.SetSelectedIndex(from.SelectedIndex());
    to.SetText(from.Text());
  } else if (type == G("列表框") || type == G("选择列表框")) {
    to.ClearItems();
    for (int i = 0; i < from.ItemCount(); ++i) {
      to.AddItem(from.ItemText(i), from.ItemValue(i));
      if (type == G("选择列表框")) to.SetItemChecked(i, from.ItemChecked(i));
    }
  }
}

class SavableControlsTest : public ::testing::Test, protected testing::WithApp {};

TEST_F(SavableControlsTest, ControlsComeInCreationOrderWithTheirKindNames) {
  TestForm form;
  const auto controls = SavableControlsOf(&form.window);
  const std::vector<std::pair<const char*, std::string>> expected = {
      {"编辑框甲", G("编辑框")},   {"分组框", "QGroupBox"},     {"单选框1", G("单选框")},
      {"单选框2", G("单选框")},    {"选择框", G("选择框")},     {"组合框可编辑", G("组合框")},
      {"组合框列表", G("组合框")}, {"列表框", G("列表框")},     {"选择列表框", G("选择列表框")},
      {"按钮", "QPushButton"},     {"编辑框多行", G("编辑框")},
  };
  ASSERT_EQ(controls.size(), expected.size());  // no parts of a combo box or list
  for (std::size_t i = 0; i < controls.size(); ++i) {
    EXPECT_EQ(controls[i]->Name(), G(expected[i].first)) << i;
    EXPECT_EQ(controls[i]->TypeName(), expected[i].second) << expected[i].first;
  }
  EXPECT_TRUE(controls[6]->IsDropDownList());
  EXPECT_FALSE(controls[5]->IsDropDownList());
}

TEST_F(SavableControlsTest, EveryKindCarriesItsStateToAnotherWindow) {
  TestForm source;
  source.edit->setText(QString::fromUtf8("六七八"));
  source.radio1->setChecked(false);
  source.radio2->setChecked(false);
  source.check->setChecked(true);
  source.editable->addItem(QString::fromUtf8("甲"), 7);
  source.editable->addItem(QStringLiteral("b"), -3);
  source.editable->setCurrentIndex(1);
  source.editable->setEditText(QString::fromUtf8("自己打的"));
  source.dropDown->addItem(QStringLiteral("x"), 1);
  source.dropDown->addItem(QStringLiteral("y"), 2);
  source.dropDown->setCurrentIndex(1);
  for (const char* text : {"一", "two"}) source.list->addItem(QString::fromUtf8(text));
  source.list->item(1)->setData(Qt::UserRole, 42);
  for (const auto& [text, checked] : {std::pair{"甲", true}, std::pair{"乙", false}}) {
    auto* item = new QListWidgetItem(QString::fromUtf8(text), source.checkList);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
    item->setData(Qt::UserRole, checked ? 5 : 6);
  }
  source.memo->setPlainText(QString::fromUtf8("第一行\n第二行"));

  TestForm target;
  target.radio1->setChecked(true);  // must be cleared although its group is exclusive
  target.editable->addItem(QStringLiteral("stale"));
  target.dropDown->addItem(QStringLiteral("x"), 1);
  target.dropDown->addItem(QStringLiteral("y"), 2);
  target.list->addItem(QStringLiteral("stale"));

  const auto from = SavableControlsOf(&source.window);
  const auto to = SavableControlsOf(&target.window);
  ASSERT_EQ(from.size(), to.size());
  for (std::size_t i = 0; i < from.size(); ++i) CopyState(*from[i], *to[i]);

  EXPECT_EQ(target.edit->text(), QString::fromUtf8("六七八"));
  EXPECT_FALSE(target.radio1->isChecked());
  EXPECT_FALSE(target.radio2->isChecked());
  EXPECT_TRUE(target.radio1->autoExclusive());
  EXPECT_TRUE(target.check->isChecked());
  ASSERT_EQ(target.editable->count(), 2);
  EXPECT_EQ(target.editable->itemText(0), QString::fromUtf8("甲"));
  EXPECT_EQ(target.editable->itemData(0).toInt(), 7);
  EXPECT_EQ(target.editable->itemData(1).toInt(), -3);
  EXPECT_EQ(target.editable->currentIndex(), 1);
  EXPECT_EQ(target.editable->currentText(), QString::fromUtf8("自己打的"));
  EXPECT_EQ(target.dropDown->currentIndex(), 1);
  ASSERT_EQ(target.list->count(), 2);
  EXPECT_EQ(target.list->item(0)->text(), QString::fromUtf8("一"));
  EXPECT_EQ(target.list->item(1)->data(Qt::UserRole).toInt(), 42);
  ASSERT_EQ(target.checkList->count(), 2);
  EXPECT_EQ(target.checkList->item(0)->text(), QString::fromUtf8("甲"));
  EXPECT_EQ(target.checkList->item(0)->checkState(), Qt::Checked);
  EXPECT_EQ(target.checkList->item(1)->checkState(), Qt::Unchecked);
  EXPECT_EQ(target.checkList->item(1)->data(Qt::UserRole).toInt(), 6);
  EXPECT_TRUE(target.checkList->item(1)->flags() & Qt::ItemIsUserCheckable);
  EXPECT_EQ(target.memo->toPlainText(), QString::fromUtf8("第一行\n第二行"));
}

TEST_F(SavableControlsTest, SelectedIndexStaysWithinTheList) {
  TestForm form;
  for (const char* text : {"a", "b", "c"}) form.dropDown->addItem(QString::fromUtf8(text));
  const auto controls = SavableControlsOf(&form.window);
  SavableControl& dropDown = *controls[6];
  SavableControl& editable = *controls[5];  // no items
  const struct {
    int set, expected;
  } cases[] = {{1, 1}, {5, 2}, {2, 2}, {0, 0}, {-1, -1}, {-7, -1}, {3, 2}};
  for (const auto& c : cases) {
    dropDown.SetSelectedIndex(c.set);
    EXPECT_EQ(dropDown.SelectedIndex(), c.expected) << c.set;
    EXPECT_EQ(form.dropDown->currentIndex(), c.expected) << c.set;
  }
  editable.SetSelectedIndex(3);
  EXPECT_EQ(editable.SelectedIndex(), -1);
  // A drop-down list shows its selection whatever text is set.
  dropDown.SetSelectedIndex(1);
  dropDown.SetText("zzz");
  EXPECT_EQ(dropDown.Text(), "b");
  editable.SetText(G("打字"));
  EXPECT_EQ(form.editable->currentText(), QString::fromUtf8("打字"));
  EXPECT_EQ(editable.Text(), G("打字"));
}

TEST_F(SavableControlsTest, MainWindowControlsFollowItsFormTable) {
  testing::TestEngine engine{CollectorConfig{}};
  testing::RecordingLauncher launcher;
  MainWindow window(engine.collector(), launcher);
  const auto controls = window.Controls();
  const auto walked = SavableControlsOf(&window);
  ASSERT_EQ(controls.size(), 26u);
  ASSERT_EQ(walked.size(), 26u);
  const std::set<std::string> saved = {G("编辑框"), G("选择框"), G("单选框"),
                                       G("组合框"), G("列表框"), G("选择列表框")};
  std::vector<std::string> savable;
  for (std::size_t i = 0; i < controls.size(); ++i) {
    EXPECT_EQ(controls[i]->Name(), walked[i]->Name());
    EXPECT_EQ(controls[i]->Name(), G(window.FormWidgets()[i]->objectName().toStdString()));
    if (saved.count(controls[i]->TypeName())) {
      savable.push_back(GbkToUtf8(controls[i]->Name()) + "=" + GbkToUtf8(controls[i]->TypeName()));
    }
  }
  EXPECT_EQ(savable, (std::vector<std::string>{
                         "选择框5=选择框",
                         "选择框4=选择框",
                         "选择框3=选择框",
                         "选择框2=选择框",
                         "选择框1=选择框",
                         "选择框0宝贝=选择框",
                         "选择框0信用=选择框",
                         "编辑框提示=编辑框",
                         "编辑框编号2=编辑框",
                         "编辑框编号1=编辑框",
                         "选择框宝贝名=选择框",
                         "选择框掌柜名=选择框",
                         "选择框店铺名=选择框",
                         "组合框类别=组合框",
                         "编辑框关键字=编辑框",
                     }));
  const SavableControl& category = *controls[22];
  EXPECT_TRUE(category.IsDropDownList());
  EXPECT_EQ(category.ItemCount(), 1);
  EXPECT_EQ(category.SelectedIndex(), 0);
  EXPECT_EQ(category.Text(), G("所有类别"));
  EXPECT_EQ(controls[11]->Text(), "645090000");
}

}  // namespace
}  // namespace dt::shell
