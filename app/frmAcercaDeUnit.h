// The about box: the program's name, version, credits and a link to its web page. The
// main window creates it for "&Acerca de..", shows it modally and frees it afterwards.
#pragma once

#include <QColor>
#include <QDialog>
#include <QPalette>
#include <QString>
#include <QUrl>
#include <functional>

class QFrame;
class QLabel;
class QPushButton;

// Pellamar's web page, shown in the about box and in the main window's status bar.
inline constexpr const char* kPellamarWebAddress = "https://pellamar.example.org/";

class TfrmAcercaDe : public QDialog {
  Q_OBJECT

 public:
  // The owner is the window the dialog is centred over and whose input it blocks.
  explicit TfrmAcercaDe(QWidget* owner);

  // Controls, in the order they are declared on the form (owned by the dialog).
  QLabel* Image1;
  QLabel* Label1;
  QFrame* Bevel1;
  QLabel* Label3;
  QLabel* Label4;
  QLabel* Label6;
  QLabel* Label7;
  QLabel* Label8;
  QLabel* Image2;
  QLabel* Label2;
  QPushButton* btnAceptar;

  // How Label8Click opens the address: the desktop's default handler unless replaced.
  std::function<bool(const QUrl&)> OpenUrl;

  void btnAceptarClick();
  // Opens the web address with the desktop's default handler; a desktop that cannot open
  // it is not reported, the dialog simply stays as it is. A click, or Enter or Space
  // while the link has the focus (Tab reaches it), calls it.
  void Label8Click();
};

// The least contrast between text and its background that reads well (WCAG's 4.5:1).
inline constexpr double kReadableContrast = 4.5;

// The contrast ratio of two colours, from 1 (the same) to 21 (black on white).
double ContrastRatio(const QColor& a, const QColor& b);

// The palette's link colour when it reads well on the palette's button face (the about
// box's background); otherwise that colour moved towards the button text until it does,
// for a dark theme that left the link colour of a light one.
QColor ReadableLinkColour(const QPalette& palette);
