// The window's zone transfers with a scripted lookup: the AXFR entry's records in the
// pane under their heading, the count in the status bar as they come, Escape stopping the
// transfer, a zone too large for the pane offered for saving, and the TSIG key file
// remembered per server and handed to every lookup of that server.
#include <gtest/gtest.h>

#include <QFile>
#include <QTemporaryDir>

#include "app/ZoneTransferView.h"
#include "dns/zvDnsTransfer.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/ScriptedLookup.h"

namespace {

struct TWindowUnderTest {
  TWindowUnderTest() : window(ScriptedServices(lookup)) {
    window.edtDnsServer->setText("127.0.0.40");
    window.edtName->setText("xfr.test");
    window.cbNameType->setCurrentIndex(window.cbNameType->count() - 1);
  }
  TScriptedLookup* lookup = nullptr;
  TfrmMain window;
};

// Plays a zone of `records` records (SOA first and last) in messages of 100.
void PlayZone(TzvDnsTransferVisitor& visitor, int records,
              const std::function<void(int)>& each_message = {}) {
  TzvDnsSOARecord soa;
  soa.Name = "xfr.test";
  soa.SerialNumber = 7;
  TzvDnsARecord host;
  for (int i = 0; i < records; ++i) {
    if (i % 100 == 0) {
      visitor.OnMessage(i / 100 + 1, i);
      if (each_message) each_message(i);
    }
    if (i == 0 || i == records - 1) {
      visitor.OnRecord(soa, TzvXfrPart::xpZone);
      continue;
    }
    host.Name = "h" + std::to_string(i) + ".xfr.test";
    host.IPAddress = "10.0.0.1";
    visitor.OnRecord(host, TzvXfrPart::xpZone);
  }
}

TEST(ZoneTransferWindow, RecordsUnderTheirHeadingAndTheCountWhileTheyCome) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  EXPECT_EQ(w.cbNameType->currentText(), "AXFR (transferencia de zona)");
  QString progress;
  t.lookup->Transfer = [&](TzvDnsTransferVisitor& visitor) {
    PlayZone(visitor, 250, [&](int) { progress = w.StatusPanels[1]->text(); });
  };
  w.btnResolver->click();
  ASSERT_EQ(t.lookup->Calls.size(), 1u);
  EXPECT_EQ(t.lookup->Calls[0].Kind, "AXFR");
  EXPECT_EQ(progress, "Transfiriendo xfr.test: 200 registros");
  const QStringList lines = w.memResult->toPlainText().split('\n');
  ASSERT_EQ(lines.size(), 252);  // heading, 250 records, the blank line
  EXPECT_EQ(lines[0], "====== Zona ======");
  EXPECT_TRUE(lines[1].startsWith("xfr.test.\t\t0\tIN\tSOA\t")) << lines[1].toStdString();
  EXPECT_EQ(lines[2], "h1.xfr.test.\t\t0\tIN\tA\t10.0.0.1");
}

TEST(ZoneTransferWindow, EscapeStopsTheTransfer) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  w.show();
  w.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&w));
  t.lookup->Transfer = [&](TzvDnsTransferVisitor& visitor) {
    PlayZone(visitor, 1000, [&](int i) {
      if (i == 300) QTest::keyClick(&w, Qt::Key_Escape);
      if (t.lookup->Aborts > 0) throw EzvSocketError("The lookup was stopped", kzvErrAborted);
    });
  };
  w.btnResolver->click();
  EXPECT_EQ(t.lookup->Aborts, 1);
  EXPECT_FALSE(w.memResult->toPlainText().contains("====== Zona ======"));
}

TEST(ZoneTransferWindow, AZoneTooLargeForThePaneIsOfferedForSaving) {
  const QTemporaryDir dir;
  for (const bool save : {true, false}) {
    TWindowUnderTest t;
    TfrmMain& w = t.window;
    const QString path = dir.filePath(QStringLiteral("zone.txt"));
    QString title;
    w.ZoneTransfers().ChooseSaveFile = [&](const QString& asked) {
      title = asked;
      return save ? path : QString();
    };
    t.lookup->Transfer = [](TzvDnsTransferVisitor& visitor) { PlayZone(visitor, 10001); };
    w.btnResolver->click();
    EXPECT_EQ(title, "Guardar la zona (10001 registros)");
    const QStringList lines = w.memResult->toPlainText().split('\n');
    ASSERT_EQ(lines.size(), 3);
    EXPECT_EQ(lines[1], save ? "; 10001 registros guardados en " + path
                             : "; 10001 registros: demasiados para el panel, no se guardaron");
    if (save) {
      QFile file(path);
      ASSERT_TRUE(file.open(QIODevice::ReadOnly));
      EXPECT_EQ(file.readAll().count('\n'), 10001);
    }
  }
}

TEST(ZoneTransferWindow, TheKeyFileIsRememberedPerServer) {
  const QTemporaryDir dir;
  const QString key = dir.filePath(QStringLiteral("xfr.key"));
  {
    QFile file(key);
    ASSERT_TRUE(file.open(QIODevice::WriteOnly));
    file.write("key \"xfr-sha256.key\" { algorithm hmac-sha256; secret \"c2VjcmV0\"; };\n");
  }
  {
    TWindowUnderTest t;
    TfrmMain& w = t.window;
    w.ZoneTransfers().ChooseKeyFile = [&](const QString& title) {
      EXPECT_EQ(title, "Clave TSIG para 127.0.0.40");
      return key;
    };
    w.actTsigKey->trigger();
  }
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  EXPECT_EQ(w.ZoneTransfers().KeyFileOf("127.0.0.40"), key);
  w.btnResolver->click();
  ASSERT_NE(t.lookup->Tsig, nullptr);
  EXPECT_EQ(t.lookup->Tsig->Name, "xfr-sha256.key");
  // Another server has no key.
  w.edtDnsServer->setText("127.0.0.41");
  w.btnResolver->click();
  EXPECT_EQ(t.lookup->Tsig, nullptr);
}

}  // namespace
