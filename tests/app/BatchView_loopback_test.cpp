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
#include <fstream>
#include <string>

#include "app/BatchView.h"
#include "app/QtThreadWaiter.h"
#include "app/main.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/NetNamespace.h"

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
  ASSERT_TRUE(WaitUntil([&] { return !view->Running(); }, 60000));

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

  // Sorted by name, the text's order; by time, the longest first, as numbers.
  view->Table->sortByColumn(TBatchRowsModel::kName, Qt::AscendingOrder);
  EXPECT_EQ(Shown(*view, 0, TBatchRowsModel::kName), "h0.batch.pellamar.test");
  EXPECT_EQ(Shown(*view, 1, TBatchRowsModel::kName), "h1.batch.pellamar.test");
  EXPECT_EQ(Shown(*view, 2, TBatchRowsModel::kName), "h10.batch.pellamar.test");
  EXPECT_EQ(view->Shown->headerData(2, Qt::Vertical).toInt(), 12) << "the row's line follows it";
  view->Table->sortByColumn(TBatchRowsModel::kTime, Qt::DescendingOrder);
  const auto time_at = [&](int row) {
    return view->Rows->Row(view->Shown->mapToSource(view->Shown->index(row, 0)).row())
        .ElapsedMicroseconds;
  };
  for (int i = 1; i < kHosts; ++i) ASSERT_GE(time_at(i - 1), time_at(i)) << i;

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
