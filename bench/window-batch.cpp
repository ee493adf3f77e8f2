// pellamar-window-batch: the window's "Lote" driven without a person, for
// bench/compare-window-batch.sh. Opens the main window on Qt's offscreen platform, starts
// the batch of FILE against SERVER (type A for lines without one), optionally sorts the
// table by a column while it fills, and reports when every row is in the table: the rows,
// how many were answered, the batch's wall time and the longest the window's event loop
// went without handling a timer meant to fire every 10 ms; with --sorted, also how long a
// heading's click takes to sort the whole table by a few columns afterwards.
//   pellamar-window-batch SERVER FILE [--sorted]
#include <QComboBox>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLineEdit>
#include <QTableView>
#include <QTimer>
#include <cstdio>
#include <cstring>
#include <utility>

#include "app/BatchView.h"
#include "app/QtThreadWaiter.h"
#include "app/main.h"

int main(int argc, char** argv) {
  if (argc < 3 || argc > 4 || (argc == 4 && std::strcmp(argv[3], "--sorted") != 0)) {
    std::fprintf(stderr, "usage: pellamar-window-batch SERVER FILE [--sorted]\n");
    return 2;
  }
  TApplication application(argc, argv);
  InitializeApplication(application);
  TQtWaiterInstallation waiter;
  TfrmMain window;
  window.show();
  window.edtDnsServer->setText(QString::fromLocal8Bit(argv[1]));
  window.cbNameType->setCurrentIndex(1);  // A

  // The event loop's promptness: the longest gap between two turns of a 10 ms timer.
  QElapsedTimer since_last;
  qint64 longest_gap = 0;
  QTimer probe;
  probe.setTimerType(Qt::PreciseTimer);
  probe.setInterval(10);
  int rows_at_longest = 0;
  TBatchView* view = nullptr;
  QObject::connect(&probe, &QTimer::timeout, [&] {
    const qint64 gap = since_last.restart();
    if (gap > longest_gap) {
      longest_gap = gap;
      rows_at_longest = view != nullptr ? view->Rows->rowCount() : 0;
    }
  });

  QElapsedTimer clock;
  clock.start();
  window.StartBatch(QString::fromLocal8Bit(argv[2]));
  view = window.BatchWindow();
  // Sorted by time, the longest first: each chunk's rows land all over the table.
  if (argc == 4) view->Table->sortByColumn(TBatchRowsModel::kTime, Qt::DescendingOrder);
  since_last.start();
  probe.start();
  QEventLoop until_done;
  QObject::connect(view, &TBatchView::Finished, &until_done, &QEventLoop::quit);
  if (view->Running()) until_done.exec();
  const qint64 took = clock.elapsed();
  probe.stop();

  int answered = 0;
  for (int i = 0; i < view->Rows->rowCount(); ++i)
    answered += view->Rows->Row(i).Status == QStringLiteral("NOERROR") ? 1 : 0;
  std::printf(
      "pellamar-window-batch: %d rows, %d NOERROR, %.3f s, longest event-loop gap %lld ms "
      "(at %d rows in the table)\n",
      view->Rows->rowCount(), answered, static_cast<double>(took) / 1000.0,
      static_cast<long long>(longest_gap), rows_at_longest);
  // A heading's click on the whole table, once the batch is over.
  if (argc == 4)
    for (const auto& [column, what] :
         {std::pair{TBatchRowsModel::kName, "name"}, std::pair{TBatchRowsModel::kData, "data"},
          std::pair{TBatchRowsModel::kTime, "time"}}) {
      QElapsedTimer sorting;
      sorting.start();
      view->Table->sortByColumn(column, Qt::AscendingOrder);
      QCoreApplication::processEvents();
      std::printf("pellamar-window-batch: sorted by %s in %lld ms\n", what,
                  static_cast<long long>(sorting.elapsed()));
    }
  return 0;
}
