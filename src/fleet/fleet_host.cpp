#include "fleet/fleet_host.hpp"

#include "core/limits.hpp"
#include "fleet/fleet_station.hpp"
#include "fleet/thread_flush.hpp"
#include "fleet/thread_steady_time.hpp"
#include "http/station_board.hpp"
#include "platform/clock.hpp"
#include "platform/line_output.hpp"

#include <asio/executor_work_guard.hpp>
#include <asio/post.hpp>
#include <asio/steady_timer.hpp>

#include <sys/resource.h>
#include <unistd.h>

#include <algorithm>
#include <condition_variable>
#include <future>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>

namespace orvane::fleet {

namespace {
// Each station thread tells it turns this often (a timer, not a busy wait).
constexpr auto kBeatPeriod = std::chrono::milliseconds(100);
}  // namespace

struct FleetHost::Thread {
  // Run by this thread only: the reactor's per-descriptor locks are left
  // out, as in a station process. Other threads only post.
  asio::io_context ioc{ASIO_CONCURRENCY_HINT_UNSAFE_IO};
  asio::executor_work_guard<asio::io_context::executor_type> work = asio::make_work_guard(ioc);
  SystemClock clock;
  ThreadSteadyTime steady{ioc};
  ThreadFlush flush{ioc};
  std::optional<LineOutput> stdout_lines;
  std::vector<std::unique_ptr<FleetStation>> stations;
  asio::steady_timer beat_timer{ioc};
  // The HTTP endpoint's side, once attached: this thread's stations as the
  // board knows them, a part of them published every tick.
  struct Published {
    FleetStation* station;
    http::StationBoard::Slot slot;
    http::StationControl control;
  };
  http::StationBoard* board = nullptr;
  std::vector<Published> published;
  std::unordered_map<long, Published*> by_index;
  asio::steady_timer publish_timer{ioc};
  unsigned publish_tick = 0;
  std::atomic<std::chrono::steady_clock::rep> last_beat{std::chrono::steady_clock::now().time_since_epoch().count()};
  std::thread thread;

  void beat() {
    last_beat.store(std::chrono::steady_clock::now().time_since_epoch().count(), std::memory_order_relaxed);
    beat_timer.expires_after(kBeatPeriod);
    beat_timer.async_wait([this](std::error_code ec) {
      if (!ec) beat();
    });
  }

  // Views of every kFleetPublishParts-th station (all of them when `all`),
  // onto the board in one batch.
  void publish(bool all) {
    std::vector<std::pair<http::StationBoard::Slot, std::shared_ptr<const http::StationView>>> views;
    const unsigned part = publish_tick++ % limits::kFleetPublishParts;
    for (std::size_t j = all ? 0 : part; j < published.size(); j += all ? 1 : limits::kFleetPublishParts) {
      auto& p = published[j];
      p.station->station().guarded([&] { views.emplace_back(p.slot, http::take_view(p.control)); });
    }
    board->publish(std::move(views));
  }
  void publish_every_tick() {
    publish_timer.expires_after(std::chrono::milliseconds(limits::kHttpPublishMs));
    publish_timer.async_wait([this](std::error_code ec) {
      if (ec) return;
      publish(false);
      publish_every_tick();
    });
  }
};

FleetHost::FleetHost(FleetPlan plan, Options options) : plan_(std::move(plan)), options_(std::move(options)) {
  int n = options_.threads > 0 ? options_.threads : plan_.threads;
  if (n <= 0) n = static_cast<int>(std::max(1u, std::thread::hardware_concurrency()));
  n = std::min<int>(n, static_cast<int>(std::max<std::size_t>(1, plan_.stations.size())));
  for (int i = 0; i < n; ++i) threads_.push_back(std::make_unique<Thread>());
  // Descriptors: one listening socket per station at rest, a few per
  // thread and upload session, a reserve for the stations' own files; the
  // rest is for hosts, shared by all stations.
  const auto sessions = static_cast<std::size_t>(std::max(1, plan_.upload_sessions));
  rlimit rl{};
  const std::uint64_t limit = ::getrlimit(RLIMIT_NOFILE, &rl) == 0 ? rl.rlim_cur : 1024;
  const std::uint64_t used = plan_.stations.size() + static_cast<std::uint64_t>(n) * 8 + sessions * 4 +
                             static_cast<std::uint64_t>(limits::kDescriptorReserve) + 64;
  hosts_ = std::make_unique<HostBudget>(static_cast<std::size_t>(limit > used + 1 ? limit - used : 1));
  if (options_.make_uplink) pool_ = std::make_unique<UploadPool>(options_.make_uplink, sessions);
}

FleetHost::~FleetHost() { stop(); }

StartReport FleetHost::start(const std::function<void(std::size_t, std::size_t)>& progress) {
  StartReport report;
  report.stations = plan_.stations.size();
  std::mutex m;
  std::condition_variable cv;
  std::size_t done = 0, threads_done = 0;
  const bool any_stdout = std::any_of(plan_.stations.begin(), plan_.stations.end(),
                                      [](const StationPlan& s) { return s.log == LogDestination::stdout_lines; });
  if (any_stdout) std::fflush(stdout);
  const std::size_t nthreads = threads_.size();
  for (std::size_t t = 0; t < nthreads; ++t) {
    Thread& th = *threads_[t];
    asio::post(th.ioc, [&, t] {
      if (any_stdout) th.stdout_lines.emplace(th.ioc, STDOUT_FILENO);
      th.beat();
      // Station i runs on thread i % threads, in the file's order.
      for (std::size_t i = t; i < plan_.stations.size(); i += nthreads) {
        const auto& plan = plan_.stations[i];
        std::string failure;
        try {
          ThreadShared shared{th.ioc,      th.clock,  th.stdout_lines ? &*th.stdout_lines : nullptr,
                              nullptr,     &th.flush, hosts_.get(),
                              pool_.get(), &th.steady};
          auto station =
              std::make_unique<FleetStation>(plan, shared, options_.make_uplink ? options_.make_uplink() : nullptr);
          station->start();
          if (i == 0) report.first_port = station->server().port();
          th.stations.push_back(std::move(station));
        } catch (const std::exception& e) {
          failure = e.what();
        }
        std::lock_guard lock(m);
        ++done;
        if (failure.empty())
          ++report.up;
        else
          report.failures.emplace_back(plan.index, failure);
        cv.notify_all();
      }
      std::lock_guard lock(m);
      ++threads_done;
      cv.notify_all();
    });
    th.thread = std::thread([&th] { th.ioc.run(); });
  }
  {
    std::unique_lock lock(m);
    std::size_t told = 0;
    auto next_told = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    while (threads_done < nthreads) {
      cv.wait_until(lock, next_told);
      if (std::chrono::steady_clock::now() < next_told) continue;
      next_told += std::chrono::seconds(1);
      if (progress && done != told && threads_done < nthreads) {
        told = done;
        const auto d = done;
        lock.unlock();
        progress(d, report.stations);
        lock.lock();
      }
    }
  }
  std::sort(report.failures.begin(), report.failures.end());
  // The descriptions are not needed any more; their memory goes back.
  plan_.stations.clear();
  plan_.stations.shrink_to_fit();
  return report;
}

void FleetHost::stop() noexcept {
  if (stopped_) return;
  stopped_ = true;
  // Uploads under way end at once (what they stored leaves the buffers),
  // those queued are dropped: the stations then end without waiting on a host.
  if (pool_) pool_->stop();
  for (auto& t : threads_) {
    if (!t->thread.joinable()) continue;
    Thread& th = *t;
    asio::post(th.ioc, [&th] {
      th.beat_timer.cancel();
      // Actions posted from now on find no station and are dropped unrun.
      th.publish_timer.cancel();
      th.by_index.clear();
      th.published.clear();
      // Lines written but not yet flushed count before the stations end.
      th.flush.flush_now();
      // In the order they started, each ended whole before the next.
      for (auto& s : th.stations) s.reset();
      th.stations.clear();
      th.stdout_lines.reset();
      th.work.reset();
      th.ioc.stop();
    });
  }
  for (auto& t : threads_)
    if (t->thread.joinable()) t->thread.join();
}

void FleetHost::attach(http::StationBoard& board) {
  struct Found {
    long index;
    Thread* thread;
    FleetStation* station;
  };
  std::vector<Found> all;
  for (auto& t : threads_)
    for (auto& s : t->stations) all.push_back({s->index(), t.get(), s.get()});
  std::sort(all.begin(), all.end(), [](const Found& a, const Found& b) { return a.index < b.index; });
  std::vector<std::vector<std::pair<FleetStation*, http::StationBoard::Slot>>> per_thread(threads_.size());
  for (const auto& f : all) {
    // Two directories of one base name (a/x, b/x): the later is x-INDEX.
    std::string name = f.station->name();
    while (name.empty() || board.find(name)) name += "-" + std::to_string(f.index);
    Thread& th = *f.thread;
    const auto slot = board.add(name, [&th, index = f.index](http::StationBoard::Action action) {
      asio::post(th.ioc, [&th, index, action = std::move(action)] {
        const auto it = th.by_index.find(index);
        if (it == th.by_index.end()) return;  // ended: the action goes unrun
        auto& p = *it->second;
        p.station->station().guarded([&] { action(p.control); });
        // Published at once, so the view agrees with the action's answer.
        p.station->station().guarded([&] { th.board->publish(p.slot, http::take_view(p.control)); });
      });
    });
    const auto t = static_cast<std::size_t>(
        std::find_if(threads_.begin(), threads_.end(), [&](const auto& x) { return x.get() == &th; }) -
        threads_.begin());
    per_thread[t].emplace_back(f.station, slot);
  }
  std::vector<std::future<void>> ready;
  for (std::size_t t = 0; t < threads_.size(); ++t) {
    Thread& th = *threads_[t];
    auto done = std::make_shared<std::promise<void>>();
    ready.push_back(done->get_future());
    asio::post(th.ioc, [&th, &board, stations = std::move(per_thread[t]), done] {
      th.board = &board;
      th.published.reserve(stations.size());
      for (const auto& [station, slot] : stations) th.published.push_back({station, slot, station->control()});
      for (auto& p : th.published) th.by_index.emplace(p.station->index(), &p);
      th.publish(true);
      th.publish_every_tick();
      done->set_value();
    });
  }
  for (auto& f : ready) f.wait();
}

UploadPoolStats FleetHost::upload_stats() const { return pool_ ? pool_->stats() : UploadPoolStats{}; }

FleetHost::Totals FleetHost::totals() const {
  Totals t;
  for (const auto& th : threads_) {
    t.appends += th->flush.appends();
    t.flushes += th->flush.flushes();
    t.longest_flush = std::max(t.longest_flush, th->flush.longest());
  }
  return t;
}

bool FleetHost::threads_turning(std::chrono::steady_clock::duration within) {
  const auto now = std::chrono::steady_clock::now().time_since_epoch();
  for (auto& t : threads_)
    if (now - std::chrono::steady_clock::duration(t->last_beat.load(std::memory_order_relaxed)) > within) return false;
  return true;
}

}  // namespace orvane::fleet
