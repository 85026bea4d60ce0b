// The real program driven like a user would: fills boxes, ticks boxes, clicks
// buttons, prints control states, and presses Esc.
//
//   --set NAME=TEXT      text of an edit box
//   --check NAME=0|1     state of a check box
//   --type-status TEXT   text typed into the status box
//   --click NAME         clicks a push button
//   --print NAME         prints NAME=<text or 0/1>
//   --wait MS            lets the window run MS milliseconds before the next step
//   --esc-after MS       prints "esc", then presses Esc in the window
//   --save-as FILTER|NAME  the next save dialog: the name filter that starts
//                        with FILTER chosen (none: as it opens), NAME typed, accepted
//   --dump FILE          writes the results list to FILE: a line per row, its
//                        eight cells as the list holds them, TAB between them
//   --wait-until NAME=TEXT lets the window run until a button's caption or a
//                        box's text is TEXT, a list's row count the number TEXT
//                        (NAME alone: until it is enabled)
// Names and texts are UTF-8.
#include <QAbstractButton>
#include <QAbstractItemModel>
#include <QAbstractItemView>
#include <QApplication>
#include <QCheckBox>
#include <QFileDialog>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTest>
#include <QTimer>
#include <cstdio>
#include <fstream>
#include <string>
#include <utility>
#include <vector>

#include "shell/application.h"

namespace {

std::vector<std::pair<std::string, std::string>> g_steps;

QWidget* Find(QWidget& window, const std::string& name) {
  return window.findChild<QWidget*>(QString::fromStdString(name));
}

void Say(const QString& line) {
  std::printf("%s\n", line.toUtf8().constData());
  std::fflush(stdout);
}

// Answers the next save dialog as a user would: picks the filter, types the
// name, presses save.
void AnswerSaveDialog(QString filter, QString name) {
  QTimer::singleShot(20, [filter, name] {
    auto* dialog = qobject_cast<QFileDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) return AnswerSaveDialog(filter, name);
    for (const QString& entry : dialog->nameFilters()) {
      if (!filter.isEmpty() && entry.startsWith(filter)) dialog->selectNameFilter(entry);
    }
    if (auto* field = dialog->findChild<QLineEdit*>(QStringLiteral("fileNameEdit")))
      field->setText(name);
    static_cast<QDialog*>(dialog)->accept();
  });
}

QString ShownText(QWidget* widget) {
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
  if (auto* plain = qobject_cast<QPlainTextEdit*>(widget)) return plain->toPlainText();
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
  if (auto* list = qobject_cast<QAbstractItemView*>(widget))
    return QString::number(list->model()->rowCount());
  return {};
}

void RunSteps(QWidget& window, std::size_t from) {
  for (std::size_t i = from; i < g_steps.size(); ++i) {
    const auto& [step, value] = g_steps[i];
    const auto eq = value.find('=');
    const std::string name = value.substr(0, eq);
    const QString text =
        eq == std::string::npos ? QString() : QString::fromStdString(value.substr(eq + 1));
    QWidget* widget = Find(window, name);
    if (step == "--set") {
      if (auto* edit = qobject_cast<QLineEdit*>(widget)) {
        edit->setFocus();
        edit->selectAll();
        QTest::keyClicks(edit, text);
        if (text.isEmpty()) QTest::keyClick(edit, Qt::Key_Delete);
      }
    } else if (step == "--check") {
      if (auto* box = qobject_cast<QCheckBox*>(widget))
        if (box->isChecked() != (text == "1")) box->click();
    } else if (step == "--type-status") {
      if (auto* status = window.findChild<QPlainTextEdit*>(QStringLiteral("编辑框提示")))
        QTest::keyClicks(status, QString::fromStdString(value));
    } else if (step == "--click") {
      if (auto* button = qobject_cast<QAbstractButton*>(widget)) button->click();
    } else if (step == "--print") {
      QString shown;
      if (auto* edit = qobject_cast<QLineEdit*>(widget))
        shown = edit->text();
      else if (auto* plain = qobject_cast<QPlainTextEdit*>(widget))
        shown = plain->toPlainText();
      else if (auto* box = qobject_cast<QCheckBox*>(widget))
        shown = box->isChecked() ? "1" : "0";
      Say(QString::fromStdString(name) + "=" + shown);
    } else if (step == "--dump") {
      std::ofstream out(value, std::ios::binary | std::ios::trunc);
      if (auto* list = window.findChild<QAbstractItemView*>(QStringLiteral("超级列表框"))) {
        const QAbstractItemModel* model = list->model();
        for (int row = 0; row < model->rowCount(); ++row) {
          for (int column = 0; column < model->columnCount(); ++column) {
            if (column > 0) out << '\t';
            out << model->data(model->index(row, column), Qt::EditRole).toString().toStdString();
          }
          out << '\n';
        }
      }
    } else if (step == "--save-as") {
      const QString both = QString::fromStdString(value);
      AnswerSaveDialog(both.section('|', 0, 0), both.section('|', 1));
    } else if (step == "--wait-until") {
      if (widget != nullptr &&
          (eq == std::string::npos ? !widget->isEnabled() : ShownText(widget) != text)) {
        QTimer::singleShot(20, &window, [&window, i] { RunSteps(window, i); });
        return;
      }
    } else if (step == "--wait") {
      QTimer::singleShot(std::stoi(value), &window, [&window, i] { RunSteps(window, i + 1); });
      return;
    } else if (step == "--esc-after") {
      QTimer::singleShot(std::stoi(value), &window, [&window] {
        Say("esc");
        QWidget* target = QApplication::focusWidget();
        if (!target || qobject_cast<QPlainTextEdit*>(target) || qobject_cast<QLineEdit*>(target))
          target = &window;
        QTest::keyClick(target, Qt::Key_Escape);
      });
      return;
    }
  }
}

}  // namespace

int main(int argc, char** argv) {
  for (int i = 1; i + 1 < argc; i += 2) g_steps.emplace_back(argv[i], argv[i + 1]);
  dt::shell::StartupHooks hooks;
  hooks.afterShow = [](QWidget& window) {
    QTimer::singleShot(0, &window, [&window] { RunSteps(window, 0); });
  };
  int programArgc = 1;
  dt::shell::RunDovetrail(programArgc, argv, hooks);
}
