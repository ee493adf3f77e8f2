// The batch table's own order: rows added to a sorted table stay at its end until the
// next sort merges them in, rows that tie keep the file's order, and a row held by the
// selection (a persistent index) is followed wherever a sort moves it.
#include "app/BatchView.h"

#include <gtest/gtest.h>

#include <QPersistentModelIndex>
#include <vector>

#include "tests/app/AppTestSupport.h"

namespace {

// Rows of the lines given, each with the time and name given.
std::vector<TBatchRow> Rows(const std::vector<std::pair<std::int64_t, const char*>>& lines,
                            std::int64_t first_line) {
  std::vector<TBatchRow> rows;
  for (const auto& [time, name] : lines) {
    TBatchRow row;
    row.Line = first_line++;
    row.Name = QString::fromLatin1(name);
    row.ElapsedMicroseconds = time;
    rows.push_back(row);
  }
  return rows;
}

std::vector<std::int64_t> Lines(const TBatchRowsModel& model) {
  std::vector<std::int64_t> lines;
  for (int i = 0; i < model.rowCount(); ++i) lines.push_back(model.Row(i).Line);
  return lines;
}

}  // namespace

TEST(BatchTableOrder, SortsMergesNewcomersAndFollowsTheSelection) {
  TBatchRowsModel model;
  model.Append(Rows({{30, "c"}, {10, "a"}, {20, "b"}, {10, "d"}}, 1));
  const QPersistentModelIndex selected = model.index(0, TBatchRowsModel::kName);  // line 1
  model.sort(TBatchRowsModel::kTime, Qt::DescendingOrder);
  EXPECT_EQ(Lines(model), (std::vector<std::int64_t>{1, 3, 2, 4})) << "ties keep the file's order";
  EXPECT_EQ(selected.row(), 0);

  model.Append(Rows({{25, "e"}, {5, "f"}, {40, "g"}}, 5));
  EXPECT_TRUE(model.Unsorted());
  EXPECT_EQ(Lines(model), (std::vector<std::int64_t>{1, 3, 2, 4, 5, 6, 7}));
  model.SortAgain();
  EXPECT_FALSE(model.Unsorted());
  EXPECT_EQ(Lines(model), (std::vector<std::int64_t>{7, 1, 5, 3, 2, 4, 6}));
  EXPECT_EQ(model.data(selected).toString(), "c");
  EXPECT_EQ(selected.row(), 1);

  model.sort(TBatchRowsModel::kName, Qt::AscendingOrder);
  EXPECT_EQ(Lines(model), (std::vector<std::int64_t>{2, 3, 1, 4, 5, 6, 7}));
  model.sort(-1, Qt::AscendingOrder);  // the file's order
  EXPECT_EQ(Lines(model), (std::vector<std::int64_t>{1, 2, 3, 4, 5, 6, 7}));
  model.Append(Rows({{1, "h"}}, 8));
  EXPECT_FALSE(model.Unsorted()) << "in the file's order a newcomer is in its place";
  EXPECT_EQ(model.headerData(7, Qt::Vertical).toInt(), 8);
}
