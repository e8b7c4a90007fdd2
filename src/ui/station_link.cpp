#include "ui/station_link.hpp"

#include <QMetaObject>

#include <asio/post.hpp>

namespace orvane::ui {

StationLink::StationLink(Station& station, QObject* parent)
    : QObject(parent), station_(station), gate_(std::make_shared<Gate>()) {
  gate_->link = this;
  qRegisterMetaType<std::shared_ptr<const orvane::StationSnapshot>>();
}

StationLink::~StationLink() {
  std::lock_guard lock(gate_->mutex);
  gate_->link = nullptr;
}

void StationLink::request_snapshot() {
  if (pending_) return;
  pending_ = true;
  asio::post(station_.io_context(), [&station = station_, gate = gate_, seen = memo_seen_] {
    std::shared_ptr<const StationSnapshot> snap;
    station.guarded([&] { snap = std::make_shared<const StationSnapshot>(station.snapshot(seen)); });
    std::lock_guard lock(gate->mutex);
    if (!gate->link) return;
    QMetaObject::invokeMethod(
        gate->link, [link = gate->link, snap] { link->deliver(snap); }, Qt::QueuedConnection);
  });
}

void StationLink::deliver(std::shared_ptr<const StationSnapshot> snapshot) {
  pending_ = false;
  if (!snapshot) return;
  memo_seen_ = snapshot->memo_total;
  emit snapshot_ready(std::move(snapshot));
}

void StationLink::post(std::function<void(Station&)> action) {
  asio::post(station_.io_context(),
             [&station = station_, action = std::move(action)] { station.guarded([&] { action(station); }); });
}

void StationLink::install_operator_alert() {
  post([gate = gate_](Station& station) {
    station.set_operator_alert([gate, &station](const std::string& text) {
      std::lock_guard lock(gate->mutex);
      if (!gate->link) {
        station.log(text);
        return;
      }
      QMetaObject::invokeMethod(
          gate->link, [link = gate->link, t = QString::fromStdString(text)] { emit link->operator_alert(t); },
          Qt::QueuedConnection);
    });
  });
}

void StationLink::log(const std::string& text) { station_.log(text); }

}  // namespace orvane::ui
