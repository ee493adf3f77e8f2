// "Cadena de confianza": the chain of trust behind a DNSSEC verdict, drawn as the graph the
// validator recorded (dns/zvDnssecGraph.h). A box per zone from the trust anchor down,
// holding the DS records its parent has for it, its keys and, at the bottom, the answer's
// record sets; arrows for "the DS matches the key" and "the key signs the set". Each
// element is outlined in its verdict's colour (secure, insecure, bogus, indeterminate)
// and a broken arrow is dashed and labelled with its reason. The view zooms (wheel,
// Ctrl + and Ctrl -) and exports PNG and SVG.
#pragma once

#include <QColor>
#include <QGraphicsView>
#include <QWidget>
#include <memory>

#include "dns/zvDnssecGraph.h"

class QGraphicsScene;
class QLabel;
class QPalette;

// The colour of a verdict in a theme: darker on a light one, lighter on a dark one. A
// forged answer's lines in the result pane take the bogus one.
QColor VerdictColour(TzvDnssecVerdict verdict, const QPalette& palette);

// What each item of a drawn chain carries (QGraphicsItem::data), for whoever reads the
// scene rather than its pixels: the element ("zone", "node" or "edge"), its id (a node's
// or zone's; "FROM>TO" for an arrow), its verdict (DnssecVerdictText) and its kind
// ("key", "ds", "anchor", "nods", "rrset", "matches", "signs").
enum TChainItemData { kChainElement = 0, kChainId = 1, kChainVerdict = 2, kChainKind = 3 };

// Draws `graph` into `scene`, emptied first, in the palette's colours.
void DrawChain(QGraphicsScene& scene, const TzvDnssecGraph& graph, const QPalette& palette);

// The zoomable view of a drawn chain: the wheel zooms about the pointer.
class TChainGraphView : public QGraphicsView {
 public:
  explicit TChainGraphView(QWidget* parent = nullptr);
  void ZoomBy(double factor);
  double Zoom() const { return transform().m11(); }

 protected:
  void wheelEvent(QWheelEvent* event) override;
};

class TChainView : public QWidget {
 public:
  explicit TChainView(QWidget* parent = nullptr);
  ~TChainView() override;

  // Draws `graph` (copied), or says there is none yet when it is null.
  void ShowGraph(const TzvDnssecGraph* graph);
  QGraphicsScene* Scene() const { return scene_.get(); }
  TChainGraphView* View() const { return view_; }
  // The picture, whole, to a file; false when it could not be written.
  bool ExportPng(const QString& path) const;
  bool ExportSvg(const QString& path) const;

 protected:
  void changeEvent(QEvent* event) override;

 private:
  void Export(bool svg);
  void Redraw();

  std::unique_ptr<QGraphicsScene> scene_;
  TChainGraphView* view_;  // owned by this widget
  QLabel* none_;           // owned by this widget: shown while there is no chain
  std::unique_ptr<TzvDnssecGraph> graph_;
};
