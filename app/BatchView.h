// The batch view ("Lote"): every name of a file (pellamar-cli -f's lines) asked of the
// form's server through the library's batch engine, many in flight at once, with a
// progress bar and a count in the view's status bar, and the answers in a table (name,
// type, status, data, time) that sorts, filters and saves as CSV or JSON Lines.
//
// The engine and the reading of the file run on a thread of their own. Its rows are
// handed over in chunks: the thread gathers them and the user-interface thread takes
// them on a timer, putting into the table at each turn only what fits in a few
// milliseconds, so a hundred thousand names never hold the window's events back however
// the table is sorted. Memory is the rows' and no more: the file is read a line at a
// time and only the engine's window of questions is in flight.
#pragma once

#include <QAbstractTableModel>
#include <QDialog>
#include <QElapsedTimer>
#include <QSortFilterProxyModel>
#include <QString>
#include <QStringList>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "dns/zvDnsExchange.h"
#include "net/zvStop.h"

class QComboBox;
class QKeyEvent;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QStatusBar;
class QTableView;
class QTimer;

// One line of the file and what became of its question.
struct TBatchRow {
  std::int64_t Line = 0;  // in the file, from 1
  QString Name;           // as the line gave it, shown safely
  std::int32_t Type = 0;
  QString Status;  // the response code, why there was no answer, or why the line is bad
  QStringList Data;
  std::int64_t ElapsedMicroseconds = -1;  // -1: nothing was asked
};

// The table's rows. The vertical header gives each row's line in the file, so it
// follows a row that a sort has moved. Sorting compares the rows' own values (the time as
// a number, a type by its code) with no text made for them: a hundred thousand rows sort
// in a few tens of milliseconds.
class TBatchRowsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum TColumn { kName, kType, kStatus, kData, kTime, kColumnCount };

  using QAbstractTableModel::QAbstractTableModel;
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // Puts the rows in the order of a column, or of the file for -1, as a heading's click
  // asks; a stable sort, so rows that tie keep the file's order.
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
  // Adds rows at the end, as one insertion: in a sorted table they stay there until the
  // next sort (Unsorted), so that a flood of rows costs no reordering for each chunk.
  void Append(std::vector<TBatchRow> rows);
  bool Unsorted() const { return in_order_ < rows_.size(); }
  // Puts the rows added since the last sort in their places.
  void SortAgain() { Reorder(in_order_); }
  void Clear();
  const TBatchRow& Row(int row) const {
    return rows_[static_cast<std::size_t>(order_[static_cast<std::size_t>(row)])];
  }

 private:
  // Sorts the rows after the first `kept` (already in order) and merges them in.
  void Reorder(std::size_t kept);

  // The rows as they came, and the table's order of them (indices into rows_).
  std::vector<TBatchRow> rows_;
  std::vector<int> order_;
  int sort_column_ = -1;
  Qt::SortOrder sort_order_ = Qt::AscendingOrder;
  // The first rows, in the order asked; those after them were added since.
  std::size_t in_order_ = 0;
};

// The table's filter over the rows. The order is the rows' own (TBatchRowsModel::sort):
// a heading's click sorts them there, so the filter keeps the rows in the order they
// come, and a row added in the middle of a sorted table never costs a reordering here.
class TBatchRowsOrder : public QSortFilterProxyModel {
  Q_OBJECT

 public:
  using QSortFilterProxyModel::QSortFilterProxyModel;
  void sort(int column, Qt::SortOrder order = Qt::AscendingOrder) override;
};

// What a batch asks, taken from the main window's form.
struct TBatchRequest {
  std::string Path;
  // The type of the lines that name none.
  std::int32_t DefaultType = 0;
  // Server, port, time-out and transport of the form.
  TzvDnsExchangeSettings Settings;
  int Concurrency = 100;
};

class TBatchView : public QDialog {
  Q_OBJECT

 public:
  explicit TBatchView(QWidget* parent = nullptr);
  ~TBatchView() override;

  // Empties the table and starts the batch; false (and nothing changes) while one runs.
  bool Start(const TBatchRequest& request);
  // Ends the engine's waits at once; the rows handed over so far stay.
  void Stop();
  // True until the engine has ended and every row is in the table.
  bool Running() const { return running_; }

  // Writes the rows as the table shows them (filtered, in its order) to `path`: JSON
  // Lines when it ends in .jsonl or .json, else CSV with a heading line. The failure's
  // text, or empty when it was written.
  QString Save(const QString& path) const;

  TBatchRowsModel* Rows;
  TBatchRowsOrder* Shown;
  QTableView* Table;
  QLineEdit* Filter;
  // Which column the filter looks at: all, or one of the table's.
  QComboBox* FilterColumn;
  QPushButton* SaveButton;
  QStatusBar* Bar;
  QProgressBar* Progress;
  QLabel* Count;

 signals:
  // The engine has ended (answered, failed or stopped) and every row is in the table.
  void Finished();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void closeEvent(QCloseEvent* event) override;

 private:
  // What the thread hands over, under lock_.
  struct THanded {
    std::vector<TBatchRow> Rows;
    std::int64_t Total = -1;  // the file's questions, once counted
    std::int64_t Done = 0;    // rows handed over so far
    bool Ended = false;
    bool Stopped = false;
    QString Failure;
  };

  // The timer's turn: takes what the thread handed over and puts rows into the table
  // for at most a few milliseconds.
  void TakeRows();
  void ShowCount(std::int64_t done, std::int64_t total);
  void Finish();
  void SaveAs();

  TzvStop stop_ = MakeStop();
  std::jthread worker_;
  bool running_ = false;
  QTimer* pull_;
  std::mutex lock_;
  THanded handed_;
  // Taken from the thread, not yet in the table.
  std::deque<TBatchRow> waiting_;
  QElapsedTimer sorted_;  // since rows added to a sorted table were last put in order
  bool ended_ = false;    // the thread's last hand-over is taken
  bool stopped_ = false;
  QString failure_;
  std::int64_t total_ = 0, done_ = 0;
  qint64 started_ms_ = 0;
};
