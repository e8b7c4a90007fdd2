// Pictures of the running station's window and dialogs, for the README and
// for checking the look on a machine without a desktop (scripts/screenshot
// runs the station under Xvfb with ORVANE_SCREENSHOTS set).
#pragma once
#include <QString>

namespace orvane::ui {

class MainWindow;

// After `delay_ms` of live snapshots, saves main.png, setup.png, eventlog.png
// (the newest file in log/, if any) and about.png into `dir`, then ends the
// window loop.
void schedule_screenshots(MainWindow& window, const QString& dir, int delay_ms);

}  // namespace orvane::ui
