// The main window as the user meets it: every control of the form with its
// kind, parent, place and initial state, the window's own properties and the
// results list's columns.
#include <gtest/gtest.h>

#include <QAbstractButton>
#include <QCheckBox>
#include <QComboBox>
#include <QFontDatabase>
#include <QFontMetrics>
#include <QGroupBox>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStyle>
#include <QTableView>

#include "shell/form.h"
#include "shell/main_window.h"
#include "shell/results_model.h"
#include "shell/ui_text.h"
#include "shell_test_support.h"

namespace dt::shell {
namespace {

using testing::G;

struct ExpectedControl {
  const char* name;
  const char* className;
  const char* parent;  // "" for the window
  int x, y, w, h;
  const char* text;
  bool checked;
};

// Written out independently of the form table, in UTF-8.
const ExpectedControl kExpected[] = {
    {"按钮注册1", "QPushButton", "分组框2", 680, 24, 60, 20, "软件更新", false},
    {"按钮导出", "QPushButton", "分组框2", 440, 37, 60, 20, "导出数据", false},
    {"选择框5", "QCheckBox", "分组框2", 362, 36, 73, 24, "宝贝数量", false},
    {"选择框4", "QCheckBox", "分组框2", 288, 38, 72, 24, "累计信用", false},
    {"选择框3", "QCheckBox", "分组框2", 214, 38, 72, 24, "创店时间", false},
    {"选择框2", "QCheckBox", "分组框2", 139, 38, 72, 24, "店铺地址", false},
    {"选择框1", "QCheckBox", "分组框2", 59, 39, 72, 24, "店铺名称", true},
    {"标签3", "QLabel", "分组框2", 6, 39, 54, 24, "导出内容", false},
    {"选择框0宝贝", "QCheckBox", "分组框2", 362, 19, 56, 16, "零宝贝", false},
    {"选择框0信用", "QCheckBox", "分组框2", 289, 20, 56, 16, "零信用", false},
    {"编辑框提示", "QPlainTextEdit", "", 2, 547, 374, 69, "", false},
    {"编辑框编号2", "QLineEdit", "分组框2", 164, 15, 114, 20, "645090000", false},
    {"分组框2", "QGroupBox", "", 2, 0, 750, 64, "", false},
    {"按钮开始1", "QPushButton", "分组框2", 440, 13, 60, 20, "开始采集", false},
    {"编辑框编号1", "QLineEdit", "分组框2", 59, 15, 80, 20, "67808220", false},
    {"标签4", "QLabel", "分组框2", 8, 14, 168, 24, "编号起止               →", false},
    {"按钮开始", "QPushButton", "分组框1", 326, 23, 50, 20, "开始", false},
    {"超级列表框", "QTableView", "", 3, 68, 749, 476, "", false},
    {"分组框1", "QGroupBox", "", 59, 150, 397, 64, "通过店铺搜索", false},
    {"选择框宝贝名", "QCheckBox", "分组框1", 255, 18, 58, 16, "宝贝名", true},
    {"选择框掌柜名", "QCheckBox", "分组框1", 194, 18, 57, 16, "掌柜名", true},
    {"选择框店铺名", "QCheckBox", "分组框1", 131, 19, 57, 16, "店铺名", true},
    {"组合框类别", "QComboBox", "分组框1", 48, 38, 200, 20, "所有类别", false},
    {"标签2", "QLabel", "分组框1", 10, 40, 35, 16, "类  目", false},
    {"编辑框关键字", "QLineEdit", "分组框1", 48, 17, 81, 20, "", false},
    {"标签1", "QLabel", "分组框1", 8, 15, 48, 24, "关键字", false},
};

QString TextOf(QWidget* widget) {
  if (auto* button = qobject_cast<QAbstractButton*>(widget)) return button->text();
  if (auto* label = qobject_cast<QLabel*>(widget)) return label->text();
  if (auto* edit = qobject_cast<QLineEdit*>(widget)) return edit->text();
  if (auto* edit = qobject_cast<QPlainTextEdit*>(widget)) return edit->toPlainText();
  if (auto* group = qobject_cast<QGroupBox*>(widget)) return group->title();
  if (auto* combo = qobject_cast<QComboBox*>(widget)) return combo->currentText();
  return {};
}

class FormTest : public ::testing::Test, protected testing::WithApp {
 protected:
  FormTest() : engine_(CollectorConfig{}) {}
  testing::TestEngine engine_;
  testing::RecordingLauncher launcher_;
  MainWindow window_{engine_.collector(), launcher_};
};

TEST_F(FormTest, EveryControlExistsInFormOrderWithItsKindPlaceAndInitialState) {
  const std::vector<QWidget*>& widgets = window_.FormWidgets();
  ASSERT_EQ(widgets.size(), std::size(kExpected));
  for (std::size_t i = 0; i < widgets.size(); ++i) {
    const ExpectedControl& want = kExpected[i];
    QWidget* widget = widgets[i];
    SCOPED_TRACE(want.name);
    EXPECT_EQ(widget->objectName(), QString::fromUtf8(want.name));
    EXPECT_STREQ(widget->metaObject()->className(), want.className);
    const QString parent = QString::fromUtf8(want.parent);
    if (parent.isEmpty()) {
      EXPECT_EQ(widget->parentWidget(), &window_);
    } else {
      ASSERT_NE(widget->parentWidget(), nullptr);
      EXPECT_EQ(widget->parentWidget()->objectName(), parent);
    }
    EXPECT_EQ(widget->geometry(), QRect(want.x, want.y, want.w, want.h));
    EXPECT_EQ(TextOf(widget), QString::fromUtf8(want.text));
    if (auto* box = qobject_cast<QCheckBox*>(widget)) {
      EXPECT_EQ(box->isChecked(), want.checked);
    }
    EXPECT_TRUE(widget->isVisibleTo(&window_));
    EXPECT_TRUE(widget->isEnabled());
    EXPECT_EQ(window_.Control(G(want.name)), widget);
  }
  EXPECT_EQ(window_.Control(G("没有")), nullptr);
}

TEST_F(FormTest, ControlsHaveTheBehaviourOfTheirKind) {
  auto* combo = window_.ControlAs<QComboBox>(G("组合框类别"));
  EXPECT_FALSE(combo->isEditable());
  EXPECT_EQ(combo->count(), 1);
  EXPECT_EQ(combo->currentIndex(), 0);
  for (const char* name : {"编辑框编号1", "编辑框编号2", "编辑框关键字"}) {
    auto* edit = window_.ControlAs<QLineEdit>(G(name));
    EXPECT_EQ(edit->alignment() & Qt::AlignHorizontal_Mask, Qt::AlignHCenter) << name;
    EXPECT_FALSE(edit->isReadOnly()) << name;
    EXPECT_EQ(edit->echoMode(), QLineEdit::Normal) << name;
  }
  auto* status = window_.ControlAs<QPlainTextEdit>(G("编辑框提示"));
  EXPECT_FALSE(status->isReadOnly());
  EXPECT_EQ(status->lineWrapMode(), QPlainTextEdit::WidgetWidth);
  EXPECT_EQ(status->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
}

TEST_F(FormTest, LaterControlsLieBeneathEarlierOnes) {
  const std::vector<QWidget*>& widgets = window_.FormWidgets();
  for (std::size_t i = 0; i < widgets.size(); ++i) {
    for (std::size_t j = i + 1; j < widgets.size(); ++j) {
      QWidget* parent = widgets[i]->parentWidget();
      if (widgets[j]->parentWidget() != parent) continue;
      // children() runs from the bottom of the stack to its top.
      const QObjectList& stack = parent->children();
      EXPECT_GT(stack.indexOf(widgets[i]), stack.indexOf(widgets[j]))
          << widgets[i]->objectName().toStdString() << " / "
          << widgets[j]->objectName().toStdString();
    }
  }
  // So the results list covers the search panel wholly.
  QWidget* panel = window_.Control(G("分组框1"));
  QWidget* list = window_.Control(G("超级列表框"));
  for (QPoint corner :
       {panel->geometry().topLeft(), panel->geometry().center(), panel->geometry().bottomRight()}) {
    QWidget* top = window_.childAt(corner);
    ASSERT_NE(top, nullptr);
    EXPECT_TRUE(top == list || list->isAncestorOf(top));
  }
}

// Columns of img in [left, right) that hold a pixel of text colour.
int InkColumns(const QImage& img, int left, int right, int top, int bottom) {
  int columns = 0;
  for (int x = std::max(0, left); x < std::min(img.width(), right); ++x) {
    for (int y = std::max(0, top); y < std::min(img.height(), bottom); ++y) {
      if (qGray(img.pixel(x, y)) < 100) {
        ++columns;
        break;
      }
    }
  }
  return columns;
}

TEST_F(FormTest, CaptionBlanksPlaceTheRangeArrowBetweenTheNumberBoxes) {
  QWidget* bar = window_.Control(G("分组框2"));
  const QImage image = bar->grab().toImage();
  const QRect first = window_.Control(G("编辑框编号1"))->geometry();
  const QRect last = window_.Control(G("编辑框编号2"))->geometry();
  // The arrow is drawn in the gap between the boxes, clear of both.
  EXPECT_GE(InkColumns(image, first.right() + 2, last.left() - 1, first.top(), first.bottom()), 5);

  // "类  目" is as wide as "关键字" above it: both end at about the same place,
  // left of the boxes beside them (x 48).
  QWidget* panel = window_.Control(G("分组框1"));
  const QImage labels = panel->grab().toImage();
  auto inkRight = [&](const char* name) {
    const QRect box = window_.Control(G(name))->geometry();
    int right = -1;
    for (int x = box.left(); x < 48; ++x) {
      if (InkColumns(labels, x, x + 1, box.top(), box.bottom() + 1) > 0) right = x;
    }
    return right;
  };
  EXPECT_NEAR(inkRight("标签2"), inkRight("标签1"), 4);
}

TEST_F(FormTest, WindowIsFixedTopmostCentredAndWithoutMaximiseButton) {
  EXPECT_EQ(window_.windowTitle(), QStringLiteral("Dovetrail [2011-0831]"));
  // The form's size; only a font whose four readout lines need more room
  // than the form's strip makes the window taller, by just that much.
  EXPECT_EQ(window_.width(), kClientWidth);
  EXPECT_EQ(window_.height(), std::max(kClientHeight, window_.Readout()->geometry().bottom() + 1));
  EXPECT_EQ(window_.minimumSize(), window_.maximumSize());
  const Qt::WindowFlags flags = window_.windowFlags();
  EXPECT_TRUE(flags & Qt::WindowStaysOnTopHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowCloseButtonHint);
  EXPECT_TRUE(flags & Qt::WindowTitleHint);
  EXPECT_EQ(window_.font(), QFontDatabase::systemFont(QFontDatabase::GeneralFont));

  const QRect screen = QGuiApplication::primaryScreen()->geometry();
  // The outer frame's place, from the outer size: 762 x 646 for the form's.
  const QSize outer = window_.size() + QSize(10, 30);
  EXPECT_EQ(window_.frameGeometry().topLeft(),
            screen.topLeft() + QPoint((screen.width() - outer.width()) / 2,
                                      (screen.height() - outer.height()) / 2));

  // Every control fits the client area.
  for (QWidget* widget : window_.FormWidgets()) {
    const QRect inWindow(widget->mapTo(&window_, QPoint(0, 0)), widget->size());
    EXPECT_TRUE(window_.rect().contains(inWindow)) << widget->objectName().toStdString();
  }
}

// Every caption and every line of the readout is whole at the font's DPI;
// CMakeLists.txt runs this test at 96, 120 and 144 DPI as well.
TEST_F(FormTest, EveryCaptionAndEveryLineOfTheReadoutIsWhole) {
  RunProgress p;  // a long run going on, its readout lines at their widest
  p.state = RunState::Running;
  p.first = p.next = p.done = p.shops = p.retries = 67808220;
  p.last = 645090000;
  p.paceMilliseconds = p.requestsAtOnce = p.inFlight = p.requestLimit = 16;
  window_.Readout()->setText(Ui(ReadoutText(p, 123.4, std::nullopt)));
  window_.RetryFailedButton()->setText(Ui(RetryFailedText(12345)));
  for (QWidget* widget : window_.findChildren<QWidget*>()) {
    auto* button = qobject_cast<QAbstractButton*>(widget);
    auto* label = qobject_cast<QLabel*>(widget);
    // The search panel (分组框1) lies under the list, out of sight.
    if ((!button && !label) || widget->parentWidget() == window_.Control(G("分组框1"))) continue;
    // A label as it asks to be; a button's caption by its ink, beside a check mark.
    QSize need =
        label ? label->sizeHint() : widget->fontMetrics().tightBoundingRect(button->text()).size();
    if (qobject_cast<QCheckBox*>(widget))
      need.rwidth() += widget->style()->pixelMetric(QStyle::PM_IndicatorWidth);
    EXPECT_LE(need.width(), widget->width()) << widget->objectName().toStdString();
    EXPECT_LE(need.height(), widget->height()) << widget->objectName().toStdString();
  }
}

TEST_F(FormTest, IconComesInFourSizes) {
  const QList<QSize> sizes = window_.windowIcon().availableSizes();
  for (int size : {16, 24, 32, 48}) {
    EXPECT_TRUE(sizes.contains(QSize(size, size))) << size;
    const QImage image = window_.windowIcon().pixmap(size, size).toImage();
    EXPECT_TRUE(image.hasAlphaChannel());
    EXPECT_EQ(image.depth(), 32);
  }
}

TEST_F(FormTest, ResultsListHasItsColumnsAndListBehaviour) {
  QTableView* view = window_.ResultsView();
  ASSERT_EQ(view, window_.Control(G("超级列表框")));
  const struct {
    const char* title;
    int width;
  } columns[] = {{"序号", 40},      {"卖家旺旺", 100}, {"状态", 0},      {"店铺名称", 180},
                 {"店铺地址", 200}, {"创店时间", 80},  {"累计信用", 60}, {"宝贝数量", 60}};
  QAbstractItemModel* model = view->model();
  ASSERT_EQ(model->columnCount(), 8);
  for (int i = 0; i < 8; ++i) {
    SCOPED_TRACE(i);
    EXPECT_EQ(model->headerData(i, Qt::Horizontal).toString(), QString::fromUtf8(columns[i].title));
    EXPECT_EQ(view->isColumnHidden(i), columns[i].width == 0);
    if (columns[i].width > 0) {
      EXPECT_EQ(view->columnWidth(i), columns[i].width);
    }
  }
  EXPECT_TRUE(view->verticalHeader()->isHidden());
  EXPECT_EQ(view->verticalHeader()->sectionResizeMode(0), QHeaderView::Fixed);
  EXPECT_FALSE(view->horizontalHeader()->isHidden());
  EXPECT_FALSE(view->horizontalHeader()->sectionsClickable());
  EXPECT_FALSE(view->isSortingEnabled());
  EXPECT_TRUE(view->showGrid());
  EXPECT_EQ(view->selectionBehavior(), QAbstractItemView::SelectRows);
  EXPECT_EQ(view->selectionMode(), QAbstractItemView::ExtendedSelection);
  EXPECT_FALSE(view->editTriggers() & QAbstractItemView::DoubleClicked);
  EXPECT_TRUE(view->editTriggers() & QAbstractItemView::EditKeyPressed);
  EXPECT_EQ(model->rowCount(), 0);
}

}  // namespace
}  // namespace dt::shell
