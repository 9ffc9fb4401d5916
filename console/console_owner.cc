#include "console/console_owner.h"

#include <cstdio>
#include <future>

#include "config/protocols.h"
#include "config/settings.h"

namespace tw {

ConsoleOwner::ConsoleOwner(std::string dataDir, const Clock& clock)
    : dataDir_(std::move(dataDir)),
      ownerThread_(std::this_thread::get_id()),
      activity_(ActivityLogMode::kConsole, dataDir_, clock),
      options_(dataDir_),
      traffic_(dataDir_, "console", clock) {}

ConsoleOwner::~ConsoleOwner() {
  traffic_.SetCollector(nullptr);  // the manager goes before the book
  live_.Close();
}

void ConsoleOwner::StartUp(std::string* fileError) {
  if (!activity_.Start()) *fileError = activity_.FileError();
  ApplyLogLimits();
  traffic_.Start();
  options_.Load();
  activity_.SetSavelog(options_.values().savelog);
  manager_ = std::make_unique<ServerManager>(
      ManagerHost::kConsole, dataDir_, [this](const std::string& line) { LogLine(line); },
      activity_.Sink());
  manager_->SetTrafficSink(&traffic_);
  traffic_.SetCollector([manager = manager_.get()] { manager->ReportTraffic(); });
  ManagerEvents& events = manager_->events;
  events.onlineChanged = [this](bool) { PublishStatus(); };
  events.refreshServerStatus = [this] { PublishStatus(); };
  events.messageBox = [this](const std::string& text, bool error) {
    ConsoleNotice notice{nextNoticeId_++, text, error};
    if (inAction_) {
      raised_.push_back(notice);
      return;
    }
    MutexLock lock(status_mu_);
    status_.notices.push_back(notice);
  };
  events.startFailed = [this] {
    {
      MutexLock lock(status_mu_);
      status_.startFailed = true;
    }
    PublishStatus();
  };
  events.isServiceRunning = [this] { return isServiceRunning && isServiceRunning(); };
  events.listenFailed = [this](const std::string& line) {
    std::fprintf(stderr, "tarnwick: %s\n", line.c_str());
    LogLine(line);
  };
  PublishStatus();
}

void ConsoleOwner::AutoActivate() {
  if (options_.values().autoActive) manager_->StartServers();
  PublishStatus();
}

void ConsoleOwner::LogLine(const std::string& line) {
  activity_.LogActivity(line);
  live_.Notify();
}

bool ConsoleOwner::Call(const std::function<void()>& fn, std::vector<ConsoleNotice>* messages) {
  std::vector<ConsoleNotice> raised;
  auto run = [this, &fn, &raised] {
    inAction_ = true;
    fn();
    inAction_ = false;
    raised.swap(raised_);
    raised_.clear();
    PublishStatus();
  };
  if (std::this_thread::get_id() == ownerThread_) {
    run();
  } else {
    std::promise<void> done;
    std::future<void> finished = done.get_future();
    {
      MutexLock lock(accept_mu_);
      if (!accepting_) return false;
      actions_.Post([&run, &done] {
        run();
        done.set_value();
      });
    }
    finished.wait();
  }
  if (messages != nullptr) *messages = std::move(raised);
  return true;
}

void ConsoleOwner::DrainActions() {
  actions_.Drain([](std::function<void()>&& action) { action(); });
}

void ConsoleOwner::DrainActivity() {
  if (activity_.DrainPosted() > 0) live_.Notify();
}

void ConsoleOwner::CloseActions() {
  {
    MutexLock lock(accept_mu_);
    accepting_ = false;
  }
  DrainActions();
}

void ConsoleOwner::Shutdown() {
  if (manager_ != nullptr) manager_->StopServers();
  traffic_.Stop();
  if (!traffic_.LastError().empty()) LogLine(traffic_.LastError());
  DrainActivity();
  std::string error;
  if (!options_.SaveOptions(&error)) LogLine(error);
  PublishStatus();
}

ConsoleStatus ConsoleOwner::Status() const {
  MutexLock lock(status_mu_);
  return status_;
}

void ConsoleOwner::DismissNotice(std::uint64_t id) {
  {
    MutexLock lock(status_mu_);
    std::erase_if(status_.notices, [id](const ConsoleNotice& n) { return n.id == id; });
  }
  live_.Notify();
}

void ConsoleOwner::ClearLogRows() {
  activity_.ClearRows();
  {
    MutexLock lock(status_mu_);
    ++status_.logsCleared;
  }
  live_.Notify();
}

void ConsoleOwner::ApplyLogLimits() {
  Settings settings = Settings::InDataDir(dataDir_);
  int rows = settings.Int(setting::kConsoleLogRows);
  int megabytes = settings.Int(setting::kConsoleLogMegabytes);
  // Out-of-range values take the defaults; a budget above 1 GB would defeat the bound.
  std::size_t keepRows = rows >= 1 && rows <= 1000000 ? static_cast<std::size_t>(rows)
                                                      : kDefaultActivityRows;
  std::size_t keepMegabytes = megabytes >= 1 && megabytes <= 1024
                                  ? static_cast<std::size_t>(megabytes)
                                  : kDefaultActivityBytes / (1024 * 1024);
  activity_.SetRowLimits(keepRows, keepMegabytes * 1024 * 1024);
  {
    MutexLock lock(status_mu_);
    status_.logRows = keepRows;
    status_.logMegabytes = keepMegabytes;
  }
  live_.Notify();
}

int ConsoleOwner::SampleThroughput(std::uint64_t nowMs) {
  constexpr std::uint64_t kSampleMs = 1000;
  if (manager_ == nullptr) return static_cast<int>(kSampleMs);
  if (nowMs >= nextSampleMs_) {
    ProxyTotalsReading reading;
    for (int i = 0; i < kThroughputProxies; ++i) reading[i] = manager_->Totals(kFirstProtocol + i);
    throughput_.Record(nowMs, reading);
    // Keep to whole seconds from the first reading; after a stall start again from now.
    nextSampleMs_ = nextSampleMs_ + kSampleMs > nowMs ? nextSampleMs_ + kSampleMs : nowMs + kSampleMs;
  }
  return static_cast<int>(nextSampleMs_ - nowMs);
}

void ConsoleOwner::PublishStatus() {
  if (manager_ == nullptr) return;
  std::vector<ServerStatusRow> rows;
  for (std::int32_t id = kFirstProtocol; id <= kLastProtocol; ++id) {
    // A running proxy shows the port it listens on (the kernel's pick for port 0).
    bool running = manager_->Running(id);
    rows.push_back({id, NamesOf(id).upper, running,
                    running ? manager_->Server(id).port() : manager_->LastPort(id)});
  }
  {
    MutexLock lock(status_mu_);
    status_.online = manager_->AllServersActive();
    status_.servers = std::move(rows);
  }
  live_.Notify();
}

}  // namespace tw
