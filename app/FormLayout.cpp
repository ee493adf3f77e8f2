#include "app/FormLayout.h"

#include <QFontDatabase>
#include <QStringList>
#include <algorithm>
#include <mutex>

// Outside any namespace: the macro declares the resource initialiser by its plain name.
static void RegisterArtwork() {
  Q_INIT_RESOURCE(pellamar);
}

void LoadArtwork() {
  static std::once_flag once;
  std::call_once(once, RegisterArtwork);
}

QFont FontWithFallback(const QString& family, int points, bool fixedPitch) {
  const QFont system =
      QFontDatabase::systemFont(fixedPitch ? QFontDatabase::FixedFont : QFontDatabase::GeneralFont);
  QStringList families = {family};
  // The Liberation fonts keep the widths of the common Windows fonts, so captions drawn
  // for those still fit where they were placed.
  families << (fixedPitch ? QStringLiteral("Liberation Mono") : QStringLiteral("Liberation Sans"));
  if (!system.family().isEmpty() && !families.contains(system.family()))
    families << system.family();
  // fontconfig's generic names pick something sensible when the platform names no font.
  families << (fixedPitch ? QStringLiteral("monospace") : QStringLiteral("sans-serif"));

  QFont font;
  font.setFamilies(families);
  font.setPointSize(points);
  font.setStyleHint(fixedPitch ? QFont::TypeWriter : QFont::SansSerif);
  font.setFixedPitch(fixedPitch);
  return font;
}

QFont FormFont() {
  return FontWithFallback(QStringLiteral("MS Sans Serif"), kDefaultFontPoints, false);
}

QFont FixedFont() {
  // The desktop's own fixed-width font at the size the desktop gives it; "monospace"
  // stands behind it for a platform that names none.
  QFont font = QFontDatabase::systemFont(QFontDatabase::FixedFont);
  QStringList families = {font.family(), QStringLiteral("monospace")};
  families.removeAll(QString());
  font.setFamilies(families);
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  return font;
}

QFont TahomaFont(int points) {
  return FontWithFallback(QStringLiteral("Tahoma"), points, false);
}

QFont ArialFont(int points) {
  return FontWithFallback(QStringLiteral("Arial"), points, false);
}

void Place(QWidget& widget, const TPlace& place) {
  widget.setGeometry(place.Left, place.Top, place.Width, place.Height);
}

void Place(QWidget& widget, const TSpot& spot) {
  widget.adjustSize();
  widget.move(spot.Left, spot.Top);
}

void PlaceCaption(QWidget& caption, const TSpot& spot, const QWidget& named) {
  caption.adjustSize();
  const int limit = named.x() - kCaptionGap;
  int left = spot.Left;
  if (left < named.x() && left + caption.width() > limit) {
    // Too wide for its room: first move it left, and only if the whole room before the
    // control is still too narrow, make its font smaller (not below kSmallestPoints).
    QFont font = caption.font();
    while (caption.width() > limit && font.pointSizeF() > kSmallestPoints) {
      font.setPointSizeF(font.pointSizeF() - 0.5);
      caption.setFont(font);
      caption.adjustSize();
    }
    left = std::max(0, limit - caption.width());
  }
  caption.move(left, spot.Top);
}
