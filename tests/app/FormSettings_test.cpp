// What a hand-edited or damaged configuration gives the window: values that do not fit
// their field are dropped, one by one, and the rest still come back.
#include "app/FormSettings.h"

#include <gtest/gtest.h>

#include <QSettings>

#include "tests/app/AppTestSupport.h"

TEST(FormSettings, WhatDoesNotFitIsDroppedAndTheRestKept) {
  {
    QSettings file(QStringLiteral("Pellamar"), QStringLiteral("pellamar"));
    file.setValue("form/server", "127.0.0.1");
    file.setValue("form/port", "abc");
    file.setValue("form/timeout", "9999999999");
    file.setValue("form/type", "TXT");
    file.setValue("form/dnssec", "maybe");
    file.setValue("window/geometry", QByteArray("not a geometry"));
    file.setValue("servers/recent",
                  QStringList{"ns1.example", "", "bad\x1b[2Jserver", "NS1.example", "::1"});
  }
  const TFormSettings form = LoadFormSettings();
  EXPECT_EQ(form.Server, "127.0.0.1");
  EXPECT_FALSE(form.Port);
  EXPECT_FALSE(form.TimeOut);
  EXPECT_EQ(form.QueryType, "TXT");
  EXPECT_FALSE(form.Dnssec);
  EXPECT_EQ(form.RecentServers, (QStringList{"ns1.example", "::1"}));

  QSettings(QStringLiteral("Pellamar"), QStringLiteral("pellamar")).setValue("form/server", "a\tb");
  EXPECT_FALSE(LoadFormSettings().Server);
}

TEST(MainWindowMemory, AWindowOverAnUnusableConfigurationStartsWithItsDefaults) {
  QSettings(QStringLiteral("Pellamar"), QStringLiteral("pellamar")).setValue("form/port", "-1");
  QSettings(QStringLiteral("Pellamar"), QStringLiteral("pellamar")).setValue("form/type", "XYZ");
  TfrmMain window;
  EXPECT_EQ(window.edtPort->text(), "53");
  EXPECT_EQ(window.cbNameType->currentIndex(), 0);
}
