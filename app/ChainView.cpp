#include "app/ChainView.h"

#include <QAction>
#include <QApplication>
#include <QEvent>
#include <QFileDialog>
#include <QFontMetrics>
#include <QGraphicsPathItem>
#include <QGraphicsScene>
#include <QGraphicsSimpleTextItem>
#include <QHBoxLayout>
#include <QImage>
#include <QLabel>
#include <QMessageBox>
#include <QPainter>
#include <QPainterPath>
#include <QPalette>
#include <QPushButton>
#include <QSvgGenerator>
#include <QVBoxLayout>
#include <QWheelEvent>
#include <algorithm>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "app/FormLayout.h"
#include "app/WindowTexts.h"

namespace {

constexpr double kNodeGap = 64;    // between nodes of a row, room for an arrow's label
constexpr double kRowGap = 46;     // between rows, room for an arrow's label
constexpr double kBoxMargin = 16;  // inside a zone's box
constexpr double kZoneGap = 40;    // between zones' boxes
constexpr double kMinNodeWidth = 120;
constexpr double kZoomStep = 1.25;

QString Utf8(const char* text) {
  return QString::fromUtf8(text);
}

QString VerdictWord(TzvDnssecVerdict verdict) {
  switch (verdict) {
    case TzvDnssecVerdict::Secure:
      return Utf8(zvWindowTexts::kVerdictSecure);
    case TzvDnssecVerdict::Insecure:
      return Utf8(zvWindowTexts::kVerdictInsecure);
    case TzvDnssecVerdict::Bogus:
      return Utf8(zvWindowTexts::kVerdictBogus);
    case TzvDnssecVerdict::Indeterminate:
      break;
  }
  return Utf8(zvWindowTexts::kVerdictIndeterminate);
}

QString ZoneName(const std::string& zone) {
  return zone == "." ? Utf8(zvWindowTexts::kRoot) + QStringLiteral(" (.)")
                     : QString::fromStdString(zone);
}

const char* KindName(TzvDnssecNodeKind kind) {
  switch (kind) {
    case TzvDnssecNodeKind::Anchor:
      return "anchor";
    case TzvDnssecNodeKind::Key:
      return "key";
    case TzvDnssecNodeKind::Ds:
      return "ds";
    case TzvDnssecNodeKind::NoDs:
      return "nods";
    case TzvDnssecNodeKind::RRset:
      break;
  }
  return "rrset";
}

// What a node's box says; the library's reason, in its own words, below.
QString NodeText(const TzvDnssecNode& node) {
  const QString algorithm = Utf8(zvWindowTexts::kNodeAlgorithm) + QString::number(node.Algorithm);
  QString text;
  switch (node.Kind) {
    case TzvDnssecNodeKind::Anchor:
      text = Utf8(zvWindowTexts::kNodeAnchor);
      break;
    case TzvDnssecNodeKind::Key:
      text = QStringLiteral("DNSKEY %1\n%2, %3")
                 .arg(node.Tag)
                 .arg(algorithm, node.Ksk ? QStringLiteral("KSK") : QStringLiteral("ZSK"));
      break;
    case TzvDnssecNodeKind::Ds:
      text = QStringLiteral("DS %1\n%2%3%4")
                 .arg(node.Tag)
                 .arg(algorithm, Utf8(zvWindowTexts::kNodeDigest))
                 .arg(node.DigestType);
      break;
    case TzvDnssecNodeKind::NoDs:
      text = Utf8(zvWindowTexts::kNodeNoDs);
      break;
    case TzvDnssecNodeKind::RRset:
      text = QString::fromStdString(node.Owner + "/" + node.Type);
      break;
  }
  if (!node.Reason.empty())
    text += QLatin1Char('\n') + Utf8(zvWindowTexts::kBrokenBecause) +
            QString::fromStdString(node.Reason);
  return text;
}

void Tag(QGraphicsItem& item, const char* element, const QString& id, TzvDnssecVerdict verdict,
         const char* kind) {
  item.setData(kChainElement, QString::fromLatin1(element));
  item.setData(kChainId, id);
  item.setData(kChainVerdict, QString::fromStdString(DnssecVerdictText(verdict)));
  item.setData(kChainKind, QString::fromLatin1(kind));
}

QPen VerdictPen(TzvDnssecVerdict verdict, const QPalette& palette) {
  QPen pen(VerdictColour(verdict, palette), verdict == TzvDnssecVerdict::Secure ? 1.5 : 2.5);
  if (verdict != TzvDnssecVerdict::Secure) pen.setStyle(Qt::DashLine);
  return pen;
}

struct TPlaced {
  const TzvDnssecNode* Node;
  QRectF Box;
};

// The rows of one zone's box, top to bottom: the DS records its parent has for it, its
// trust anchor and keys (signing keys first), then what lies below its keys.
std::vector<std::vector<const TzvDnssecNode*>> RowsOf(const TzvDnssecGraph& graph,
                                                      const std::string& zone) {
  std::vector<std::vector<const TzvDnssecNode*>> rows(3);
  for (const TzvDnssecNode& node : graph.Nodes) {
    if (node.Zone != zone) continue;
    switch (node.Kind) {
      case TzvDnssecNodeKind::Ds:
        rows[0].push_back(&node);
        break;
      case TzvDnssecNodeKind::Anchor:
      case TzvDnssecNodeKind::Key:
        rows[1].push_back(&node);
        break;
      default:
        rows[2].push_back(&node);
    }
  }
  std::stable_sort(rows[1].begin(), rows[1].end(), [](const auto* a, const auto* b) {
    const auto rank = [](const TzvDnssecNode* n) {
      return n->Kind == TzvDnssecNodeKind::Anchor ? 0 : n->Ksk ? 1 : 2;
    };
    return rank(a) < rank(b);
  });
  rows.erase(std::remove_if(rows.begin(), rows.end(), [](const auto& row) { return row.empty(); }),
             rows.end());
  return rows;
}

// Where an arrow from `from` to `to` leaves and arrives: bottom to top when the target
// lies lower, top to bottom when higher, side to side within a row.
std::pair<QPointF, QPointF> Ends(const QRectF& from, const QRectF& to) {
  if (to.top() >= from.bottom() - 1)
    return {QPointF(from.center().x(), from.bottom()), QPointF(to.center().x(), to.top())};
  if (to.bottom() <= from.top() + 1)
    return {QPointF(from.center().x(), from.top()), QPointF(to.center().x(), to.bottom())};
  if (to.left() >= from.right())
    return {QPointF(from.right(), from.center().y()), QPointF(to.left(), to.center().y())};
  return {QPointF(from.left(), from.center().y()), QPointF(to.right(), to.center().y())};
}

void DrawEdge(QGraphicsScene& scene, const TzvDnssecEdge& edge, const QRectF& from,
              const QRectF& to, const QPalette& palette, const QFont& font) {
  QPainterPath path;
  QPointF tip, towards;
  if (edge.From == edge.To) {
    // A key that signs the set it is the only one of: a loop on its right.
    const QPointF start(from.right(), from.center().y() - 8),
        end(from.right(), from.center().y() + 8);
    path.moveTo(start);
    path.cubicTo(start + QPointF(40, -24), end + QPointF(40, 24), end);
    tip = end;
    towards = end + QPointF(12, 6);
  } else {
    const auto [start, end] = Ends(from, to);
    path.moveTo(start);
    path.lineTo(end);
    tip = end;
    towards = start;
  }
  const bool matches = edge.Kind == TzvDnssecEdgeKind::DsMatchesKey;
  const QString id = QString::fromStdString(edge.From + ">" + edge.To);
  auto* line = scene.addPath(path, VerdictPen(edge.Verdict, palette));
  Tag(*line, "edge", id, edge.Verdict, matches ? "matches" : "signs");
  QString long_text =
      Utf8(matches ? zvWindowTexts::kEdgeDsMatchesKey : zvWindowTexts::kEdgeKeySignsSet);
  QString short_text =
      Utf8(matches ? zvWindowTexts::kEdgeDsMatchesKeyShort : zvWindowTexts::kEdgeKeySignsSetShort);
  if (!edge.Reason.empty()) {
    const QString broken =
        Utf8(zvWindowTexts::kBrokenBecause) + QString::fromStdString(edge.Reason);
    long_text += QLatin1Char('\n') + broken;
    short_text += QLatin1Char('\n') + broken;
  }
  line->setToolTip(long_text);
  // The arrowhead.
  const double angle = std::atan2(tip.y() - towards.y(), tip.x() - towards.x());
  QPolygonF head;
  head << tip << tip - QPointF(std::cos(angle - 0.45) * 10, std::sin(angle - 0.45) * 10)
       << tip - QPointF(std::cos(angle + 0.45) * 10, std::sin(angle + 0.45) * 10);
  auto* arrow = scene.addPolygon(head, QPen(VerdictColour(edge.Verdict, palette)),
                                 QBrush(VerdictColour(edge.Verdict, palette)));
  arrow->setParentItem(line);
  auto* label = scene.addSimpleText(short_text, font);
  label->setBrush(edge.Verdict == TzvDnssecVerdict::Secure
                      ? palette.color(QPalette::PlaceholderText)
                      : VerdictColour(edge.Verdict, palette));
  // Beside a loop; above an arrow within a row; beside one that goes down.
  const QRectF size = label->boundingRect();
  const QPointF middle = path.pointAtPercent(0.5);
  if (edge.From == edge.To)
    label->setPos(from.right() + 34, from.center().y() - size.height() / 2);
  else if (std::abs(tip.y() - towards.y()) < 1)
    label->setPos(middle.x() - size.width() / 2, middle.y() - size.height() - 2);
  else
    label->setPos(middle + QPointF(6, -size.height() / 2));
  label->setParentItem(line);
}

}  // namespace

QColor VerdictColour(TzvDnssecVerdict verdict, const QPalette& palette) {
  const bool dark = palette.color(QPalette::Window).lightness() < 128;
  switch (verdict) {
    case TzvDnssecVerdict::Secure:
      return QColor(dark ? "#66bb6a" : "#2e7d32");
    case TzvDnssecVerdict::Insecure:
      return QColor(dark ? "#b0bec5" : "#607d8b");
    case TzvDnssecVerdict::Bogus:
      return QColor(dark ? "#ef5350" : "#c62828");
    case TzvDnssecVerdict::Indeterminate:
      break;
  }
  return QColor(dark ? "#ffa726" : "#e65100");
}

void DrawChain(QGraphicsScene& scene, const TzvDnssecGraph& graph, const QPalette& palette) {
  scene.clear();
  scene.setBackgroundBrush(palette.color(QPalette::Base));
  const QFont font = QApplication::font();
  QFont bold = font;
  bold.setBold(true);
  const QFontMetricsF metrics(font), bold_metrics(bold);
  const QColor text_colour = palette.color(QPalette::Text);

  // An ellipse (a key) holds its text within the rectangle inscribed in it: √2 wider and
  // higher than the text.
  const auto node_size = [&](const TzvDnssecNode& node) {
    const QRectF bounds = metrics.boundingRect(QRectF(0, 0, 2000, 2000), 0, NodeText(node));
    const bool round =
        node.Kind == TzvDnssecNodeKind::Key || node.Kind == TzvDnssecNodeKind::Anchor;
    const double widen = round ? 1.42 : 1.0;
    return QSizeF(std::max(kMinNodeWidth, bounds.width() * widen + 20),
                  bounds.height() * widen + (round ? 6 : 14));
  };

  // The zones' boxes, then the nodes outside any box (the answer's sets of no known zone),
  // stacked from the top, each row centred on x = 0.
  std::map<std::string, TPlaced> placed;
  double top = 0;
  const QString heading =
      Utf8(zvWindowTexts::kChainVerdict) + VerdictWord(graph.Verdict) +
      (graph.Reason.empty() ? QString()
                            : QStringLiteral(" — ") + QString::fromStdString(graph.Reason));
  auto* title = scene.addSimpleText(heading, bold);
  title->setBrush(VerdictColour(graph.Verdict, palette));
  title->setPos(-bold_metrics.horizontalAdvance(heading) / 2, top);
  Tag(*title, "title", QString(), graph.Verdict, "title");
  top += bold_metrics.height() + kZoneGap / 2;

  const auto place_rows = [&](const std::vector<std::vector<const TzvDnssecNode*>>& rows,
                              double y) {
    for (const auto& row : rows) {
      double width = -kNodeGap, height = 0;
      std::vector<QSizeF> sizes;
      for (const TzvDnssecNode* node : row) {
        sizes.push_back(node_size(*node));
        width += sizes.back().width() + kNodeGap;
        height = std::max(height, sizes.back().height());
      }
      double x = -width / 2;
      for (std::size_t i = 0; i < row.size(); ++i) {
        // Centred on the row's middle, so that an arrow within the row runs level.
        placed[row[i]->Id] = {row[i],
                              QRectF(QPointF(x, y + (height - sizes[i].height()) / 2), sizes[i])};
        x += sizes[i].width() + kNodeGap;
      }
      y += height + kRowGap;
    }
    return y - kRowGap;
  };

  for (const TzvDnssecZoneBox& zone : graph.Zones) {
    const QString caption =
        ZoneName(zone.Name) + QStringLiteral(" — ") + VerdictWord(zone.Verdict) +
        (zone.Reason.empty() ? QString()
                             : QLatin1Char('\n') + Utf8(zvWindowTexts::kBrokenBecause) +
                                   QString::fromStdString(zone.Reason));
    const QRectF caption_bounds = bold_metrics.boundingRect(QRectF(0, 0, 2000, 2000), 0, caption);
    const double inside = top + kBoxMargin + caption_bounds.height() + kBoxMargin;
    const double bottom = place_rows(RowsOf(graph, zone.Name), inside);
    double left = -caption_bounds.width() / 2, right = caption_bounds.width() / 2;
    for (const TzvDnssecNode& node : graph.Nodes)
      if (node.Zone == zone.Name) {
        left = std::min(left, placed[node.Id].Box.left());
        right = std::max(right, placed[node.Id].Box.right());
      }
    const QRectF box(left - kBoxMargin, top, right - left + 2 * kBoxMargin,
                     std::max(bottom, inside) - top + kBoxMargin);
    QPainterPath outline;
    outline.addRoundedRect(box, 10, 10);
    auto* item = scene.addPath(outline, VerdictPen(zone.Verdict, palette));
    item->setZValue(-1);
    Tag(*item, "zone", QString::fromStdString(zone.Name), zone.Verdict, "zone");
    auto* text = scene.addSimpleText(caption, bold);
    text->setBrush(VerdictColour(zone.Verdict, palette));
    text->setPos(box.left() + kBoxMargin, top + kBoxMargin / 2);
    text->setParentItem(item);
    top = box.bottom() + kZoneGap;
  }
  std::vector<const TzvDnssecNode*> loose;
  for (const TzvDnssecNode& node : graph.Nodes)
    if (placed.count(node.Id) == 0) loose.push_back(&node);
  if (!loose.empty()) top = place_rows({loose}, top) + kZoneGap;

  for (const auto& [id, where] : placed) {
    const TzvDnssecNode& node = *where.Node;
    QPainterPath shape;
    if (node.Kind == TzvDnssecNodeKind::Key || node.Kind == TzvDnssecNodeKind::Anchor)
      shape.addEllipse(where.Box);
    else
      shape.addRoundedRect(where.Box, 6, 6);
    QPen pen = VerdictPen(node.Verdict, palette);
    pen.setStyle(Qt::SolidLine);
    QColor fill = VerdictColour(node.Verdict, palette);
    fill.setAlpha(40);
    auto* item = scene.addPath(shape, pen, QBrush(fill));
    Tag(*item, "node", QString::fromStdString(node.Id), node.Verdict, KindName(node.Kind));
    item->setToolTip(NodeText(node) + QStringLiteral("\n") + VerdictWord(node.Verdict));
    auto* text = scene.addSimpleText(NodeText(node), font);
    text->setBrush(text_colour);
    const QRectF bounds = text->boundingRect();
    text->setPos(where.Box.center() - bounds.center());
    text->setParentItem(item);
  }
  for (const TzvDnssecEdge& edge : graph.Edges) {
    const auto from = placed.find(edge.From), to = placed.find(edge.To);
    // An arrow from a key the graph does not hold (a signature naming an unknown key) has
    // nothing to start from: its target's reason says what failed.
    if (from == placed.end() || to == placed.end()) continue;
    DrawEdge(scene, edge, from->second.Box, to->second.Box, palette, font);
  }

  // The legend: the four verdicts, and the two kinds of arrow.
  double x = 0;
  std::vector<QGraphicsItem*> legend;
  for (const TzvDnssecVerdict verdict :
       {TzvDnssecVerdict::Secure, TzvDnssecVerdict::Insecure, TzvDnssecVerdict::Bogus,
        TzvDnssecVerdict::Indeterminate}) {
    QColor fill = VerdictColour(verdict, palette);
    fill.setAlpha(40);
    auto* swatch = scene.addRect(QRectF(x, top, 14, 14), QPen(VerdictColour(verdict, palette), 2),
                                 QBrush(fill));
    Tag(*swatch, "legend", QString(), verdict, "legend");
    auto* word = scene.addSimpleText(VerdictWord(verdict), font);
    word->setBrush(text_colour);
    word->setPos(x + 20, top - 1);
    x += 20 + metrics.horizontalAdvance(VerdictWord(verdict)) + 24;
    legend.push_back(swatch);
    legend.push_back(word);
  }
  const QString arrows = QStringLiteral("→ ") + Utf8(zvWindowTexts::kEdgeDsMatchesKey) +
                         QStringLiteral("   → ") + Utf8(zvWindowTexts::kEdgeKeySignsSet);
  auto* kinds = scene.addSimpleText(arrows, font);
  kinds->setBrush(text_colour);
  kinds->setPos(x + 8, top - 1);
  legend.push_back(kinds);
  x += 8 + metrics.horizontalAdvance(arrows);
  for (QGraphicsItem* item : legend) item->moveBy(-x / 2, 0);
  scene.setSceneRect(scene.itemsBoundingRect().adjusted(-24, -24, 24, 24));
}

TChainGraphView::TChainGraphView(QWidget* parent) : QGraphicsView(parent) {
  setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
  setDragMode(QGraphicsView::ScrollHandDrag);
  setTransformationAnchor(QGraphicsView::AnchorUnderMouse);
}

void TChainGraphView::ZoomBy(double factor) {
  // Between a tenth and eight times: beyond either the picture is no use.
  const double zoom = std::clamp(Zoom() * factor, 0.1, 8.0);
  scale(zoom / Zoom(), zoom / Zoom());
}

void TChainGraphView::wheelEvent(QWheelEvent* event) {
  const int steps = event->angleDelta().y();
  if (steps == 0) return QGraphicsView::wheelEvent(event);
  ZoomBy(std::pow(kZoomStep, steps / 120.0));
  event->accept();
}

TChainView::TChainView(QWidget* parent)
    : QWidget(parent), scene_(std::make_unique<QGraphicsScene>()) {
  setObjectName(QStringLiteral("ChainView"));
  setWindowTitle(Utf8(zvWindowTexts::kChainTitle));
  resize(760, 640);
  auto* column = MakeChild<QVBoxLayout>(this);
  auto* buttons = new QHBoxLayout;  // the column takes it over below
  const auto button = [&](const char* name, const char* caption, QKeySequence keys, auto pressed) {
    auto* push = MakeChild<QPushButton>(this);
    push->setObjectName(QString::fromLatin1(name));
    push->setText(Utf8(caption));
    push->setAutoDefault(false);
    if (!keys.isEmpty()) {
      push->setToolTip(keys.toString(QKeySequence::NativeText));
      auto* action = MakeChild<QAction>(this);
      action->setShortcut(keys);
      action->setShortcutContext(Qt::WindowShortcut);
      addAction(action);
      connect(action, &QAction::triggered, this, pressed);
    }
    connect(push, &QPushButton::clicked, this, pressed);
    buttons->addWidget(push);
  };
  button("btnZoomIn", zvWindowTexts::kChainZoomIn, QKeySequence(QKeySequence::ZoomIn),
         [this] { view_->ZoomBy(kZoomStep); });
  button("btnZoomOut", zvWindowTexts::kChainZoomOut, QKeySequence(QKeySequence::ZoomOut),
         [this] { view_->ZoomBy(1 / kZoomStep); });
  button("btnFit", zvWindowTexts::kChainFit, QKeySequence(),
         [this] { view_->fitInView(scene_->sceneRect(), Qt::KeepAspectRatio); });
  buttons->addStretch(1);
  button("btnExportPng", zvWindowTexts::kChainExportPng, QKeySequence(), [this] { Export(false); });
  button("btnExportSvg", zvWindowTexts::kChainExportSvg, QKeySequence(), [this] { Export(true); });
  column->addLayout(buttons);
  none_ = MakeChild<QLabel>(this);
  none_->setText(Utf8(zvWindowTexts::kChainNone));
  none_->setWordWrap(true);
  column->addWidget(none_);
  view_ = MakeChild<TChainGraphView>(this);
  view_->setScene(scene_.get());
  column->addWidget(view_, 1);
  ShowGraph(nullptr);
}

TChainView::~TChainView() {
  // The view goes with this widget's children, after the scene it shows would be gone.
  view_->setScene(nullptr);
}

void TChainView::ShowGraph(const TzvDnssecGraph* graph) {
  graph_ = graph ? std::make_unique<TzvDnssecGraph>(*graph) : nullptr;
  none_->setVisible(graph_ == nullptr);
  Redraw();
}

void TChainView::Redraw() {
  if (graph_)
    DrawChain(*scene_, *graph_, palette());
  else
    scene_->clear();
}

void TChainView::changeEvent(QEvent* event) {
  QWidget::changeEvent(event);
  // Light or dark: the colours follow the desktop's theme.
  if (event->type() == QEvent::PaletteChange) Redraw();
}

bool TChainView::ExportPng(const QString& path) const {
  const QRectF area = scene_->sceneRect();
  // Twice the scene's size: sharp on a screen of high density and in print.
  QImage image((area.size() * 2).toSize(), QImage::Format_ARGB32);
  image.fill(palette().color(QPalette::Base));
  {
    QPainter painter(&image);
    painter.setRenderHints(QPainter::Antialiasing | QPainter::TextAntialiasing);
    scene_->render(&painter, QRectF(), area);
  }
  return image.save(path, "PNG");
}

bool TChainView::ExportSvg(const QString& path) const {
  const QRectF area = scene_->sceneRect();
  QSvgGenerator svg;
  svg.setFileName(path);
  svg.setSize(area.size().toSize());
  svg.setViewBox(QRectF(QPointF(0, 0), area.size()));
  svg.setTitle(Utf8(zvWindowTexts::kChainTitle));
  QPainter painter;
  if (!painter.begin(&svg)) return false;
  scene_->render(&painter, QRectF(QPointF(0, 0), area.size()), area);
  return painter.end();
}

void TChainView::Export(bool svg) {
  const QString path = QFileDialog::getSaveFileName(
      this, Utf8(svg ? zvWindowTexts::kChainExportSvg : zvWindowTexts::kChainExportPng),
      Utf8(svg ? zvWindowTexts::kChainSvgFile : zvWindowTexts::kChainPngFile),
      Utf8(svg ? zvWindowTexts::kChainSvgFilter : zvWindowTexts::kChainPngFilter));
  if (path.isEmpty()) return;
  if (!(svg ? ExportSvg(path) : ExportPng(path)))
    QMessageBox::warning(this, QApplication::applicationName(),
                         Utf8(zvWindowTexts::kChainExportFailed).arg(path));
}
