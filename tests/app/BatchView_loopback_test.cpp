// The window's "Lote" against the loopback NSD server of batch.pellamar.test (127.0.0.4,
// hosts h0 .. h4999, each with A 10.4.(i / 256).(i % 256)): the whole zone asked from a
// file, the progress to its end, the table sorted and filtered, and the CSV and JSON Lines
// it saves read back.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QSortFilterProxyModel>
#include <QTableView>
#include <QTest>
#include <chrono>

#include <fstream>
#include <string>

#include "app/BatchView.h"
#include "app/QtThreadWaiter.h"
#include "app/main.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/UdpPeers.h"

namespace {

constexpr int kHosts = 5000;

std::string Address(int host) {
  return "10.4." + std::to_string(host / 256) + "." + std::to_string(host % 256);
}

QString Shown(const TBatchView& view, int row, int column, int role = Qt::DisplayRole) {
  return view.Shown->index(row, column).data(role).toString();
}

QList<QByteArray> SavedLines(const TBatchView& view, const QString& path) {
  EXPECT_EQ(view.Save(path).toStdString(), "");
  QFile file(path);
  EXPECT_TRUE(file.open(QIODevice::ReadOnly));
  QList<QByteArray> lines = file.readAll().split('\n');
  if (!lines.isEmpty() && lines.back().isEmpty()) lines.pop_back();
  return lines;
}

}  // namespace

TEST(BatchWindow, AsksEveryNameOfTheFileAndSortsFiltersAndSavesTheTable) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::string path = ::testing::TempDir() + "/batch-names.txt";
  {
    std::ofstream names(path);
    names << "# the batch zone, every host\n";
    for (int i = 0; i < kHosts; ++i) names << "h" << i << ".batch.pellamar.test\n";
  }
  TQtWaiterInstallation waiter;
  TfrmMain window;
  window.edtDnsServer->setText("127.0.0.4");
  window.cbNameType->setCurrentIndex(1);  // A
  window.StartBatch(QString::fromStdString(path));
  TBatchView* view = window.BatchWindow();
  ASSERT_NE(view, nullptr);
  // Sorted by time, the longest first, while it fills: the rows that come later take
  // their places too.
  view->Table->sortByColumn(TBatchRowsModel::kTime, Qt::DescendingOrder);
  ASSERT_TRUE(WaitUntil([&] { return !view->Running(); }, 60000));
  const auto time_at = [&](int row) {
    return view->Rows->Row(view->Shown->mapToSource(view->Shown->index(row, 0)).row())
        .ElapsedMicroseconds;
  };
  ASSERT_EQ(view->Shown->rowCount(), kHosts);
  for (int i = 1; i < kHosts; ++i) ASSERT_GE(time_at(i - 1), time_at(i)) << i;
  view->Table->sortByColumn(-1, Qt::AscendingOrder);  // the file's order again

  EXPECT_EQ(view->Progress->maximum(), kHosts);
  EXPECT_EQ(view->Progress->value(), kHosts);
  EXPECT_TRUE(view->Count->text().startsWith("5000 nombres en "))
      << view->Count->text().toStdString();
  ASSERT_EQ(view->Rows->rowCount(), kHosts);
  for (int i = 0; i < kHosts; ++i) {
    const TBatchRow& row = view->Rows->Row(i);
    ASSERT_EQ(row.Name.toStdString(), "h" + std::to_string(i) + ".batch.pellamar.test");
    ASSERT_EQ(row.Line, i + 2);
    ASSERT_EQ(row.Status, "NOERROR");
    ASSERT_EQ(row.Data, QStringList{QString::fromStdString(Address(i))});
  }

  // Sorted by name, the text's order.
  view->Table->sortByColumn(TBatchRowsModel::kName, Qt::AscendingOrder);
  EXPECT_EQ(Shown(*view, 0, TBatchRowsModel::kName), "h0.batch.pellamar.test");
  EXPECT_EQ(Shown(*view, 1, TBatchRowsModel::kName), "h1.batch.pellamar.test");
  EXPECT_EQ(Shown(*view, 2, TBatchRowsModel::kName), "h10.batch.pellamar.test");
  EXPECT_EQ(view->Shown->headerData(2, Qt::Vertical).toInt(), 12) << "the row's line follows it";
  // Filtered by one column or by all.
  struct TFilter {
    int column;  // FilterColumn's entry: 0 all, then the table's columns
    const char* text;
    int rows;
  };
  for (const TFilter& f : {TFilter{0, "h4999.", 1}, TFilter{4, "10.4.19.", 136},
                           TFilter{1, "10.4.19.", 0}, TFilter{3, "nxdomain", 0}}) {
    view->FilterColumn->setCurrentIndex(f.column);
    view->Filter->setText(f.text);
    EXPECT_EQ(view->Shown->rowCount(), f.rows) << f.text << " in " << f.column;
  }
  view->Filter->clear();

  // Saved as the table shows it (by name), and read back.
  view->Table->sortByColumn(TBatchRowsModel::kName, Qt::AscendingOrder);
  const QList<QByteArray> csv = SavedLines(*view, QString::fromStdString(path + ".csv"));
  ASSERT_EQ(csv.size(), kHosts + 1);
  EXPECT_EQ(csv[0], "line,name,type,status,data,time_ms");
  for (int i = 0; i < kHosts; ++i) {
    const QList<QByteArray> fields = csv[i + 1].split(',');
    ASSERT_EQ(fields.size(), 6) << csv[i + 1].toStdString();
    ASSERT_EQ(fields[1], Shown(*view, i, TBatchRowsModel::kName).toUtf8());
    const int host = fields[1].mid(1, fields[1].indexOf('.') - 1).toInt();
    ASSERT_EQ(fields[0].toInt(), host + 2);
    ASSERT_EQ(fields[2], "A");
    ASSERT_EQ(fields[3], "NOERROR");
    ASSERT_EQ(fields[4].toStdString(), Address(host));
    ASSERT_GT(fields[5].toDouble(), 0.0);
  }
  const QList<QByteArray> jsonl = SavedLines(*view, QString::fromStdString(path + ".jsonl"));
  ASSERT_EQ(jsonl.size(), kHosts);
  const QJsonObject first = QJsonDocument::fromJson(jsonl[0]).object();
  EXPECT_EQ(first["name"].toString(), "h0.batch.pellamar.test");
  EXPECT_EQ(first["line"].toInt(), 2);
  EXPECT_EQ(first["data"].toArray(), QJsonArray{"10.4.0.0"});
  EXPECT_EQ(first["status"].toString(), "NOERROR");
}

// Each line of the file has its row, in the file's order: answers of several types (one
// of them over TCP after a truncated reply), a denial, and lines that cannot be asked.
TEST(BatchWindow, EveryLineHasItsRowInTheFilesOrder) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::string path = ::testing::TempDir() + "/batch-mixed.txt";
  std::ofstream(path) << "# several kinds\ninfo.pellamar.test TXT\nbig.pellamar.test TXT\n"
                      << "nothing.pellamar.test\na b c\nMX pellamar.test\nwww TYPO\n";
  struct TRow {
    int line;
    const char* name;
    const char* type;
    const char* status;
    int data;  // items of data
  };
  const TRow expected[] = {
      {2, "info.pellamar.test", "TXT", "NOERROR", 1},
      {3, "big.pellamar.test", "TXT", "NOERROR", 6},
      {4, "nothing.pellamar.test", "A", "NXDOMAIN", 0},
      {5, "", "A", "línea 5 no válida: expected NAME, NAME TYPE or TYPE NAME, not 3 words", 0},
      {6, "pellamar.test", "MX", "NOERROR", 4},
      {7, "", "A", "línea 7 no válida: unknown TYPE 'TYPO'", 0},
  };
  TQtWaiterInstallation waiter;
  TfrmMain window;
  window.edtDnsServer->setText("127.0.0.1");
  window.cbNameType->setCurrentIndex(1);  // A
  window.StartBatch(QString::fromStdString(path));
  TBatchView* view = window.BatchWindow();
  ASSERT_TRUE(WaitUntil([&] { return !view->Running(); }));
  ASSERT_EQ(view->Rows->rowCount(), static_cast<int>(std::size(expected)));
  for (int i = 0; i < view->Rows->rowCount(); ++i) {
    const TBatchRow& row = view->Rows->Row(i);
    SCOPED_TRACE(row.Line);
    EXPECT_EQ(row.Line, expected[i].line);
    EXPECT_EQ(row.Name.toStdString(), expected[i].name);
    EXPECT_EQ(Shown(*view, i, TBatchRowsModel::kType).toStdString(), expected[i].type);
    EXPECT_EQ(row.Status.toStdString(), expected[i].status);
    EXPECT_EQ(row.Data.size(), expected[i].data);
  }
  EXPECT_EQ(view->Progress->value(), view->Progress->maximum());
  // A field with quotes in it is quoted in the CSV.
  const QList<QByteArray> csv = SavedLines(*view, QString::fromStdString(path + ".csv"));
  ASSERT_EQ(csv.size(), 7);
  EXPECT_TRUE(csv[1].startsWith("2,info.pellamar.test,TXT,NOERROR,\"\"\"Pellamar test zone\"\"\","))
      << csv[1].toStdString();
}

// A server that takes the questions and never answers: Escape ends the wait at once.
TEST(BatchWindow, EscapeStopsTheBatchAndKeepsItsRows) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const UdpLoopbackPeer silent(UdpLoopbackPeer::Silent());
  const std::string path = ::testing::TempDir() + "/batch-silent.txt";
  {
    std::ofstream names(path);
    for (int i = 0; i < 50; ++i) names << "h" << i << ".batch.pellamar.test\n";
  }
  TQtWaiterInstallation waiter;
  TfrmMain window;
  window.edtDnsServer->setText(QString::fromStdString(silent.Address()));
  window.edtPort->setText(QString::number(silent.Port()));
  window.edtTimeOut->setText("20");
  window.StartBatch(QString::fromStdString(path));
  TBatchView* view = window.BatchWindow();
  QTest::qWait(200);
  ASSERT_TRUE(view->Running());
  const auto pressed = std::chrono::steady_clock::now();
  QTest::keyClick(view, Qt::Key_Escape);
  ASSERT_TRUE(WaitUntil([&] { return !view->Running(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(5));
  EXPECT_EQ(view->Count->text().toStdString(), "Detenido: 0 de 50 nombres");
  EXPECT_TRUE(view->isVisible()) << "the first Escape stops; it does not close";
}
