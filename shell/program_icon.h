// The program's icon, drawn at run time in the four sizes the window uses.
#pragma once

#include <QIcon>

namespace dt::shell {

inline constexpr int kIconSizes[] = {16, 24, 32, 48};

// A dovetail joint on a rounded square, 32-bit with alpha.
QIcon ProgramIcon();

}  // namespace dt::shell
