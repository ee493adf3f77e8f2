#include "app/TraceView.h"

#include <QCloseEvent>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QProgressBar>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <algorithm>
#include <cstdlib>
#include <ctime>

#include "app/DnsQueryLookup.h"
#include "app/FormLayout.h"
#include "app/LookupOutcome.h"
#include "app/WindowTexts.h"
#include "cli/CliTrace.h"
#include "cli/ResultText.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecTrace.h"

namespace {

using namespace zvWindowTexts;

// A file of root hints to start from instead of the system's (a private tree or a test
// bed), as PELLAMAR_TRUST_ANCHOR is for the keys; the window has no field for it.
constexpr const char* kRootHintsVariable = "PELLAMAR_ROOT_HINTS";

QString Utf8(const std::string& text) {
  return QString::fromStdString(text);
}

QString HintsText(const TzvRootHintsChoice& choice) {
  switch (choice.Source) {
    case TzvRootHintsSource::File:
    case TzvRootHintsSource::SystemFile:
      return QString::fromUtf8(kTraceHintsFromFile).arg(Utf8(EscapedName(choice.From)));
    case TzvRootHintsSource::Resolver:
      return QString::fromUtf8(kTraceHintsFromResolver).arg(Utf8(EscapedName(choice.From)));
    case TzvRootHintsSource::BuiltIn:
      break;
  }
  return QString::fromUtf8(kTraceHintsBuiltIn);
}

QString ResultText(const TzvTraceStep& step) {
  switch (step.Outcome) {
    case TzvTraceOutcome::Referral:
      return QString::fromUtf8(kTraceReferral).arg(Utf8(EscapedName(step.NextZone)));
    case TzvTraceOutcome::Answer:
      return QString::fromUtf8(kTraceAnswer);
    case TzvTraceOutcome::Alias:
      return QString::fromUtf8(kTraceAlias).arg(Utf8(EscapedName(step.AliasTarget)));
    case TzvTraceOutcome::NameError:
    case TzvTraceOutcome::NoData:
      return Utf8(TraceOutcomeText(step.Outcome));
    case TzvTraceOutcome::NoAnswer:
      break;
  }
  return QString::fromUtf8(kTraceNoAnswer);
}

// The records a step shows: a referral's delegation (NS, DS and their signatures), the
// answer, or the denial's SOA, as pellamar-cli --trace prints them.
const TzvDnsRecordList& ShownRecords(const TzvTraceStep& step) {
  if (step.Outcome == TzvTraceOutcome::Answer || step.Outcome == TzvTraceOutcome::Alias)
    return step.Response->Answers();
  return step.Response->Authorities();
}

// The root hints of the request, as pellamar-cli --trace chooses them.
TzvRootHintsChoice ChooseHints(TzvDnsTrace& trace, const TTraceRequest& request) {
  const char* file = std::getenv(kRootHintsVariable);
  if (file == nullptr || *file == '\0') return trace.ChooseRootHints(request.Resolvers);
  TzvRootHintsChoice choice;
  choice.Hints = ReadRootHintsFile(file);
  choice.Source = TzvRootHintsSource::File;
  choice.From = file;
  return choice;
}

}  // namespace

TTraceView::TTraceView(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("TraceView"));
  setSizeGripEnabled(true);
  auto* column = MakeChild<QVBoxLayout>(this);
  Hints = MakeChild<QLabel>(this);
  Hints->setObjectName(QStringLiteral("TraceHints"));
  column->addWidget(Hints);
  Steps = MakeChild<QTreeWidget>(this);
  Steps->setObjectName(QStringLiteral("TraceSteps"));
  Steps->setColumnCount(kColumnCount);
  QStringList headings;
  for (const char* heading : kTraceColumns) headings << QString::fromUtf8(heading);
  Steps->setHeaderLabels(headings);
  Steps->setUniformRowHeights(true);
  Steps->setAlternatingRowColors(true);
  Steps->setRootIsDecorated(true);
  Steps->header()->setStretchLastSection(false);
  Steps->header()->setSectionResizeMode(kServer, QHeaderView::Stretch);
  column->addWidget(Steps, 1);
  auto* foot = new QHBoxLayout;  // the column takes it over below
  Outcome = MakeChild<QLabel>(this);
  Outcome->setObjectName(QStringLiteral("TraceOutcome"));
  Busy = MakeChild<QProgressBar>(this);
  Busy->setRange(0, 0);  // a walk's length is not known before its end
  Busy->setMaximumWidth(160);
  Busy->setTextVisible(false);
  Busy->hide();
  foot->addWidget(Outcome, 1);
  foot->addWidget(Busy);
  column->addLayout(foot);
  resize(780, 420);
}

TTraceView::~TTraceView() {
  // The thread posts to this view: it ends before the view does.
  Stop();
  if (worker_.joinable()) worker_.join();
}

bool TTraceView::Start(const TTraceRequest& request) {
  if (running_) return false;
  if (worker_.joinable()) worker_.join();  // a stopped trace's thread, ending at once
  stop_->Reset();
  running_ = true;
  Steps->clear();
  Hints->clear();
  Outcome->setText(QString::fromUtf8(kTraceRunning));
  Busy->show();
  setWindowTitle(QString::fromUtf8(kTraceTitle)
                     .arg(Utf8(DnsTypeText(request.Type)), Utf8(EscapedName(request.Name))));

  worker_ = std::jthread([this, request, stop = stop_] {
    QString failure;
    bool stopped = false;
    int made = 0;
    try {
      TzvDnsTrace trace;
      trace.SetSettings(request.Settings);
      trace.SetStop(stop);
      // As pellamar-cli --trace bounds it: room for a silent server at each step, no more.
      trace.SetTotalTimeOut(static_cast<std::int32_t>(
          std::min<std::int64_t>(std::int64_t{trace.TimeOut()} * kCliTraceTimeOuts, INT32_MAX)));
      const TzvRootHintsChoice hints = ChooseHints(trace, request);
      trace.SetRootHints(hints.Hints);
      QMetaObject::invokeMethod(
          this, [this, text = HintsText(hints)] { Hints->setText(text); }, Qt::QueuedConnection);
      if (request.Dnssec)
        trace.SetZoneCheck(
            DnssecTraceCheck(WindowTrustAnchors(), static_cast<std::uint32_t>(std::time(nullptr))));
      trace.Run(request.Name, request.Type, [&](const TzvTraceStep& step) {
        ++made;
        QMetaObject::invokeMethod(
            this, [this, step] { AddStep(step); }, Qt::QueuedConnection);
      });
    } catch (const std::exception& e) {
      stopped = stop->StopRequested();
      failure = Utf8(EscapedName(e.what()));
    }
    QMetaObject::invokeMethod(
        this, [this, made, failure, stopped] { Finish(made, failure, stopped); },
        Qt::QueuedConnection);
  });
  return true;
}

void TTraceView::Stop() {
  if (running_) stop_->RequestStop();
}

void TTraceView::AddStep(const TzvTraceStep& step) {
  auto* row = new QTreeWidgetItem(Steps);  // owned by Steps
  const QString zone = Utf8(EscapedName(step.Zone));
  // A walk nested for a name server's address names what it looks for.
  row->setText(kZone,
               step.Level == 0
                   ? zone
                   : QString::fromUtf8(kTraceNested).arg(Utf8(EscapedName(step.Name)), zone));
  row->setText(kServer, step.ServerAddress.empty() ? QString::fromUtf8(kTraceNoServer)
                                                   : Utf8(EscapedName(step.ServerAddress) + " (" +
                                                          EscapedName(step.ServerName) + ")"));
  if (!step.ServerAddress.empty())
    row->setText(kTime, Utf8(FormatElapsed(step.ElapsedMicroseconds)));
  row->setTextAlignment(kTime, Qt::AlignRight | Qt::AlignVCenter);
  row->setText(kResult, ResultText(step));
  if (step.Dnssec) {
    row->setText(kDnssec,
                 QString::fromUtf8(kTraceVerdicts[static_cast<int>(step.Dnssec->Verdict)]));
    row->setToolTip(kDnssec, Utf8(DescribeDnssec(*step.Dnssec).Details));
    // A forged zone must not be overlooked: white on red in any theme, as in the status bar.
    if (step.Dnssec->Verdict == TzvDnssecVerdict::Bogus) {
      row->setBackground(kDnssec, QColor(0xc6, 0x28, 0x28));
      row->setForeground(kDnssec, Qt::white);
      QFont bold = row->font(kDnssec);
      bold.setBold(true);
      row->setFont(kDnssec, bold);
    }
  }
  const auto detail = [row](const std::string& text) {
    auto* line = new QTreeWidgetItem(row);  // owned by the step's row
    line->setText(kZone, Utf8(text));
    line->setFont(kZone, FixedFont());
    line->setFirstColumnSpanned(true);
  };
  for (const std::string& failed : step.Failures) detail(";; " + EscapedName(failed));
  if (step.Response != nullptr)
    for (const auto& record : ShownRecords(step))
      if (record->RecordType != kzvDnsTypeOPT) detail(RecordLine(*record));
  // The short columns fit their steps (not the records under them, which span the row).
  const QFontMetrics metrics(Steps->font());
  constexpr int kPadding = 16;
  for (const int column : {kZone, kTime, kResult, kDnssec}) {
    int wide = metrics.horizontalAdvance(Steps->headerItem()->text(column)) + 2 * kPadding;
    for (int i = 0; i < Steps->topLevelItemCount(); ++i)
      wide = std::max(wide, metrics.horizontalAdvance(Steps->topLevelItem(i)->text(column)) +
                                kPadding + (column == kZone ? Steps->indentation() : 0));
    Steps->setColumnWidth(column, wide);
  }
  // The end of the walk is what was asked for: shown open.
  if (step.Outcome != TzvTraceOutcome::Referral && step.Level == 0) row->setExpanded(true);
  Steps->scrollToItem(row);
}

void TTraceView::Finish(int steps, const QString& failure, bool stopped) {
  running_ = false;
  Busy->hide();
  if (stopped)
    Outcome->setText(QString::fromUtf8(kTraceStopped));
  else if (!failure.isEmpty())
    Outcome->setText(QString::fromUtf8(kTraceFailed).arg(failure));
  else
    Outcome->setText(QString::fromUtf8(kTraceDone).arg(steps));
  emit Finished();
}

void TTraceView::keyPressEvent(QKeyEvent* event) {
  // Escape stops a running trace and leaves its steps in view; otherwise it closes.
  if (event->key() == Qt::Key_Escape && running_) {
    Stop();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TTraceView::closeEvent(QCloseEvent* event) {
  Stop();
  QDialog::closeEvent(event);
}
