// The window's "Traza" against the signed three-server tree of tests/netns/start-dnssec.sh
// (root 127.0.0.10, example. on .11, its children on .12), its root servers primed from
// the tree's resolver (127.0.0.53); and Escape while a silent root keeps the walk waiting.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTest>
#include <QTreeWidget>
#include <array>
#include <chrono>
#include <cstdlib>
#include <fstream>

#include "app/QtThreadWaiter.h"
#include "app/TraceView.h"
#include "app/main.h"
#include "base/ScopeExit.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/UdpPeers.h"

namespace {

using TRow = std::array<std::string, 4>;  // zone, server, result, DNSSEC

std::vector<TRow> Rows(const TTraceView& view) {
  std::vector<TRow> rows;
  for (int i = 0; i < view.Steps->topLevelItemCount(); ++i) {
    const QTreeWidgetItem* item = view.Steps->topLevelItem(i);
    rows.push_back({item->text(TTraceView::kZone).toStdString(),
                    item->text(TTraceView::kServer).toStdString(),
                    item->text(TTraceView::kResult).toStdString(),
                    item->text(TTraceView::kDnssec).toStdString()});
  }
  return rows;
}

void Trace(TfrmMain& window, const char* name, int type, bool dnssec) {
  window.edtName->setText(name);
  window.cbNameType->setCurrentIndex(type);
  window.chkDnssec->setChecked(dnssec);
  window.actTraza->trigger();
}

}  // namespace

TEST(TraceWindow, ShowsEachZoneOfTheSignedTreeAsItsStepArrives) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const auto anchor = TrustSignedTreeAnchor();
  const std::string root = "127.0.0.10 (a.root-servers.example.)";
  const std::string tld = "127.0.0.11 (ns1.example.)";
  const std::string child = "127.0.0.12 (ns2.example.)";
  struct TCase {
    const char* name;
    int type;  // the cbNameType entry
    bool dnssec;
    std::vector<TRow> rows;
  };
  const TCase cases[] = {
      {"www.ed.example",
       1,
       true,
       {{".", root, "referencia a example.", "segura"},
        {"example.", tld, "referencia a ed.example.", "segura"},
        {"ed.example.", child, "respuesta", "segura"}}},
      {"www.bogus-ds.example",
       1,
       true,
       {{".", root, "referencia a example.", "segura"},
        {"example.", tld, "referencia a bogus-ds.example.", "segura"},
        {"bogus-ds.example.", child, "respuesta", "falsa"}}},
      {"nothing.ed.example",
       5,
       false,
       {{".", root, "referencia a example.", ""},
        {"example.", tld, "referencia a ed.example.", ""},
        {"ed.example.", child, "NXDOMAIN", ""}}},
  };
  TQtWaiterInstallation waiter;
  TfrmMain window;
  window.edtDnsServer->setText("127.0.0.53");
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    Trace(window, c.name, c.type, c.dnssec);
    TTraceView* view = window.TraceWindow();
    ASSERT_NE(view, nullptr);
    // Every step is in the view before the walk ends.
    int shown_while_running = 0;
    const auto watch = QObject::connect(view->Steps->model(), &QAbstractItemModel::rowsInserted,
                                        [&](const QModelIndex& parent) {
                                          if (!parent.isValid() && view->Running())
                                            ++shown_while_running;
                                        });
    ASSERT_TRUE(WaitUntil([&] { return !view->Running(); }));
    QObject::disconnect(watch);
    EXPECT_EQ(Rows(*view), c.rows);
    EXPECT_EQ(shown_while_running, static_cast<int>(c.rows.size()));
    EXPECT_EQ(view->Hints->text().toStdString(), "Servidores raíz según 127.0.0.53");
    EXPECT_EQ(view->Outcome->text().toStdString(), "Terminada en 3 pasos");
    // The last step holds the records it ended with.
    const QTreeWidgetItem* last = view->Steps->topLevelItem(view->Steps->topLevelItemCount() - 1);
    ASSERT_GT(last->childCount(), 0);
    EXPECT_NE(last->child(0)->text(0).indexOf(c.type == 1 ? "\tA\t" : "\tSOA\t"), -1)
        << last->child(0)->text(0).toStdString();
  }
}

// A root that takes the questions and never answers: Escape ends the wait at once.
TEST(TraceWindow, EscapeStopsTheWalkAndKeepsItInView) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const UdpLoopbackPeer silent(UdpLoopbackPeer::Silent());
  const std::string hints = ::testing::TempDir() + "/silent-root.hints";
  std::ofstream(hints) << ". NS silent.test.\nsilent.test. A " << silent.Address() << "\n";
  setenv("PELLAMAR_ROOT_HINTS", hints.c_str(), 1);
  auto restore = ScopeExit([] { unsetenv("PELLAMAR_ROOT_HINTS"); });

  TQtWaiterInstallation waiter;
  TfrmMain window;
  window.edtDnsServer->setText("127.0.0.1");
  window.edtPort->setText(QString::number(silent.Port()));
  window.edtTimeOut->setText("20");
  Trace(window, "www.ed.example", 1, false);
  TTraceView* view = window.TraceWindow();
  ASSERT_TRUE(view->Running());
  QTest::qWait(200);
  const auto pressed = std::chrono::steady_clock::now();
  QTest::keyClick(view, Qt::Key_Escape);
  ASSERT_TRUE(WaitUntil([&] { return !view->Running(); }));
  EXPECT_LT(std::chrono::steady_clock::now() - pressed, std::chrono::seconds(5));
  EXPECT_EQ(view->Outcome->text().toStdString(), "Detenida");
  EXPECT_TRUE(view->isVisible()) << "the first Escape stops; it does not close";
  EXPECT_EQ(view->Hints->text().toStdString(), "Servidores raíz de " + hints);
}
