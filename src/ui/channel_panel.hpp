// One channel panel pnl_N: the name lbl_N, the value as shown mask_N (large,
// readable from a step back) and the hidden value_N, coloured by the
// channel's state.
#pragma once
#include "station/snapshot.hpp"

#include <QFrame>
#include <QString>

class QLabel;
class QLineEdit;

namespace orvane::ui {

// What a panel's colour tells the operator.
enum class PanelState {
  no_sensor,  // no Port ID on the grid row
  disabled,  // a sensor whose Enabled cell is not "Y"
  idle,  // enabled, not checked for events yet (level 0)
  normal,  // below threshold 1, or a digital input at 0
  alarm1,  // above threshold 1 (digital: input set)
  alarm2,  // above threshold 2
  alarm3,  // above threshold 3 or higher
};

PanelState panel_state(const PanelSnapshot& p);
QString panel_state_text(PanelState state, const PanelSnapshot& p);

class ChannelPanel : public QFrame {
  Q_OBJECT

 public:
  ChannelPanel(int n, QWidget* parent = nullptr);
  void render(const PanelSnapshot& p);
  PanelState state() const { return state_; }

 private:
  void apply_style(PanelState state);

  int n_;
  QLabel* number_;
  QLabel* lbl_;
  QLineEdit* value_;
  QLineEdit* mask_;
  QLabel* level_;
  PanelState state_ = PanelState::no_sensor;
  bool styled_ = false;
};

}  // namespace orvane::ui
