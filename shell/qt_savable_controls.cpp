#include "shell/qt_savable_controls.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFrame>
#include <QGroupBox>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QVariant>
#include <string>
#include <string_view>

#include "shell/main_window.h"
#include "shell/ui_text.h"
#include "text/gbk_codec.h"

namespace dt::shell {
namespace {

std::string TypeNameOf(ControlKind kind) {
  return std::string(ControlTypeName(kind));
}

class WidgetControl : public SavableControl {
 public:
  explicit WidgetControl(QWidget* widget) : widget_(widget) {}
  std::string Name() const override { return Gbk(widget_->objectName()); }
  std::string TypeName() const override { return widget_->metaObject()->className(); }

 private:
  QWidget* widget_;
};

class LineEditControl : public WidgetControl {
 public:
  explicit LineEditControl(QLineEdit* edit) : WidgetControl(edit), edit_(edit) {}
  std::string TypeName() const override { return TypeNameOf(ControlKind::EditBox); }
  std::string Text() const override { return Gbk(edit_->text()); }
  void SetText(const std::string& text) override { edit_->setText(Ui(text)); }

 private:
  QLineEdit* edit_;
};

class PlainTextEditControl : public WidgetControl {
 public:
  explicit PlainTextEditControl(QPlainTextEdit* edit) : WidgetControl(edit), edit_(edit) {}
  std::string TypeName() const override { return TypeNameOf(ControlKind::EditBox); }
  std::string Text() const override { return Gbk(edit_->toPlainText()); }
  void SetText(const std::string& text) override { edit_->setPlainText(Ui(text)); }

 private:
  QPlainTextEdit* edit_;
};

class CheckBoxControl : public WidgetControl {
 public:
  explicit CheckBoxControl(QCheckBox* box) : WidgetControl(box), box_(box) {}
  std::string TypeName() const override { return TypeNameOf(ControlKind::CheckBox); }
  bool Checked() const override { return box_->isChecked(); }
  void SetChecked(bool checked) override { box_->setChecked(checked); }

 private:
  QCheckBox* box_;
};

class RadioButtonControl : public WidgetControl {
 public:
  explicit RadioButtonControl(QRadioButton* button) : WidgetControl(button), button_(button) {}
  std::string TypeName() const override { return TypeNameOf(ControlKind::RadioButton); }
  bool Checked() const override { return button_->isChecked(); }
  // Each button takes its own stored state, as the settings file has one per
  // button: the group's exclusivity must neither refuse clearing the checked
  // button nor clear a sibling restored before.
  void SetChecked(bool checked) override {
    const bool exclusive = button_->autoExclusive();
    button_->setAutoExclusive(false);
    button_->setChecked(checked);
    button_->setAutoExclusive(exclusive);
  }

 private:
  QRadioButton* button_;
};

class ComboBoxControl : public WidgetControl {
 public:
  explicit ComboBoxControl(QComboBox* combo) : WidgetControl(combo), combo_(combo) {}
  std::string TypeName() const override { return TypeNameOf(ControlKind::ComboBox); }
  std::string Text() const override { return Gbk(combo_->currentText()); }
  // A drop-down list shows its selection only; setting a text changes nothing.
  void SetText(const std::string& text) override {
    if (combo_->isEditable()) combo_->setEditText(Ui(text));
  }
  bool IsDropDownList() const override { return !combo_->isEditable(); }
  int SelectedIndex() const override { return combo_->currentIndex(); }
  void SetSelectedIndex(int index) override {
    const int count = combo_->count();
    if (index >= count) index = count - 1;
    if (index < -1) index = -1;
    combo_->setCurrentIndex(index);
  }
  int ItemCount() const override { return combo_->count(); }
  std::string ItemText(int index) const override { return Gbk(combo_->itemText(index)); }
  std::int32_t ItemValue(int index) const override { return combo_->itemData(index).toInt(); }
  void ClearItems() override { combo_->clear(); }
  void AddItem(const std::string& text, std::int32_t value) override {
    combo_->addItem(Ui(text), QVariant(value));
  }

 private:
  QComboBox* combo_;
};

class ListBoxControl : public WidgetControl {
 public:
  explicit ListBoxControl(QListWidget* list) : WidgetControl(list), list_(list) {}
  std::string TypeName() const override { return TypeNameOf(ControlKind::ListBox); }
  int ItemCount() const override { return list_->count(); }
  std::string ItemText(int index) const override {
    const QListWidgetItem* item = list_->item(index);
    return item ? Gbk(item->text()) : std::string();
  }
  std::int32_t ItemValue(int index) const override {
    const QListWidgetItem* item = list_->item(index);
    return item ? item->data(Qt::UserRole).toInt() : 0;
  }
  void ClearItems() override { list_->clear(); }
  void AddItem(const std::string& text, std::int32_t value) override {
    auto* item = new QListWidgetItem(Ui(text));
    item->setData(Qt::UserRole, QVariant(value));
    list_->addItem(item);
  }

 protected:
  QListWidget* list_;
};

class CheckListBoxControl : public ListBoxControl {
 public:
  using ListBoxControl::ListBoxControl;
  std::string TypeName() const override { return TypeNameOf(ControlKind::CheckListBox); }
  void AddItem(const std::string& text, std::int32_t value) override {
    ListBoxControl::AddItem(text, value);
    QListWidgetItem* item = list_->item(list_->count() - 1);
    item->setFlags(item->flags() | Qt::ItemIsUserCheckable);
    item->setCheckState(Qt::Unchecked);
  }
  bool ItemChecked(int index) const override {
    const QListWidgetItem* item = list_->item(index);
    return item && item->checkState() == Qt::Checked;
  }
  void SetItemChecked(int index, bool checked) override {
    QListWidgetItem* item = list_->item(index);
    if (item) item->setCheckState(checked ? Qt::Checked : Qt::Unchecked);
  }
};

// Widgets that only hold other controls; their children belong to the form.
bool IsContainer(const QWidget* widget) {
  if (qobject_cast<const QGroupBox*>(widget)) return true;
  const char* name = widget->metaObject()->className();
  return std::string_view(name) == "QWidget" || std::string_view(name) == "QFrame";
}

void CollectControls(QWidget* parent, std::vector<QWidget*>& out) {
  for (QObject* child : parent->children()) {
    auto* widget = qobject_cast<QWidget*>(child);
    if (widget == nullptr || widget->isWindow()) continue;
    out.push_back(widget);
    if (IsContainer(widget)) CollectControls(widget, out);
  }
}

}  // namespace

std::unique_ptr<SavableControl> SavableControlOf(QWidget* widget) {
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return std::make_unique<LineEditControl>(edit);
  if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) {
    return std::make_unique<PlainTextEditControl>(edit);
  }
  if (auto* box = qobject_cast<QCheckBox*>(widget)) return std::make_unique<CheckBoxControl>(box);
  if (auto* radio = qobject_cast<QRadioButton*>(widget)) {
    return std::make_unique<RadioButtonControl>(radio);
  }
  if (auto* combo = qobject_cast<QComboBox*>(widget))
    return std::make_unique<ComboBoxControl>(combo);
  if (auto* list = qobject_cast<QListWidget*>(widget)) {
    if (list->property(kCheckListProperty).toBool()) {
      return std::make_unique<CheckListBoxControl>(list);
    }
    return std::make_unique<ListBoxControl>(list);
  }
  return std::make_unique<WidgetControl>(widget);
}

std::vector<std::unique_ptr<SavableControl>> SavableControlsOf(
    const std::vector<QWidget*>& widgets) {
  std::vector<std::unique_ptr<SavableControl>> controls;
  controls.reserve(widgets.size());
  for (QWidget* widget : widgets) controls.push_back(SavableControlOf(widget));
  return controls;
}

std::vector<std::unique_ptr<SavableControl>> SavableControlsOf(QWidget* window) {
  if (auto* main = dynamic_cast<MainWindow*>(window)) return SavableControlsOf(main->FormWidgets());
  std::vector<QWidget*> widgets;
  if (window) CollectControls(window, widgets);
  return SavableControlsOf(widgets);
}

std::vector<SavableControl*> Pointers(
    const std::vector<std::unique_ptr<SavableControl>>& controls) {
  std::vector<SavableControl*> pointers;
  pointers.reserve(controls.size());
  for (const auto& control : controls) pointers.push_back(control.get());
  return pointers;
}

}  // namespace dt::shell
