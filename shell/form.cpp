#include "shell/form.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFontMetricsF>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPushButton>
#include <algorithm>
#include <array>
#include <cmath>
#include <map>
#include <string>

#include "shell/results_view.h"
#include "shell/ui_text.h"
#include "text/gbk_codec.h"

namespace dt::shell {
namespace {

using K = ControlKind;
namespace n = names;

// The search panel (分组框1 and its eight controls) is built and saved like
// every other control, but nothing reacts to it; the results list covers it.
constexpr std::array<FormControl, 26> kMainForm{{
    {n::kUpdateButton, K::PushButton, n::kTopBar, 680, 24, 60, 20,
     "\xC8\xED\xBC\xFE\xB8\xFC\xD0\xC2", false},  // 软件更新
    {n::kExportButton, K::PushButton, n::kTopBar, 440, 37, 60, 20,
     "\xB5\xBC\xB3\xF6\xCA\xFD\xBE\xDD", false},  // 导出数据
    {n::kExportItemCount, K::CheckBox, n::kTopBar, 362, 36, 73, 24,
     "\xB1\xA6\xB1\xB4\xCA\xFD\xC1\xBF", false},  // 宝贝数量
    {n::kExportCredit, K::CheckBox, n::kTopBar, 288, 38, 72, 24, "\xC0\xDB\xBC\xC6\xD0\xC5\xD3\xC3",
     false},  // 累计信用
    {n::kExportCreated, K::CheckBox, n::kTopBar, 214, 38, 72, 24,
     "\xB4\xB4\xB5\xEA\xCA\xB1\xBC\xE4", false},  // 创店时间
    {n::kExportAddress, K::CheckBox, n::kTopBar, 139, 38, 72, 24,
     "\xB5\xEA\xC6\xCC\xB5\xD8\xD6\xB7", false},  // 店铺地址
    {n::kExportShopName, K::CheckBox, n::kTopBar, 59, 39, 72, 24,
     "\xB5\xEA\xC6\xCC\xC3\xFB\xB3\xC6", true},  // 店铺名称
    {"\xB1\xEA\xC7\xA9"
     "3",
     K::Label, n::kTopBar, 6, 39, 54, 24, "\xB5\xBC\xB3\xF6\xC4\xDA\xC8\xDD",
     false},  // 标签3 导出内容
    {n::kZeroItemsFilter, K::CheckBox, n::kTopBar, 362, 19, 56, 16, "\xC1\xE3\xB1\xA6\xB1\xB4",
     false},  // 零宝贝
    {n::kZeroCreditFilter, K::CheckBox, n::kTopBar, 289, 20, 56, 16, "\xC1\xE3\xD0\xC5\xD3\xC3",
     false},  // 零信用
    {n::kStatusBox, K::MultiLineEdit, {}, 2, 547, 374, 69, {}, false},
    {n::kLastNumber, K::LineEdit, n::kTopBar, 164, 15, 114, 20, "645090000", false},
    {n::kTopBar, K::GroupBox, {}, 2, 0, 750, 64, {}, false},
    {n::kStartButton, K::PushButton, n::kTopBar, 440, 13, 60, 20, kIdleCaption, false},
    {n::kFirstNumber, K::LineEdit, n::kTopBar, 59, 15, 80, 20, "67808220", false},
    // 标签4 "编号起止               →": the blanks put the arrow in the gap
    // between the two number boxes.
    {"\xB1\xEA\xC7\xA9"
     "4",
     K::Label, n::kTopBar, 8, 14, 168, 24,
     "\xB1\xE0\xBA\xC5\xC6\xF0\xD6\xB9               \xA1\xFA", false},
    {"\xB0\xB4\xC5\xA5\xBF\xAA\xCA\xBC", K::PushButton, n::kSearchPanel, 326, 23, 50, 20,
     "\xBF\xAA\xCA\xBC", false},  // 按钮开始 开始
    {n::kResultsList, K::ReportList, {}, 3, 68, 749, 476, {}, false},
    {n::kSearchPanel,
     K::GroupBox,
     {},
     59,
     150,
     397,
     64,
     "\xCD\xA8\xB9\xFD\xB5\xEA\xC6\xCC\xCB\xD1\xCB\xF7",
     false},  // 通过店铺搜索
    {"\xD1\xA1\xD4\xF1\xBF\xF2\xB1\xA6\xB1\xB4\xC3\xFB", K::CheckBox, n::kSearchPanel, 255, 18, 58,
     16, "\xB1\xA6\xB1\xB4\xC3\xFB", true},  // 选择框宝贝名 宝贝名
    {"\xD1\xA1\xD4\xF1\xBF\xF2\xD5\xC6\xB9\xF1\xC3\xFB", K::CheckBox, n::kSearchPanel, 194, 18, 57,
     16, "\xD5\xC6\xB9\xF1\xC3\xFB", true},  // 选择框掌柜名 掌柜名
    {"\xD1\xA1\xD4\xF1\xBF\xF2\xB5\xEA\xC6\xCC\xC3\xFB", K::CheckBox, n::kSearchPanel, 131, 19, 57,
     16, "\xB5\xEA\xC6\xCC\xC3\xFB", true},  // 选择框店铺名 店铺名
    {"\xD7\xE9\xBA\xCF\xBF\xF2\xC0\xE0\xB1\xF0", K::DropDownList, n::kSearchPanel, 48, 38, 200, 20,
     "\xCB\xF9\xD3\xD0\xC0\xE0\xB1\xF0", false},  // 组合框类别 所有类别
    {"\xB1\xEA\xC7\xA9"
     "2",
     K::Label, n::kSearchPanel, 10, 40, 35, 16, "\xC0\xE0  \xC4\xBF", false},  // 标签2 类  目
    {"\xB1\xE0\xBC\xAD\xBF\xF2\xB9\xD8\xBC\xFC\xD7\xD6",
     K::LineEdit,
     n::kSearchPanel,
     48,
     17,
     81,
     20,
     {},
     false},  // 编辑框关键字
    {"\xB1\xEA\xC7\xA9"
     "1",
     K::Label, n::kSearchPanel, 8, 15, 48, 24, "\xB9\xD8\xBC\xFC\xD7\xD6", false},  // 标签1 关键字
}};

// A label as the form shows it. Its captions were laid out for a font whose
// blank is half as wide as a Chinese character: "类  目" lines up with
// "关键字", and the arrow of the range caption sits in the gap between the
// two number boxes. So blanks are drawn that wide whatever the font; the
// text itself stays as it is.
class FormLabel : public QLabel {
 public:
  using QLabel::QLabel;

  // As wide as the caption is drawn, with its wide blanks.
  QSize sizeHint() const override {
    const QSize plain = QLabel::sizeHint();
    const int margins = plain.width() - fontMetrics().horizontalAdvance(text());
    const int drawn = static_cast<int>(std::ceil(DrawRuns(nullptr, 0) - contentsRect().left()));
    return QSize(drawn + margins, plain.height());
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter painter(this);
    painter.setPen(palette().color(QPalette::Active, foregroundRole()));
    const QFontMetricsF metrics(font());
    const QRectF area = contentsRect();
    DrawRuns(&painter, area.top() + (area.height() - metrics.height()) / 2 + metrics.ascent());
  }
  // A press on a label is a press on the window's background.
  void mousePressEvent(QMouseEvent* event) override { event->ignore(); }

 private:
  // Draws the caption's runs between blanks on the baseline (with a
  // painter), and returns how far they reach from the left.
  qreal DrawRuns(QPainter* painter, qreal baseline) const {
    const QFontMetricsF metrics(font());
    const qreal blank = std::max(metrics.horizontalAdvance(QLatin1Char(' ')),
                                 metrics.horizontalAdvance(QChar(0x4E2D)) / 2);  // 中
    qreal x = contentsRect().left();
    const QString caption = text();
    qsizetype start = 0;
    for (qsizetype i = 0; i <= caption.size(); ++i) {
      if (i < caption.size() && caption[i] != QLatin1Char(' ')) continue;
      const QString run = caption.mid(start, i - start);
      if (painter != nullptr) painter->drawText(QPointF(x, baseline), run);
      x += metrics.horizontalAdvance(run) + (i < caption.size() ? blank : 0);
      start = i + 1;
    }
    return x;
  }
};

// A group box takes no press (the window behind it moves), and when it is
// given the focus it keeps it instead of passing it to its first child.
class FormGroupBox : public QGroupBox {
 public:
  using QGroupBox::QGroupBox;

 protected:
  void mousePressEvent(QMouseEvent* event) override { event->ignore(); }
  void focusInEvent(QFocusEvent*) override { update(); }
};

QWidget* CreateWidget(const FormControl& control) {
  const QString text = Ui(control.text);
  switch (control.kind) {
    case K::PushButton:
      return new QPushButton(text);
    case K::CheckBox: {
      auto* box = new QCheckBox(text);
      box->setChecked(control.checked);
      return box;
    }
    case K::Label: {
      auto* label = new FormLabel(text);
      label->setTextFormat(Qt::PlainText);
      label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
      return label;
    }
    case K::GroupBox:
      return new FormGroupBox(text);
    case K::LineEdit: {
      auto* edit = new QLineEdit(text);
      edit->setAlignment(Qt::AlignCenter);
      return edit;
    }
    case K::MultiLineEdit: {
      auto* edit = new QPlainTextEdit(text);
      edit->setLineWrapMode(QPlainTextEdit::WidgetWidth);
      edit->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
      edit->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
      // Tab moves on to the next control; Enter still breaks the line.
      edit->setTabChangesFocus(true);
      return edit;
    }
    case K::ReportList:
      return new ResultsTableView;
    case K::DropDownList: {
      auto* combo = new QComboBox;
      combo->setEditable(false);
      if (!control.text.empty()) combo->addItem(text, 0);
      return combo;
    }
  }
  return new QWidget;
}

}  // namespace

std::span<const FormControl> MainForm() {
  return kMainForm;
}

int FormIndexOf(std::string_view nameGbk) {
  for (std::size_t i = 0; i < kMainForm.size(); ++i) {
    if (kMainForm[i].name == nameGbk) return static_cast<int>(i);
  }
  return -1;
}

double FormScale(const QWidget& widget) {
  return std::max(1.0, widget.logicalDpiY() / 96.0);
}

QRect ScaledPlace(const QRect& place, double scale) {
  const auto edge = [scale](int at) { return static_cast<int>(std::lround(at * scale)); };
  const int left = edge(place.x()), top = edge(place.y());
  return QRect(left, top, edge(place.x() + place.width()) - left,
               edge(place.y() + place.height()) - top);
}

std::vector<QWidget*> BuildForm(QWidget* client, std::span<const FormControl> form, double scale) {
  // First every widget, then the parents: a group box may follow the
  // controls it holds.
  std::vector<QWidget*> widgets;
  widgets.reserve(form.size());
  std::map<std::string_view, QWidget*> byName;
  for (const FormControl& control : form) {
    QWidget* widget = CreateWidget(control);
    widget->setObjectName(Ui(control.name));
    widgets.push_back(widget);
    byName.emplace(control.name, widget);
  }
  for (std::size_t i = 0; i < form.size(); ++i) {
    const FormControl& control = form[i];
    QWidget* widget = widgets[i];
    const auto parent = control.parent.empty() ? byName.end() : byName.find(control.parent);
    widget->setParent(parent == byName.end() ? client : parent->second);
    widget->setGeometry(
        ScaledPlace(QRect(control.x, control.y, control.width, control.height), scale));
    // Beneath every earlier sibling: the earlier control stays visible where
    // two overlap.
    widget->lower();
    widget->show();
  }
  return widgets;
}

}  // namespace dt::shell
