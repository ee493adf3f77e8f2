#include "app/frmAcercaDeUnit.h"

#include <QDesktopServices>
#include <QFrame>
#include <QKeyEvent>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QStyle>
#include <QStyleOptionFocusRect>
#include <algorithm>
#include <cmath>
#include <functional>

#include "app/FormLayout.h"
#include "base/Version.h"

using namespace frmAcercaDeLayout;

namespace {

QLabel* MakeCaption(QWidget* parent, const QString& text, const TSpot& spot) {
  auto* label = MakeChild<QLabel>(parent);
  label->setFont(TahomaFont(kDefaultFontPoints));
  label->setText(text);
  Place(*label, spot);
  return label;
}

// A web address drawn as a link that the keyboard reaches too: Tab gives it the focus
// (shown by the style's focus frame), and Enter or Space open it as a click does.
class TLinkLabel : public QLabel {
 public:
  TLinkLabel(QWidget* parent, std::function<void()> activated)
      : QLabel(parent), activated_(std::move(activated)) {
    setFocusPolicy(Qt::StrongFocus);
  }

 protected:
  void mouseReleaseEvent(QMouseEvent* event) override {
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
      activated_();
      return;
    }
    QLabel::mouseReleaseEvent(event);
  }
  void keyPressEvent(QKeyEvent* event) override {
    switch (event->key()) {
      case Qt::Key_Return:
      case Qt::Key_Enter:
      case Qt::Key_Space:
        activated_();
        return;
      default:
        QLabel::keyPressEvent(event);
    }
  }
  void paintEvent(QPaintEvent* event) override {
    QLabel::paintEvent(event);
    if (!hasFocus()) return;
    QPainter painter(this);
    QStyleOptionFocusRect option;
    option.initFrom(this);
    option.backgroundColor = palette().color(backgroundRole());
    style()->drawPrimitive(QStyle::PE_FrameFocusRect, &option, &painter, this);
  }

 private:
  std::function<void()> activated_;
};

// WCAG's relative luminance of a colour.
double Luminance(const QColor& colour) {
  const auto channel = [](double value) {
    return value <= 0.03928 ? value / 12.92 : std::pow((value + 0.055) / 1.055, 2.4);
  };
  return 0.2126 * channel(colour.redF()) + 0.7152 * channel(colour.greenF()) +
         0.0722 * channel(colour.blueF());
}

QLabel* MakePicture(QWidget* parent, const QString& resource, const TPlace& place) {
  auto* image = MakeChild<QLabel>(parent);
  image->setPixmap(QPixmap(resource));
  image->setScaledContents(true);
  Place(*image, place);
  return image;
}

}  // namespace

TfrmAcercaDe::TfrmAcercaDe(QWidget* owner)
    : QDialog(owner), OpenUrl([](const QUrl& url) { return QDesktopServices::openUrl(url); }) {
  LoadArtwork();
  setObjectName(QStringLiteral("frmAcercaDe"));
  setWindowTitle(QStringLiteral("Acerca de"));
  // A fixed dialog frame whose only button is the close box.
  setWindowFlags(Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowCloseButtonHint);
  setFont(FormFont());
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);
  setFixedSize(kClientWidth, kClientHeight);

  Image1 = MakePicture(this, QStringLiteral(":/pellamar/icons/pellamar-48.png"), kImage1);
  Image1->setObjectName(QStringLiteral("Image1"));

  Label1 = MakeCaption(this, QStringLiteral("Pellamar"), kLabel1);
  Label1->setObjectName(QStringLiteral("Label1"));

  Bevel1 = MakeChild<QFrame>(this);
  Bevel1->setObjectName(QStringLiteral("Bevel1"));
  Bevel1->setFrameShape(QFrame::HLine);
  Bevel1->setFrameShadow(QFrame::Sunken);
  Place(*Bevel1, kBevel1);

  Label3 = MakeCaption(
      this, QStringLiteral("Version %1 Build %2").arg(kPellamarVersion, kPellamarBuild), kLabel3);
  Label3->setObjectName(QStringLiteral("Label3"));
  Label4 = MakeCaption(this, QStringLiteral("Web :"), kLabel4);
  Label4->setObjectName(QStringLiteral("Label4"));
  Label6 = MakeCaption(this, QStringLiteral("Autores :"), kLabel6);
  Label6->setObjectName(QStringLiteral("Label6"));
  Label7 =
      MakeCaption(this, QStringLiteral("Consultas DNS sencillas para Linux, en C++20."), kLabel7);
  Label7->setObjectName(QStringLiteral("Label7"));

  Label8 = new TLinkLabel(this, [this] { Label8Click(); });  // owned by the dialog
  Label8->setObjectName(QStringLiteral("Label8"));
  QFont linkFont = ArialFont(kDefaultFontPoints);
  linkFont.setUnderline(true);
  Label8->setFont(linkFont);
  // Drawn in the theme's link colour (blue on a light theme), made readable where a
  // dark theme kept a dark link colour.
  QPalette linkPalette = Label8->palette();
  linkPalette.setColor(QPalette::Link, ReadableLinkColour(linkPalette));
  Label8->setPalette(linkPalette);
  Label8->setForegroundRole(QPalette::Link);
  Label8->setCursor(Qt::PointingHandCursor);
  Label8->setText(QUrl(QString::fromLatin1(kPellamarWebAddress)).host());
  Label8->setToolTip(QString::fromLatin1(kPellamarWebAddress));
  Label8->setAccessibleName(QString::fromLatin1(kPellamarWebAddress));
  Place(*Label8, kLabel8);

  Image2 = MakePicture(this, QStringLiteral(":/pellamar/banner.png"), kImage2);
  Image2->setObjectName(QStringLiteral("Image2"));

  Label2 = MakeCaption(this, QStringLiteral("los desarrolladores de Pellamar"), kLabel2);
  Label2->setObjectName(QStringLiteral("Label2"));

  btnAceptar = MakeChild<QPushButton>(this);
  btnAceptar->setObjectName(QStringLiteral("btnAceptar"));
  btnAceptar->setText(QStringLiteral("&Aceptar"));
  btnAceptar->setFont(TahomaFont(kAboutButtonFontPoints));
  btnAceptar->setDefault(true);
  // Enter presses it as the default button; Tab passes it by. It holds the focus when
  // the dialog opens, so Enter closes the dialog rather than opening the link.
  btnAceptar->setFocusPolicy(Qt::ClickFocus);
  btnAceptar->setFocus();
  Place(*btnAceptar, kBtnAceptar);
  connect(btnAceptar, &QPushButton::clicked, this, &TfrmAcercaDe::btnAceptarClick);

  // The two captions that lead into a text beside them keep clear of it.
  PlaceCaption(*Label4, kLabel4, *Label8);
  PlaceCaption(*Label6, kLabel6, *Label2);
}

void TfrmAcercaDe::btnAceptarClick() {
  accept();
}

void TfrmAcercaDe::Label8Click() {
  if (OpenUrl) OpenUrl(QUrl(QString::fromLatin1(kPellamarWebAddress)));
}

double ContrastRatio(const QColor& a, const QColor& b) {
  const double la = Luminance(a), lb = Luminance(b);
  return (std::max(la, lb) + 0.05) / (std::min(la, lb) + 0.05);
}

QColor ReadableLinkColour(const QPalette& palette) {
  const QColor link = palette.color(QPalette::Link);
  const QColor background = palette.color(QPalette::Button);
  const QColor text = palette.color(QPalette::ButtonText);
  // Steps towards the text colour, which the theme made readable on this background;
  // the text colour itself is the last resort.
  if (ContrastRatio(link, background) >= kReadableContrast) return link;
  constexpr int kSteps = 20;
  for (int step = 1; step <= kSteps; ++step) {
    const double t = static_cast<double>(step) / kSteps;
    const QColor mixed =
        QColor::fromRgbF(static_cast<float>(link.redF() + (text.redF() - link.redF()) * t),
                         static_cast<float>(link.greenF() + (text.greenF() - link.greenF()) * t),
                         static_cast<float>(link.blueF() + (text.blueF() - link.blueF()) * t));
    if (ContrastRatio(mixed, background) >= kReadableContrast) return mixed;
  }
  return text;
}
