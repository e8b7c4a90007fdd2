#include "ui/channel_panel.hpp"

#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

namespace orvane::ui {

PanelState panel_state(const PanelSnapshot& p) {
  if (!p.has_sensor) return PanelState::no_sensor;
  if (!p.enabled) return PanelState::disabled;
  if (p.digital) return p.event_state != 0 ? PanelState::alarm1 : PanelState::normal;
  // Analog levels: 1 is below threshold 1, k is at or above threshold k-1.
  if (p.event_state <= 0) return PanelState::idle;
  if (p.event_state == 1) return PanelState::normal;
  if (p.event_state == 2) return PanelState::alarm1;
  if (p.event_state == 3) return PanelState::alarm2;
  return PanelState::alarm3;
}

QString panel_state_text(PanelState state, const PanelSnapshot& p) {
  switch (state) {
    case PanelState::no_sensor:
      return QStringLiteral("no sensor");
    case PanelState::disabled:
      return QStringLiteral("disabled");
    case PanelState::idle:
      return QStringLiteral("waiting");
    case PanelState::normal:
      return p.digital ? QStringLiteral("off") : QStringLiteral("normal");
    default:
      break;
  }
  if (p.digital) return QStringLiteral("on");
  return QStringLiteral("above T%1").arg(p.event_state - 1);
}

namespace {

struct Colours {
  const char* background;
  const char* border;
  const char* text;
  const char* value;
};

Colours colours_for(PanelState s) {
  switch (s) {
    case PanelState::no_sensor:
      return {"#eceff1", "#cfd8dc", "#90a4ae", "#b0bec5"};
    case PanelState::disabled:
      return {"#e3e7ee", "#9aa5b8", "#5c6b80", "#7d8899"};
    case PanelState::idle:
      return {"#f1f8f3", "#81c784", "#2e4d35", "#2e4d35"};
    case PanelState::normal:
      return {"#e3f4e6", "#43a047", "#1b5e20", "#1b3d22"};
    case PanelState::alarm1:
      return {"#fff6cc", "#f2b600", "#7a5a00", "#4d3900"};
    case PanelState::alarm2:
      return {"#ffe4c4", "#f57c00", "#8a3c00", "#5c2800"};
    case PanelState::alarm3:
      return {"#ffd6d6", "#d32f2f", "#8e1212", "#6b0d0d"};
  }
  return {"#ffffff", "#000000", "#000000", "#000000"};
}

}  // namespace

ChannelPanel::ChannelPanel(int n, QWidget* parent) : QFrame(parent), n_(n) {
  setObjectName(QStringLiteral("pnl_%1").arg(n));
  setFrameShape(QFrame::NoFrame);
  setMinimumSize(116, 92);

  number_ = new QLabel(QString::number(n), this);
  number_->setObjectName(QStringLiteral("num_%1").arg(n));
  lbl_ = new QLabel(QStringLiteral("None"), this);
  lbl_->setObjectName(QStringLiteral("lbl_%1").arg(n));
  lbl_->setAlignment(Qt::AlignCenter);
  QFont lf = lbl_->font();
  lf.setBold(true);
  lf.setPointSizeF(lf.pointSizeF() * 1.1);
  lbl_->setFont(lf);

  value_ = new QLineEdit(QStringLiteral("0"), this);
  value_->setObjectName(QStringLiteral("value_%1").arg(n));
  value_->setReadOnly(true);
  value_->hide();

  mask_ = new QLineEdit(QStringLiteral("0"), this);
  mask_->setObjectName(QStringLiteral("mask_%1").arg(n));
  mask_->setReadOnly(true);
  mask_->setAlignment(Qt::AlignCenter);
  mask_->setFrame(false);
  mask_->setFocusPolicy(Qt::NoFocus);
  QFont vf = mask_->font();
  vf.setPointSizeF(vf.pointSizeF() * 2.0);
  vf.setBold(true);
  mask_->setFont(vf);

  level_ = new QLabel(this);
  level_->setObjectName(QStringLiteral("level_%1").arg(n));
  level_->setAlignment(Qt::AlignRight | Qt::AlignVCenter);
  QFont sf = level_->font();
  sf.setPointSizeF(sf.pointSizeF() * 0.85);
  level_->setFont(sf);
  number_->setFont(sf);

  auto* top = new QHBoxLayout;
  top->setContentsMargins(0, 0, 0, 0);
  top->addWidget(number_);
  top->addStretch();
  top->addWidget(level_);

  auto* box = new QVBoxLayout(this);
  box->setContentsMargins(8, 4, 8, 6);
  box->setSpacing(0);
  box->addLayout(top);
  box->addWidget(lbl_);
  box->addWidget(mask_);
  box->addWidget(value_);

  apply_style(PanelState::no_sensor);
  level_->setText(panel_state_text(PanelState::no_sensor, PanelSnapshot{}));
}

void ChannelPanel::render(const PanelSnapshot& p) {
  const auto lbl = QString::fromStdString(p.label);
  if (lbl_->text() != lbl) lbl_->setText(lbl);
  const auto value = QString::fromStdString(p.value);
  if (value_->text() != value) value_->setText(value);
  value_->setProperty("tag", p.event_state);
  const auto mask = QString::fromStdString(p.shown);
  if (mask_->text() != mask) mask_->setText(mask);

  const auto state = panel_state(p);
  const auto text = panel_state_text(state, p);
  if (level_->text() != text) level_->setText(text);
  if (state != state_ || !styled_) apply_style(state);
  // The label shows five characters of the Port ID; the tip names it whole.
  const auto name = p.port_id.empty() ? lbl : QString::fromStdString(p.port_id);
  const auto tip = QStringLiteral("Channel %1: %2 (%3)").arg(n_).arg(name, text);
  if (toolTip() != tip) setToolTip(tip);
}

void ChannelPanel::apply_style(PanelState state) {
  state_ = state;
  styled_ = true;
  const auto c = colours_for(state);
  setProperty("state", static_cast<int>(state));
  // Styles change only with the state, never on every snapshot.
  setStyleSheet(QStringLiteral("QFrame#%1 { background: %2; border: 2px solid %3; border-radius: 8px; }"
                               "QLabel { color: %4; background: transparent; border: none; }"
                               "QLineEdit { color: %5; background: transparent; border: none; }")
                    .arg(objectName(), c.background, c.border, c.text, c.value));
}

}  // namespace orvane::ui
