// The about box: its layout and texts, the web address it opens, and the ways it ends
// its modal display.
#include <gtest/gtest.h>

#include <QApplication>
#include <QFrame>
#include <QImage>
#include <QLabel>
#include <QPalette>
#include <QPushButton>
#include <QTest>
#include <QUrl>

#include "app/frmAcercaDeUnit.h"
#include "tests/app/AppTestSupport.h"

TEST(AboutBoxLayout, CaptionTextsAndPlaces) {
  QWidget owner;
  TfrmAcercaDe about(&owner);
  EXPECT_EQ(about.windowTitle(), "Acerca de");
  EXPECT_EQ(about.size(), QSize(432, 164));
  EXPECT_EQ(about.minimumSize(), about.maximumSize()) << "the dialog frame is fixed";
  EXPECT_FALSE(about.windowFlags() & Qt::WindowMinimizeButtonHint);
  EXPECT_FALSE(about.windowFlags() & Qt::WindowMaximizeButtonHint);
  EXPECT_TRUE(about.windowFlags() & Qt::WindowCloseButtonHint);

  EXPECT_EQ(about.Label1->text(), "Pellamar");
  EXPECT_EQ(about.Label3->text(), "Version 1.0 Build 170");
  for (QLabel* credit : {about.Label4, about.Label6, about.Label7, about.Label2})
    EXPECT_FALSE(credit->text().isEmpty()) << credit->objectName().toStdString();
  EXPECT_EQ(about.btnAceptar->text(), "&Aceptar");

  EXPECT_EQ(about.Image1->geometry(), QRect(24, 13, 48, 48));
  EXPECT_EQ(about.Image2->geometry(), QRect(10, 109, 416, 55));
  EXPECT_EQ(about.Label8->geometry(), QRect(153, 47, 141, 17));
  EXPECT_EQ(about.btnAceptar->geometry(), QRect(340, 16, 79, 25));
  EXPECT_EQ(about.Bevel1->geometry().topLeft(), QPoint(8, 104));
  EXPECT_EQ(about.Bevel1->width(), 418);
  EXPECT_EQ(about.Bevel1->frameShape(), QFrame::HLine);
  EXPECT_EQ(about.Label1->pos(), QPoint(84, 12));
  EXPECT_EQ(about.Label3->pos(), QPoint(84, 30));
  EXPECT_EQ(about.Label7->pos(), QPoint(84, 85));
  EXPECT_EQ(about.Label2->pos(), QPoint(146, 67));
  // The two lead-in captions keep clear of the texts beside them.
  EXPECT_LE(about.Label4->geometry().right(), about.Label8->x() - 4);
  EXPECT_LE(about.Label6->geometry().right(), about.Label2->x() - 4);
  EXPECT_EQ(about.Label4->y(), 48);
  EXPECT_EQ(about.Label6->y(), 67);

  EXPECT_FALSE(about.Image1->pixmap().isNull()) << "the icon is missing from the resources";
  EXPECT_FALSE(about.Image2->pixmap().isNull()) << "the banner is missing from the resources";
}

TEST(AboutBoxLayout, FontsAndTheLinkLook) {
  QWidget owner;
  TfrmAcercaDe about(&owner);
  EXPECT_EQ(about.font().families().value(0), "MS Sans Serif");
  for (QLabel* label :
       {about.Label1, about.Label3, about.Label4, about.Label6, about.Label7, about.Label2}) {
    EXPECT_EQ(label->font().families().value(0), "Tahoma") << label->objectName().toStdString();
    EXPECT_EQ(label->font().pointSize(), 8) << label->objectName().toStdString();
  }
  EXPECT_EQ(about.btnAceptar->font().families().value(0), "Tahoma");
  EXPECT_EQ(about.btnAceptar->font().pointSize(), 9);

  EXPECT_EQ(about.Label8->font().families().value(0), "Arial");
  EXPECT_TRUE(about.Label8->font().underline());
  EXPECT_EQ(about.Label8->palette().color(about.Label8->foregroundRole()), QColor(Qt::blue));
  EXPECT_EQ(about.Label8->cursor().shape(), Qt::PointingHandCursor);

  // And it is drawn blue, whatever the style does with palettes.
  about.show();
  const QImage drawn = about.Label8->grab().toImage();
  int bluePixels = 0;
  for (int y = 0; y < drawn.height(); ++y)
    for (int x = 0; x < drawn.width(); ++x) {
      const QColor pixel = drawn.pixelColor(x, y);
      if (pixel.blue() > pixel.red() + 80 && pixel.blue() > pixel.green() + 80) ++bluePixels;
    }
  EXPECT_GT(bluePixels, 20);
}

TEST(AboutBoxLink, AClickOpensTheWebAddress) {
  QWidget owner;
  TfrmAcercaDe about(&owner);
  std::vector<QUrl> opened;
  about.OpenUrl = [&](const QUrl& url) {
    opened.push_back(url);
    return false;  // a desktop that cannot open it: nothing is reported
  };
  about.show();
  QTest::mouseClick(about.Label8, Qt::LeftButton);
  ASSERT_EQ(opened.size(), 1u);
  EXPECT_EQ(opened[0], QUrl("https://pellamar.example.org/"));
  EXPECT_TRUE(about.isVisible());
  // Only the address opens it.
  QTest::mouseClick(about.Label1, Qt::LeftButton);
  EXPECT_EQ(opened.size(), 1u);
}

TEST(AboutBoxLink, TabReachesItAndEnterOrSpaceOpenIt) {
  QWidget owner;
  TfrmAcercaDe about(&owner);
  int opened = 0;
  about.OpenUrl = [&](const QUrl&) { return ++opened, true; };
  about.show();
  about.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&about));
  // Aceptar holds the focus at first, so Enter closes the dialog rather than opening.
  EXPECT_EQ(QApplication::focusWidget(), about.btnAceptar);
  QTest::keyClick(about.btnAceptar, Qt::Key_Tab);
  ASSERT_EQ(QApplication::focusWidget(), about.Label8);
  QTest::keyClick(about.Label8, Qt::Key_Return);
  QTest::keyClick(about.Label8, Qt::Key_Space);
  EXPECT_EQ(opened, 2);
  EXPECT_TRUE(about.isVisible());
  // Tab stays on the link: Aceptar is passed by.
  QTest::keyClick(about.Label8, Qt::Key_Tab);
  EXPECT_EQ(QApplication::focusWidget(), about.Label8);
}

TEST(AboutBoxLink, ReadableOnDarkPalettesAndBlueOnLightOnes) {
  const QColor light(240, 240, 240), dark(53, 53, 53);
  const auto linkOn = [](QColor face, QColor text, QColor link) {
    QPalette p;
    p.setColor(QPalette::Button, face);
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::Link, link);
    return p;
  };
  EXPECT_NEAR(ContrastRatio(Qt::blue, dark), 1.43, 0.02);
  // A light theme's blue and a dark theme's own light link are kept.
  EXPECT_EQ(ReadableLinkColour(linkOn(light, Qt::black, Qt::blue)), QColor(Qt::blue));
  EXPECT_EQ(ReadableLinkColour(linkOn(dark, Qt::white, "#8ab4f8")), QColor("#8ab4f8"));

  // A dark theme that kept a dark link: the dialog draws a lighter one, still bluish.
  const QPalette desktop = QApplication::palette();
  QApplication::setPalette(linkOn(dark, Qt::white, Qt::blue));
  {
    QWidget owner;
    TfrmAcercaDe about(&owner);
    const QColor drawn = about.Label8->palette().color(about.Label8->foregroundRole());
    EXPECT_GE(ContrastRatio(drawn, dark), kReadableContrast);
    EXPECT_GT(drawn.blue(), drawn.red());
  }
  QApplication::setPalette(desktop);
}

TEST(AboutBoxModal, AceptarIsTheDefaultButtonAndTabPassesItBy) {
  QWidget owner;
  TfrmAcercaDe about(&owner);
  EXPECT_TRUE(about.btnAceptar->isDefault());
  EXPECT_FALSE(about.btnAceptar->focusPolicy() & Qt::TabFocus);

  bool wasModal = false;
  OnNextModal([&](QWidget* modal) {
    wasModal = modal == &about;
    QTest::keyClick(modal, Qt::Key_Return);
  });
  EXPECT_EQ(about.exec(), QDialog::Accepted);
  EXPECT_TRUE(wasModal);
  EXPECT_FALSE(about.isVisible());
}

TEST(AboutBoxModal, AceptarAndTheCloseBoxBothEndTheModalDisplay) {
  QWidget owner;
  owner.resize(600, 400);
  owner.move(100, 100);
  owner.show();
  {
    TfrmAcercaDe about(&owner);
    QPoint aboutCentre, ownerCentre;
    OnNextModal([&](QWidget* modal) {
      aboutCentre = modal->geometry().center();
      ownerCentre = owner.geometry().center();
      QTest::mouseClick(static_cast<TfrmAcercaDe*>(modal)->btnAceptar, Qt::LeftButton);
    });
    EXPECT_EQ(about.exec(), QDialog::Accepted);
    // Centred over its owner (frames may shift it by a few pixels).
    EXPECT_LE((aboutCentre - ownerCentre).manhattanLength(), 8);
  }
  {
    TfrmAcercaDe about(&owner);
    OnNextModal([](QWidget* modal) { modal->close(); });
    EXPECT_EQ(about.exec(), QDialog::Rejected);
    EXPECT_FALSE(about.isVisible());
  }
}
