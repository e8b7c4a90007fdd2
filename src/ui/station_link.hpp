// The window's only road to the station: snapshots requested from and
// delivered back by the station thread, operator actions posted to it, and
// operator alerts from it. Safe against either side going away first.
#pragma once
#include "station/snapshot.hpp"
#include "station/station.hpp"

#include <QObject>
#include <QString>

#include <functional>
#include <memory>
#include <mutex>

namespace orvane::ui {

class StationLink : public QObject {
  Q_OBJECT

 public:
  explicit StationLink(Station& station, QObject* parent = nullptr);
  ~StationLink() override;

  // Asks the station thread for a snapshot; does nothing while one is on its
  // way, so a busy station never piles requests up.
  void request_snapshot();
  bool snapshot_pending() const { return pending_; }

  // Runs `action` on the station thread; an exception is logged
  // "Error : " + message there.
  void post(std::function<void(Station&)> action);

  // Installs the window's alert notifier on the station (the message box).
  void install_operator_alert();

  // Lines reach the operator log from any thread.
  void log(const std::string& text);

 signals:
  void snapshot_ready(std::shared_ptr<const orvane::StationSnapshot> snapshot);
  void operator_alert(const QString& text);

 private:
  // Shared with the closures on the station thread; `link` is cleared under
  // the mutex before the link is destroyed, so no event is posted to a
  // deleted object.
  struct Gate {
    std::mutex mutex;
    StationLink* link = nullptr;
  };
  void deliver(std::shared_ptr<const StationSnapshot> snapshot);

  Station& station_;
  std::shared_ptr<Gate> gate_;
  std::uint64_t memo_seen_ = 0;
  bool pending_ = false;
};

}  // namespace orvane::ui
