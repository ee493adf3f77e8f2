// The trace view ("Traza"): the form's question followed from the root servers down, one
// row per zone asked (the zone, the server that answered, its time, referral or answer and,
// with DNSSEC, the zone's verdict), each row added as its step is made. The walk runs on
// a thread of its own, so the window stays live through a silent server's time-out; its
// steps are handed to the user-interface thread as they come. Escape stops it through the
// one stop the trace's waits end on.
#pragma once

#include <QDialog>
#include <QString>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

#include "dns/zvDnsExchange.h"
#include "dns/zvDnsTrace.h"
#include "net/zvStop.h"

class QKeyEvent;
class QLabel;
class QProgressBar;
class QTreeWidget;

// What a trace asks, taken from the main window's form.
struct TTraceRequest {
  // The name as it is asked (a mail address's domain, an address's reverse name).
  std::string Name;
  std::int32_t Type = 0;
  // Port, time-out, transport and EDNS of every question; the trace chooses the server
  // and the bits of each.
  TzvDnsExchangeSettings Settings;
  // The resolvers the root servers are asked of when the system keeps no root hints.
  std::vector<std::string> Resolvers;
  // Each zone's keys judged, from the root's trust anchors (or PELLAMAR_TRUST_ANCHOR's).
  bool Dnssec = false;
};

class TTraceView : public QDialog {
  Q_OBJECT

 public:
  // The columns of Steps.
  enum TColumn { kZone, kServer, kTime, kResult, kDnssec, kColumnCount };

  explicit TTraceView(QWidget* parent = nullptr);
  ~TTraceView() override;

  // Empties the view and starts the trace; false (and nothing changes) while one runs.
  bool Start(const TTraceRequest& request);
  // Ends the running trace's wait at once; its steps so far stay.
  void Stop();
  bool Running() const { return running_; }

  // One top-level row per step, in the order they were made; under each, the records it
  // showed (the delegation, the answer or the denial's SOA) and the servers that failed.
  QTreeWidget* Steps;
  // Where the root servers came from.
  QLabel* Hints;
  // While it runs, what stops it; afterwards how it ended.
  QLabel* Outcome;
  QProgressBar* Busy;

 signals:
  // The trace has ended, answered, failed or stopped.
  void Finished();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  void AddStep(const TzvTraceStep& step);
  void Finish(int steps, const QString& failure, bool stopped);

  TzvStop stop_ = MakeStop();
  std::jthread worker_;
  bool running_ = false;
};
