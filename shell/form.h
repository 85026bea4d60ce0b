// The main window as data: every control with its name, kind, parent, place
// and initial state, in form order. The window is built from this table, and
// the settings walk takes the controls in the same order.
#pragma once

#include <QRect>
#include <span>
#include <string_view>
#include <vector>

class QWidget;

namespace dt::shell {

enum class ControlKind {
  PushButton,
  CheckBox,
  Label,
  GroupBox,
  LineEdit,       // single-line edit box, text centred
  MultiLineEdit,  // the status box
  ReportList,     // the results list
  DropDownList,   // a combo box the user can only pick from
};

struct FormControl {
  std::string_view name;  // GBK
  ControlKind kind;
  std::string_view parent;  // GBK name of a group box; empty: the window itself
  int x, y, width, height;  // relative to the parent
  std::string_view text;    // GBK caption or content; a drop-down list's one item
  bool checked;             // check boxes
};

// The client area holds every control: the rightmost edge is 752, the bottom 616.
inline constexpr int kClientWidth = 752;
inline constexpr int kClientHeight = 616;
// The window's outer size, frame included, which fixes its place on screen.
inline constexpr int kOuterWidth = 762;
inline constexpr int kOuterHeight = 646;

// Names of the controls the window's event map and the engine use (GBK).
namespace names {
inline constexpr std::string_view kUpdateButton =
    "\xB0\xB4\xC5\xA5\xD7\xA2\xB2\xE1"
    "1";  // 按钮注册1
inline constexpr std::string_view kExportButton = "\xB0\xB4\xC5\xA5\xB5\xBC\xB3\xF6";  // 按钮导出
inline constexpr std::string_view kExportItemCount =
    "\xD1\xA1\xD4\xF1\xBF\xF2"
    "5";  // 选择框5
inline constexpr std::string_view kExportCredit =
    "\xD1\xA1\xD4\xF1\xBF\xF2"
    "4";  // 选择框4
inline constexpr std::string_view kExportCreated =
    "\xD1\xA1\xD4\xF1\xBF\xF2"
    "3";  // 选择框3
inline constexpr std::string_view kExportAddress =
    "\xD1\xA1\xD4\xF1\xBF\xF2"
    "2";  // 选择框2
inline constexpr std::string_view kExportShopName =
    "\xD1\xA1\xD4\xF1\xBF\xF2"
    "1";  // 选择框1
inline constexpr std::string_view kZeroItemsFilter =
    "\xD1\xA1\xD4\xF1\xBF\xF2"
    "0\xB1\xA6\xB1\xB4";  // 选择框0宝贝
inline constexpr std::string_view kZeroCreditFilter =
    "\xD1\xA1\xD4\xF1\xBF\xF2"
    "0\xD0\xC5\xD3\xC3";  // 选择框0信用
inline constexpr std::string_view kStatusBox =
    "\xB1\xE0\xBC\xAD\xBF\xF2\xCC\xE1\xCA\xBE";  // 编辑框提示
inline constexpr std::string_view kLastNumber =
    "\xB1\xE0\xBC\xAD\xBF\xF2\xB1\xE0\xBA\xC5"
    "2";  // 编辑框编号2
inline constexpr std::string_view kTopBar =
    "\xB7\xD6\xD7\xE9\xBF\xF2"
    "2";  // 分组框2
inline constexpr std::string_view kStartButton =
    "\xB0\xB4\xC5\xA5\xBF\xAA\xCA\xBC"
    "1";  // 按钮开始1
inline constexpr std::string_view kFirstNumber =
    "\xB1\xE0\xBC\xAD\xBF\xF2\xB1\xE0\xBA\xC5"
    "1";  // 编辑框编号1
inline constexpr std::string_view kResultsList =
    "\xB3\xAC\xBC\xB6\xC1\xD0\xB1\xED\xBF\xF2";  // 超级列表框
inline constexpr std::string_view kSearchPanel =
    "\xB7\xD6\xD7\xE9\xBF\xF2"
    "1";  // 分组框1
}  // namespace names

// The two captions of the start button: the run flag as the user sees it.
inline constexpr std::string_view kIdleCaption = "\xBF\xAA\xCA\xBC\xB2\xC9\xBC\xAF";  // 开始采集
inline constexpr std::string_view kRunningCaption = "\xCD\xA3  \xD6\xB9";             // 停  止

// All controls of the main window in form order.
std::span<const FormControl> MainForm();

// Index of a control in MainForm() by its GBK name; -1 when there is none.
int FormIndexOf(std::string_view nameGbk);

// The form's places are pixels for a font of 96 DPI. A font of more DPI (the
// desktop's font scaling) needs more room for every caption: the places grow
// by this factor, the font's DPI over 96, never below 1.
double FormScale(const QWidget& widget);

// A place of the form at a scale: its edges scaled and rounded, so controls
// that meet at 96 DPI still meet. A scale of 1 leaves it as it is.
QRect ScaledPlace(const QRect& place, double scale);

// Creates the widgets of form under client, in form order, and returns them in
// that order, at their places scaled by scale. Each widget's objectName is its
// control name (UTF-8). Earlier siblings are stacked on top: where two
// controls of one parent overlap, the one built first stays visible. A group
// box may come after its contents.
std::vector<QWidget*> BuildForm(QWidget* client, std::span<const FormControl> form,
                                double scale = 1);

}  // namespace dt::shell
