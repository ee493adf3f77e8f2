#include "app/BatchView.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFileDialog>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QMessageBox>
#include <QProgressBar>
#include <QPushButton>
#include <QSaveFile>
#include <QSortFilterProxyModel>
#include <QStatusBar>
#include <QTableView>
#include <QTimer>
#include <QVBoxLayout>
#include <algorithm>
#include <array>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <numeric>

#include "app/FormLayout.h"
#include "app/LookupOutcome.h"
#include "app/WindowTexts.h"
#include "base/SysUtils.h"
#include "cli/CliBatch.h"
#include "cli/JsonText.h"
#include "cli/ResultText.h"
#include "dns/zvDnsBatch.h"
#include "dns/zvDnsQuery.h"
#include "dns/zvIdn.h"
#include "dns/zvUtils.h"
#include "net/zvSocketUtils.h"

namespace {

using namespace zvWindowTexts;
using Clock = std::chrono::steady_clock;

// How often the table takes what the thread has handed over, and how long one turn may
// spend putting rows into it: the window's other events wait no longer than that.
constexpr int kPullEveryMs = 40;
constexpr qint64 kTurnBudgetMs = 25;
// The rows one insertion takes.
constexpr std::size_t kChunk = 4096;
// How often rows added to a sorted table are put in their places while the batch runs.
constexpr qint64 kSortEveryMs = 250;
// The thread hands its rows over this often, or at this many, whichever comes first.
constexpr auto kHandEvery = std::chrono::milliseconds(20);
constexpr std::size_t kHandAt = 2048;

QString Utf8(const std::string& text) {
  return QString::fromStdString(text);
}

QString Grouped(std::int64_t number) {
  return QLocale(QLocale::Spanish, QLocale::Spain).toString(static_cast<qlonglong>(number));
}

// The engine's outcome of one question as the row shows it.
TBatchRow RowOf(const TBatchLine& line, const TzvBatchAnswer& answer) {
  TBatchRow row;
  row.Line = line.Number;
  row.Name = Utf8(EscapedName(line.Name));
  row.Type = line.Type;
  row.ElapsedMicroseconds = answer.ElapsedMicroseconds;
  if (answer.Answered) {
    // One text for each code, shared by every row that has it.
    static thread_local std::array<QString, 16> kCodeNames;
    const bool usual = answer.ResponseCode >= 0 && answer.ResponseCode < 16;
    if (usual && kCodeNames[static_cast<std::size_t>(answer.ResponseCode)].isEmpty())
      kCodeNames[static_cast<std::size_t>(answer.ResponseCode)] =
          Utf8(DnsResponseCodeName(answer.ResponseCode));
    row.Status = usual ? kCodeNames[static_cast<std::size_t>(answer.ResponseCode)]
                       : Utf8(DnsResponseCodeName(answer.ResponseCode));
    for (const auto& record : answer.Message.Answers())
      if (record->RecordType != kzvDnsTypeOPT) row.Data << Utf8(RecordDataText(*record));
  } else if (answer.ErrorCode == kzvDnsErrInvalidName) {
    row.Status = Utf8(EscapedName(answer.ErrorText));
  } else {
    const TLookupFailure failure{answer.ErrorCode == kzvErrAborted ? TLookupFailureKind::kStopped
                                                                   : TLookupFailureKind::kSocket,
                                 answer.ErrorCode, answer.ErrorText};
    row.Status = Utf8(DescribeOutcome({}, failure).Result);
  }
  return row;
}

TBatchRow BadLineRow(const TBatchLine& line) {
  TBatchRow row;
  row.Line = line.Number;
  row.Name = Utf8(EscapedName(line.Name));
  row.Type = line.Type;
  row.Status = QString::fromUtf8(kBatchBadLine).arg(line.Number).arg(Utf8(line.Problem));
  return row;
}

QString DataText(const TBatchRow& row) {
  return row.Data.size() == 1 ? row.Data.front() : row.Data.join(QStringLiteral("; "));
}

// A CSV field, quoted when it holds a separator, a quote or a line break (RFC 4180).
QByteArray CsvField(const QString& text) {
  QByteArray bytes = text.toUtf8();
  if (!bytes.contains(',') && !bytes.contains('"') && !bytes.contains('\n') &&
      !bytes.contains('\r'))
    return bytes;
  bytes.replace("\"", "\"\"");
  return '"' + bytes + '"';
}

QByteArray Milliseconds(std::int64_t microseconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f", static_cast<double>(microseconds) / 1000.0);
  return text;
}

}  // namespace

int TBatchRowsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TBatchRowsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QVariant TBatchRowsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  const TBatchRow& row = Row(index.row());
  const int column = index.column();
  if (role == Qt::TextAlignmentRole && column == kTime)
    return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
  if (role == Qt::ToolTipRole && column == kData && row.Data.size() > 1)
    return row.Data.join(QLatin1Char('\n'));
  if (role != Qt::DisplayRole) return {};
  switch (column) {
    case kName:
      return row.Name;
    case kType:
      return Utf8(DnsTypeText(row.Type));
    case kStatus:
      return row.Status;
    case kData:
      return DataText(row);
    case kTime:
      return row.ElapsedMicroseconds < 0 ? QVariant()
                                         : QVariant(Utf8(FormatElapsed(row.ElapsedMicroseconds)));
    default:
      return {};
  }
}

QVariant TBatchRowsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (role != Qt::DisplayRole) return {};
  if (orientation == Qt::Vertical)
    return section >= 0 && section < rowCount()
               ? QVariant(static_cast<qlonglong>(Row(section).Line))
               : QVariant();
  return section >= 0 && section < kColumnCount ? QString::fromUtf8(kBatchColumns[section])
                                                : QVariant();
}

void TBatchRowsModel::sort(int column, Qt::SortOrder order) {
  sort_column_ = column;
  sort_order_ = order;
  Reorder(0);
}

void TBatchRowsModel::Reorder(std::size_t kept) {
  const int column = sort_column_;
  // Numbers are compared from a contiguous copy of them, texts where they live.
  std::vector<std::int64_t> number;
  if (column == kType || column == kTime || column < 0 || column >= kColumnCount) {
    number.resize(rows_.size());
    for (std::size_t i = 0; i < rows_.size(); ++i)
      number[i] = column == kType   ? rows_[i].Type
                  : column == kTime ? rows_[i].ElapsedMicroseconds
                                    : rows_[i].Line;
  }
  const auto less = [&](int a, int b) {
    const TBatchRow& left = rows_[static_cast<std::size_t>(a)];
    const TBatchRow& right = rows_[static_cast<std::size_t>(b)];
    switch (column) {
      case kName:
        return left.Name < right.Name;
      case kStatus:
        return left.Status < right.Status;
      case kData:
        // One item each, as most rows have, is compared where it lives.
        if (left.Data.size() == 1 && right.Data.size() == 1)
          return left.Data.front() < right.Data.front();
        return DataText(left) < DataText(right);
      default:
        return number[static_cast<std::size_t>(a)] < number[static_cast<std::size_t>(b)];
    }
  };
  const bool ascending = sort_order_ == Qt::AscendingOrder;
  const auto before = [&](int a, int b) { return ascending ? less(a, b) : less(b, a); };
  // The rows in order already stay so: only those added since are sorted, then merged in.
  const std::vector<int> old_order = order_;
  const auto middle = order_.begin() + static_cast<std::ptrdiff_t>(std::min(kept, order_.size()));
  std::stable_sort(middle, order_.end(), before);
  std::inplace_merge(order_.begin(), middle, order_.end(), before);
  in_order_ = order_.size();

  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  // The selection and the current row follow their rows.
  std::vector<int> place_of(order_.size());
  for (std::size_t i = 0; i < order_.size(); ++i)
    place_of[static_cast<std::size_t>(order_[i])] = static_cast<int>(i);
  const QModelIndexList old_places = persistentIndexList();
  QModelIndexList new_places;
  for (const QModelIndex& index : old_places)
    new_places << this->index(
        place_of[static_cast<std::size_t>(old_order[static_cast<std::size_t>(index.row())])],
        index.column());
  changePersistentIndexList(old_places, new_places);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void TBatchRowsModel::Append(std::vector<TBatchRow> rows) {
  if (rows.empty()) return;
  const int first = rowCount();
  beginInsertRows({}, first, first + static_cast<int>(rows.size()) - 1);
  for (TBatchRow& row : rows) {
    order_.push_back(static_cast<int>(rows_.size()));
    rows_.push_back(std::move(row));
  }
  endInsertRows();
  // In the file's order, rows come in their places (the batch hands them over in order).
  if (sort_column_ < 0) in_order_ = rows_.size();
}

void TBatchRowsModel::Clear() {
  beginResetModel();
  rows_.clear();
  rows_.shrink_to_fit();
  order_.clear();
  order_.shrink_to_fit();
  in_order_ = 0;
  endResetModel();
}

void TBatchRowsOrder::sort(int column, Qt::SortOrder order) {
  sourceModel()->sort(column, order);
}

TBatchView::TBatchView(QWidget* parent) : QDialog(parent) {
  setObjectName(QStringLiteral("BatchView"));
  setSizeGripEnabled(false);
  auto* column = MakeChild<QVBoxLayout>(this);

  auto* tools = new QHBoxLayout;  // the column takes it over below
  Filter = MakeChild<QLineEdit>(this);
  Filter->setObjectName(QStringLiteral("BatchFilter"));
  Filter->setPlaceholderText(QString::fromUtf8(kBatchFilter));
  Filter->setClearButtonEnabled(true);
  FilterColumn = MakeChild<QComboBox>(this);
  FilterColumn->setObjectName(QStringLiteral("BatchFilterColumn"));
  FilterColumn->addItem(QString::fromUtf8(kBatchFilterAll));
  for (const char* heading : kBatchColumns) FilterColumn->addItem(QString::fromUtf8(heading));
  SaveButton = MakeChild<QPushButton>(this);
  SaveButton->setObjectName(QStringLiteral("BatchSave"));
  SaveButton->setText(QString::fromUtf8(kBatchSave));
  SaveButton->setAutoDefault(false);
  tools->addWidget(Filter, 1);
  tools->addWidget(FilterColumn);
  tools->addWidget(SaveButton);
  column->addLayout(tools);

  Rows = new TBatchRowsModel(this);   // owned by the view
  Shown = new TBatchRowsOrder(this);  // owned by the view
  Shown->setSourceModel(Rows);
  Shown->setFilterCaseSensitivity(Qt::CaseInsensitive);
  Shown->setFilterKeyColumn(-1);
  Table = MakeChild<QTableView>(this);
  Table->setObjectName(QStringLiteral("BatchTable"));
  Table->setModel(Shown);
  Table->setWordWrap(false);
  Table->setAlternatingRowColors(true);
  Table->setSelectionBehavior(QAbstractItemView::SelectRows);
  // Rows of one height, never measured one by one: a hundred thousand of them cost
  // nothing to lay out.
  QHeaderView* lines = Table->verticalHeader();
  lines->setSectionResizeMode(QHeaderView::Fixed);
  lines->setDefaultSectionSize(fontMetrics().height() + 6);
  QHeaderView* headings = Table->horizontalHeader();
  headings->setSectionResizeMode(QHeaderView::Interactive);
  headings->setSectionResizeMode(TBatchRowsModel::kData, QHeaderView::Stretch);
  headings->setStretchLastSection(false);
  // In the file's order until a heading is clicked; a third click gives that order back.
  headings->setSortIndicator(-1, Qt::AscendingOrder);
  headings->setSortIndicatorClearable(true);
  Table->setSortingEnabled(true);
  Table->setColumnWidth(TBatchRowsModel::kName, 230);
  Table->setColumnWidth(TBatchRowsModel::kType, 60);
  Table->setColumnWidth(TBatchRowsModel::kStatus, 110);
  Table->setColumnWidth(TBatchRowsModel::kTime, 80);
  column->addWidget(Table, 1);

  Bar = MakeChild<QStatusBar>(this);
  Bar->setObjectName(QStringLiteral("BatchStatus"));
  Count = MakeChild<QLabel>(Bar);
  Count->setObjectName(QStringLiteral("BatchCount"));
  // Its text changes at every turn: its size must not make the view lay itself out again.
  Count->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Fixed);
  Progress = MakeChild<QProgressBar>(Bar);
  Progress->setObjectName(QStringLiteral("BatchProgress"));
  Progress->setMaximumWidth(220);
  Progress->setRange(0, 1);
  Progress->setValue(0);
  Bar->addWidget(Count, 1);
  Bar->addPermanentWidget(Progress);
  column->addWidget(Bar);

  pull_ = new QTimer(this);  // owned by the view
  pull_->setInterval(kPullEveryMs);
  connect(pull_, &QTimer::timeout, this, &TBatchView::TakeRows);
  connect(Filter, &QLineEdit::textChanged, Shown, &QSortFilterProxyModel::setFilterFixedString);
  connect(FilterColumn, &QComboBox::currentIndexChanged, this,
          [this](int index) { Shown->setFilterKeyColumn(index - 1); });
  connect(SaveButton, &QPushButton::clicked, this, &TBatchView::SaveAs);
  resize(820, 480);
}

TBatchView::~TBatchView() {
  // The thread hands its rows to this view: it ends before the view does.
  stop_->RequestStop();
  if (worker_.joinable()) worker_.join();
}

bool TBatchView::Start(const TBatchRequest& request) {
  if (running_) return false;
  if (worker_.joinable()) worker_.join();
  stop_->Reset();
  running_ = true;
  ended_ = stopped_ = false;
  failure_.clear();
  total_ = done_ = 0;
  waiting_.clear();
  sorted_.start();
  handed_ = THanded{};
  Rows->Clear();
  Progress->setRange(0, 0);
  Progress->setValue(0);
  Count->setText(QString::fromUtf8(kBatchCounting));
  setWindowTitle(
      QString::fromUtf8(kBatchTitle)
          .arg(Utf8(EscapedName(request.Path)), Utf8(EscapedName(request.Settings.Server))));
  started_ms_ = QDateTime::currentMSecsSinceEpoch();

  worker_ = std::jthread([this, request, stop = stop_] {
    std::vector<TBatchRow> ready;
    auto handed_at = Clock::now();
    const auto hand = [&](bool now) {
      if (!now && ready.size() < kHandAt && Clock::now() - handed_at < kHandEvery) return;
      const std::lock_guard guard(lock_);
      handed_.Done += static_cast<std::int64_t>(ready.size());
      if (handed_.Rows.empty())
        handed_.Rows.swap(ready);
      else
        handed_.Rows.insert(handed_.Rows.end(), std::make_move_iterator(ready.begin()),
                            std::make_move_iterator(ready.end()));
      ready.clear();
      handed_at = Clock::now();
    };
    QString failure;
    bool stopped = false;
    // The lines read and not yet handed over, oldest first: the questions in flight (never
    // more than the engine's window) and the bad lines among them, kept in the file's order.
    std::deque<TBatchLine> asked;
    const auto hand_bad_lines = [&] {
      while (!asked.empty() && !asked.front().Problem.empty()) {
        ready.push_back(BadLineRow(asked.front()));
        asked.pop_front();
      }
    };
    try {
      std::ifstream in(request.Path, std::ios::binary);
      if (!in)
        throw Exception(
            QString::fromUtf8(kBatchCannotRead).arg(Utf8(EscapedName(request.Path))).toStdString());
      // Counted first, a line at a time, for the progress bar.
      std::int64_t total = 0;
      TBatchReader counter(in, request.DefaultType);
      // A long file's count ends at the stop too, as every wait of the engine does.
      for (std::int64_t read = 0; const std::optional<TBatchLine> line = counter.Next(); ++read) {
        if (line->Question) ++total;
        if (read % 4096 == 0 && stop->StopRequested())
          throw EzvSocketError("The lookup was stopped", kzvErrAborted);
      }
      {
        const std::lock_guard guard(lock_);
        handed_.Total = total;
      }
      in.clear();
      in.seekg(0);
      TBatchReader reader(in, request.DefaultType);
      TzvDnsBatch batch;
      batch.SetSettings(request.Settings);
      batch.SetConcurrency(request.Concurrency);
      batch.SetStop(stop);
      const auto next = [&](TzvBatchQuestion& question) {
        while (std::optional<TBatchLine> line = reader.Next()) {
          if (!line->Question) continue;
          const bool bad = !line->Problem.empty();
          if (!bad) {
            // Asked as the lookup of its type asks it, as pellamar-cli -f does.
            question.Type = line->Type;
            question.Name = TzvDnsQuery::NameAsked(line->Name, line->Type);
          }
          asked.push_back(std::move(*line));
          if (!bad) return true;
        }
        return false;
      };
      const auto done = [&](const TzvBatchAnswer& answer) {
        hand_bad_lines();
        ready.push_back(RowOf(asked.front(), answer));
        asked.pop_front();
        hand_bad_lines();
        hand(false);
      };
      batch.Run(next, done);
      hand_bad_lines();
      if (in.bad())
        throw Exception(
            QString::fromUtf8(kBatchCannotRead).arg(Utf8(EscapedName(request.Path))).toStdString());
    } catch (const std::exception& e) {
      stopped = stop->StopRequested();
      failure = Utf8(EscapedName(e.what()));
    }
    hand(true);
    const std::lock_guard guard(lock_);
    handed_.Ended = true;
    handed_.Stopped = stopped;
    handed_.Failure = failure;
  });
  pull_->start();
  return true;
}

void TBatchView::Stop() {
  if (running_) stop_->RequestStop();
}

void TBatchView::TakeRows() {
  {
    const std::lock_guard guard(lock_);
    waiting_.insert(waiting_.end(), std::make_move_iterator(handed_.Rows.begin()),
                    std::make_move_iterator(handed_.Rows.end()));
    handed_.Rows.clear();
    total_ = handed_.Total;
    done_ = handed_.Done;
    if (handed_.Ended) {
      ended_ = true;
      stopped_ = handed_.Stopped;
      failure_ = handed_.Failure;
    }
  }
  // Rows added to a sorted table take their places now and then, and once at the end;
  // a turn that does it puts fewer new rows in.
  QElapsedTimer turn;
  turn.start();
  if (Rows->Unsorted() && (ended_ || sorted_.elapsed() >= kSortEveryMs)) {
    Rows->SortAgain();
    sorted_.restart();
  }
  while (!waiting_.empty() && turn.elapsed() < kTurnBudgetMs) {
    const std::size_t count = std::min(kChunk, waiting_.size());
    const auto end = waiting_.begin() + static_cast<std::ptrdiff_t>(count);
    std::vector<TBatchRow> part(std::make_move_iterator(waiting_.begin()),
                                std::make_move_iterator(end));
    waiting_.erase(waiting_.begin(), end);
    Rows->Append(std::move(part));
  }
  ShowCount(done_, total_);
  // Done once every row is in the table and in its place.
  if (ended_ && waiting_.empty() && !Rows->Unsorted()) Finish();
}

void TBatchView::ShowCount(std::int64_t done, std::int64_t total) {
  if (total < 0) return;  // still counting
  const int most =
      static_cast<int>(std::min<std::int64_t>(std::max<std::int64_t>(total, 1), INT32_MAX));
  if (Progress->maximum() != most) Progress->setRange(0, most);
  Progress->setValue(static_cast<int>(std::min<std::int64_t>(done, most)));
  Count->setText(QString::fromUtf8(kBatchCount).arg(Grouped(done), Grouped(total)));
}

void TBatchView::Finish() {
  pull_->stop();
  if (worker_.joinable()) worker_.join();  // its last hand-over is taken: it has ended
  running_ = false;
  if (total_ == 0) {
    Progress->setRange(0, 1);
    Progress->setValue(1);
  }
  if (stopped_) {
    Count->setText(QString::fromUtf8(kBatchStopped).arg(Grouped(done_), Grouped(total_)));
  } else if (!failure_.isEmpty()) {
    Count->setText(QString::fromUtf8(kBatchFailed).arg(failure_));
  } else {
    const qint64 took = QDateTime::currentMSecsSinceEpoch() - started_ms_;
    Count->setText(
        QString::fromUtf8(kBatchDone).arg(Grouped(done_), Utf8(FormatElapsed(took * 1000))));
  }
  emit Finished();
}

QString TBatchView::Save(const QString& path) const {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly)) return file.errorString();
  const bool json = path.endsWith(QStringLiteral(".jsonl"), Qt::CaseInsensitive) ||
                    path.endsWith(QStringLiteral(".json"), Qt::CaseInsensitive);
  if (!json) file.write("line,name,type,status,data,time_ms\n");
  for (int i = 0; i < Shown->rowCount(); ++i) {
    const TBatchRow& row = Rows->Row(Shown->mapToSource(Shown->index(i, 0)).row());
    QByteArray line;
    if (json) {
      TJsonWriter writer;
      writer.BeginObject();
      writer.Key("line");
      writer.Number(row.Line);
      writer.Key("name");
      writer.String(row.Name.toStdString());
      writer.Key("type");
      writer.String(DnsTypeText(row.Type));
      writer.Key("status");
      writer.String(row.Status.toStdString());
      writer.Key("data");
      writer.BeginArray();
      for (const QString& item : row.Data) writer.String(item.toStdString());
      writer.EndArray();
      writer.Key("time_ms");
      if (row.ElapsedMicroseconds < 0)
        writer.Null();
      else
        writer.Fixed(static_cast<double>(row.ElapsedMicroseconds) / 1000.0, 3);
      writer.EndObject();
      line = QByteArray::fromStdString(writer.Text());
    } else {
      line = QByteArray::number(static_cast<qlonglong>(row.Line)) + ',' + CsvField(row.Name) + ',' +
             QByteArray::fromStdString(DnsTypeText(row.Type)) + ',' + CsvField(row.Status) + ',' +
             CsvField(DataText(row)) + ',' +
             (row.ElapsedMicroseconds < 0 ? QByteArray() : Milliseconds(row.ElapsedMicroseconds));
    }
    file.write(line + '\n');
  }
  if (!file.commit()) return file.errorString();
  return QString();
}

void TBatchView::SaveAs() {
  QString filter;
  const QString path = QFileDialog::getSaveFileName(this, QString::fromUtf8(kBatchSaveTitle),
                                                    QStringLiteral("pellamar-lote.csv"),
                                                    QString::fromUtf8(kBatchSaveFilter), &filter);
  if (path.isEmpty()) return;
  // A name without its ending takes the one of the kind chosen.
  QString target = path;
  if (QFileInfo(target).suffix().isEmpty())
    target += filter.contains(QStringLiteral("jsonl")) ? QStringLiteral(".jsonl")
                                                       : QStringLiteral(".csv");
  const QString failure = Save(target);
  if (!failure.isEmpty())
    QMessageBox::warning(this, windowTitle(),
                         QString::fromUtf8(kBatchSaveFailed).arg(target, failure));
}

void TBatchView::keyPressEvent(QKeyEvent* event) {
  // Escape stops a running batch and leaves its rows in the table; otherwise it closes.
  if (event->key() == Qt::Key_Escape && running_) {
    Stop();
    event->accept();
    return;
  }
  QDialog::keyPressEvent(event);
}

void TBatchView::closeEvent(QCloseEvent* event) {
  Stop();
  QDialog::closeEvent(event);
}
