#include <gtest/gtest.h>

#include <QAbstractGraphicsShapeItem>
#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QGraphicsItem>
#include <QGraphicsScene>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <map>
#include <string>
#include <vector>

#include "app/ChainView.h"
#include "app/FormLayout.h"
#include "app/QtThreadWaiter.h"
#include "app/main.h"
#include "base/ScopeExit.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/NetNamespace.h"

namespace {

constexpr int kTypeA = 1, kTypeMx = 0;

void Ask(TfrmMain& window, int type, const char* name, const char* server) {
  window.edtDnsServer->setText(server);
  window.edtName->setText(name);
  window.cbNameType->setCurrentIndex(type);
  window.btnResolver->click();
}

// What the scene shows of one element: its verdict, and the colour it is drawn in.
struct TDrawn {
  std::string Verdict;
  QColor Colour;
};

std::map<std::string, TDrawn> ElementsOf(const QGraphicsScene& scene, const char* element) {
  std::map<std::string, TDrawn> found;
  for (const QGraphicsItem* item : scene.items()) {
    if (item->data(kChainElement).toString() != QLatin1String(element)) continue;
    const auto* shape = dynamic_cast<const QAbstractGraphicsShapeItem*>(item);
    found[item->data(kChainId).toString().toStdString()] = {
        item->data(kChainVerdict).toString().toStdString(),
        shape ? shape->pen().color() : QColor()};
  }
  return found;
}

// The chain's picture for each kind of verdict of the signed tree, opened from the window
// after the lookup: the zones from the root down, the key the DS names, the answer's set,
// each drawn in its verdict's colour, and the broken link where the validator found it.
TEST(ChainViewAgainstSignedTree, EachVerdictDrawsItsZonesKeysAndBrokenLink) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const auto anchor = TrustSignedTreeAnchor();
  TQtWaiterInstallation waiter;
  TfrmMain window;
  window.chkDnssec->setChecked(true);
  struct TCase {
    const char* name;
    const char* verdict;  // of the whole, of the last zone and of the answer's set
    const char* last_zone;
    const char* broken_node;  // kind of a node of the last zone marked with a reason, or ""
    const char* broken_edge;  // kind of a dashed arrow into the last zone, or ""
  };
  const TCase cases[] = {
      {"www.ed.example", "secure", "ed.example", "", ""},
      {"www.insecure.example", "insecure", "insecure.example", "nods", ""},
      {"www.bogus-ds.example", "bogus", "bogus-ds.example", "ds", ""},
      {"www.expired.example", "bogus", "expired.example", "", "signs"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    Ask(window, kTypeA, c.name, "127.0.0.53");
    window.actShowChain->trigger();
    ASSERT_NE(window.ChainView(), nullptr);
    const QGraphicsScene& scene = *window.ChainView()->Scene();
    const QPalette palette = window.ChainView()->palette();
    const auto zones = ElementsOf(scene, "zone");
    const auto nodes = ElementsOf(scene, "node");
    const auto edges = ElementsOf(scene, "edge");
    // The zones from the root, the parents proven.
    for (const char* parent : {".", "example"}) {
      ASSERT_EQ(zones.count(parent), 1u) << parent;
      EXPECT_EQ(zones.at(parent).Verdict, "secure");
    }
    ASSERT_EQ(zones.count(c.last_zone), 1u);
    EXPECT_EQ(zones.at(c.last_zone).Verdict, c.verdict);
    EXPECT_EQ(nodes.at(std::string("rrset:") + c.name + "/A").Verdict, c.verdict);
    EXPECT_EQ(nodes.count("anchor:."), 1u);
    // Every element is drawn in its verdict's colour.
    for (const auto* drawn : {&zones, &nodes})
      for (const auto& [id, element] : *drawn) {
        const TzvDnssecVerdict verdict =
            element.Verdict == "secure"     ? TzvDnssecVerdict::Secure
            : element.Verdict == "insecure" ? TzvDnssecVerdict::Insecure
            : element.Verdict == "bogus"    ? TzvDnssecVerdict::Bogus
                                            : TzvDnssecVerdict::Indeterminate;
        EXPECT_EQ(element.Colour, VerdictColour(verdict, palette)) << id;
      }
    // The root's DS at example. names a key of example., which holds a KSK and a ZSK.
    int matches = 0;
    for (const auto& [id, edge] : edges)
      matches += id.starts_with("ds:example:") && id.find(">key:example:") != std::string::npos;
    EXPECT_EQ(matches, 1);
    // The broken link: a node of the last zone with its reason, or a dashed arrow.
    bool broken_node = false, broken_edge = false;
    for (const QGraphicsItem* item : scene.items()) {
      const std::string id = item->data(kChainId).toString().toStdString();
      const bool in_last = id.find(std::string(":") + c.last_zone + ":") != std::string::npos ||
                           id == std::string("nods:") + c.last_zone;
      if (!in_last || item->data(kChainVerdict).toString() == QLatin1String("secure")) continue;
      const std::string kind = item->data(kChainKind).toString().toStdString();
      broken_node |= item->data(kChainElement) == QLatin1String("node") && kind == c.broken_node;
      if (item->data(kChainElement) == QLatin1String("edge") && kind == c.broken_edge)
        broken_edge |= static_cast<const QGraphicsPathItem*>(item)->pen().style() == Qt::DashLine;
    }
    EXPECT_EQ(broken_node, *c.broken_node != '\0');
    EXPECT_EQ(broken_edge, *c.broken_edge != '\0');
  }
  // A double click on the verdict opens the same view; PNG and SVG are written.
  QTest::mouseDClick(window.StatusPanels[frmMainLayout::kDnssecPanel], Qt::LeftButton);
  EXPECT_TRUE(window.ChainView()->isVisible());
  QTemporaryDir dir;
  EXPECT_TRUE(window.ChainView()->ExportPng(dir.filePath("c.png")));
  EXPECT_TRUE(window.ChainView()->ExportSvg(dir.filePath("c.svg")));
  QFile svg(dir.filePath("c.svg"));
  ASSERT_TRUE(svg.open(QIODevice::ReadOnly));
  EXPECT_TRUE(svg.readAll().contains("expired.example"));
  const double before = window.ChainView()->View()->Zoom();
  window.ChainView()->findChild<QPushButton*>(QStringLiteral("btnZoomIn"))->click();
  EXPECT_GT(window.ChainView()->View()->Zoom(), before);
}

// The window's own words are Spanish after each kind of lookup: every pane line, status
// panel, tooltip and command it shows. The library's own texts it quotes (the DNSSEC
// reason and steps, after "Motivo:" and "Pasos"; the fixed line formats) are left out. A forged
// answer's lines are drawn in the error colour, and the saved file ends with each
// lookup's outcome.
TEST(WindowTextsAgainstSignedTree, SpanishAfterEveryKindOfLookupAndForgedLinesInRed) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const auto anchor = TrustSignedTreeAnchor();
  TQtWaiterInstallation waiter;
  TfrmMain window;
  const QRegularExpression english(
      QStringLiteral("\\b(the|server|answers?|agree|differ|only|from|failed|not|is|are|"
                     "window|type|selected|serial|response|no answer|valid)\\b"),
      QRegularExpression::CaseInsensitiveOption);
  const auto expect_spanish = [&](const QString& text, const QString& where) {
    QString own = text;
    for (const QString& quoted : {QStringLiteral("Motivo:"), QStringLiteral("Pasos (")})
      if (const qsizetype at = own.indexOf(quoted); at >= 0) own.truncate(at);
    for (const QString& line : own.split(QLatin1Char('\n')))
      EXPECT_FALSE(english.match(line).hasMatch())
          << where.toStdString() << ": " << line.toStdString();
  };
  const auto walk = [&] {
    for (const std::string& line : PaneLines(window))
      expect_spanish(QString::fromStdString(line), QStringLiteral("pane"));
    for (QWidget* widget : window.findChildren<QWidget*>()) {
      expect_spanish(widget->toolTip(), widget->objectName());
      if (const auto* label = qobject_cast<QLabel*>(widget))
        expect_spanish(label->text(), widget->objectName());
    }
    for (const QAction* action : window.findChildren<QAction*>())
      expect_spanish(action->text() + QLatin1Char('\n') + action->toolTip(), action->objectName());
  };
  Ask(window, kTypeMx, "pellamar.test", "127.0.0.1");
  walk();
  Ask(window, kTypeA, "h7.batch.pellamar.test", "127.0.0.4 127.0.0.5 127.0.0.71");
  walk();
  window.edtTimeOut->setText(QStringLiteral("x"));
  Ask(window, kTypeA, "pellamar.test", "127.0.0.1");
  walk();
  window.edtTimeOut->setText(QStringLiteral("2"));
  window.chkDnssec->setChecked(true);
  Ask(window, kTypeA, "www.bogus-ds.example", "127.0.0.53");
  walk();
  Ask(window, kTypeA, "www.ed.example", "127.0.0.53");
  walk();
  window.ShowChain();
  for (QWidget* widget : window.ChainView()->findChildren<QWidget*>())
    if (const auto* button = qobject_cast<QPushButton*>(widget))
      expect_spanish(button->text(), button->objectName());

  // The forged answer's line in the error colour, the secure one's below it not.
  const QColor error = VerdictColour(TzvDnssecVerdict::Bogus, window.memResult->palette());
  const auto colour_of = [&](const char* address) {
    for (QTextBlock block = window.memResult->document()->begin(); block.isValid();
         block = block.next())
      if (block.text().contains(QLatin1String(address))) {
        QTextCursor end(block);
        end.movePosition(QTextCursor::EndOfBlock);
        return end.charFormat().foreground().color();
      }
    return QColor();
  };
  EXPECT_EQ(colour_of("192.0.2.51"), error);
  EXPECT_NE(colour_of("192.0.2.10"), error);

  QTemporaryDir dir;
  ASSERT_EQ(window.SaveResults(dir.filePath("r.txt")), QString());
  QFile saved(dir.filePath("r.txt"));
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  const QStringList lines = QString::fromUtf8(saved.readAll()).trimmed().split('\n');
  ASSERT_GE(lines.size(), 2);
  EXPECT_TRUE(
      QRegularExpression(
          QStringLiteral(
              "^; A www\\.bogus-ds\\.example @127\\.0\\.0\\.53, [0-9:]+; resultado: NOERROR, "
              "tiempo: .+ ms, DNSSEC: falsa$"))
          .match(lines[lines.size() - 2])
          .hasMatch())
      << lines[lines.size() - 2].toStdString();
  EXPECT_TRUE(lines.back().endsWith(QStringLiteral("DNSSEC: segura")))
      << lines.back().toStdString();
}

}  // namespace
