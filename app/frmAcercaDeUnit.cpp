#include "app/frmAcercaDeUnit.h"

#include <QDesktopServices>
#include <QFrame>
#include <QLabel>
#include <QMouseEvent>
#include <QPixmap>
#include <QPushButton>

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

  Label8 = MakeChild<QLabel>(this);
  Label8->setObjectName(QStringLiteral("Label8"));
  QFont linkFont = ArialFont(kDefaultFontPoints);
  linkFont.setUnderline(true);
  Label8->setFont(linkFont);
  // Drawn in the palette's link colour, set to blue: left alone, a label on the dialog's
  // button-face background would take the button text colour.
  QPalette linkPalette = Label8->palette();
  linkPalette.setColor(QPalette::Link, Qt::blue);
  Label8->setPalette(linkPalette);
  Label8->setForegroundRole(QPalette::Link);
  Label8->setCursor(Qt::PointingHandCursor);
  Label8->setText(QUrl(QString::fromLatin1(kPellamarWebAddress)).host());
  Label8->setToolTip(QString::fromLatin1(kPellamarWebAddress));
  Place(*Label8, kLabel8);
  Label8->installEventFilter(this);

  Image2 = MakePicture(this, QStringLiteral(":/pellamar/banner.png"), kImage2);
  Image2->setObjectName(QStringLiteral("Image2"));

  Label2 = MakeCaption(this, QStringLiteral("los desarrolladores de Pellamar"), kLabel2);
  Label2->setObjectName(QStringLiteral("Label2"));

  btnAceptar = MakeChild<QPushButton>(this);
  btnAceptar->setObjectName(QStringLiteral("btnAceptar"));
  btnAceptar->setText(QStringLiteral("&Aceptar"));
  btnAceptar->setFont(TahomaFont(kAboutButtonFontPoints));
  btnAceptar->setDefault(true);
  // Enter presses it as the default button; Tab passes it by.
  btnAceptar->setFocusPolicy(Qt::ClickFocus);
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

bool TfrmAcercaDe::eventFilter(QObject* watched, QEvent* event) {
  if (watched == Label8 && event->type() == QEvent::MouseButtonRelease &&
      static_cast<QMouseEvent*>(event)->button() == Qt::LeftButton) {
    Label8Click();
    return true;
  }
  return QDialog::eventFilter(watched, event);
}
