// The station's icon, drawn rather than shipped, for the window and tray.
#pragma once
#include <QIcon>

namespace orvane::ui {

QIcon app_icon();

}  // namespace orvane::ui
