// The main window: its layout and defaults, the three commands against a scripted lookup
// and an in-memory system configuration, and the guard that holds commands and closing
// back while a lookup waits.
#include <gtest/gtest.h>

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QCompleter>
#include <QCursor>
#include <QFile>
#include <QFontInfo>
#include <QFontMetrics>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSettings>
#include <QStatusBar>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <QWindow>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/QtThreadWaiter.h"
#include "app/frmAcercaDeUnit.h"
#include "app/main.h"
#include "dns/zvUtils.h"
#include "net/zvMessages.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/ScriptedLookup.h"

namespace {

using Lines = std::vector<std::string>;

const Lines kErrorLines = {"====== Error ======", " - El servidor no responde."};

// A window over a scripted lookup; its lookup is reachable as `lookup`.
struct TWindowUnderTest {
  explicit TWindowUnderTest(
      std::shared_ptr<TzvMemoryRegistry> registry = std::make_shared<TzvMemoryRegistry>())
      : window(ScriptedServices(lookup, std::move(registry))) {}
  TScriptedLookup* lookup = nullptr;
  TfrmMain window;
};

void ShowAndActivate(QWidget& window) {
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
}

}  // namespace

TEST(MainWindowLayout, CaptionFirstSizeAndFrame) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  EXPECT_EQ(w.windowTitle(), "Pellamar v1.0");
  // The client area of the 495 x 386 window it was drawn as, more only where the
  // desktop's font needs it.
  EXPECT_EQ(w.size(), QSize(487, 359).expandedTo(w.minimumSizeHint()));
  const Qt::WindowFlags flags = w.windowFlags();
  EXPECT_TRUE(flags & Qt::WindowMinimizeButtonHint);
  EXPECT_TRUE(flags & Qt::WindowSystemMenuHint);
  EXPECT_FALSE(flags & Qt::WindowMaximizeButtonHint);
  EXPECT_EQ(QApplication::applicationName(), "Pellamar");

  // Centred on the screen (frames may shift it by a few pixels).
  const QRect screen = w.screen()->availableGeometry();
  EXPECT_LE((w.frameGeometry().center() - screen.center()).manhattanLength(), 40);

  // The program's icon comes in sizes from a menu entry's to a launcher's.
  const QList<QSize> sizes = QApplication::windowIcon().availableSizes();
  for (int side : {16, 32, 48, 256}) EXPECT_TRUE(sizes.contains(QSize(side, side))) << side;
}

TEST(MainWindowLayout, TheFieldsAndPaneStretchAndTheSmallestSizeShowsEverything) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  EXPECT_EQ(w.StatusPanels[0]->text(), "https://pellamar.example.org/");
  const int server = w.edtDnsServer->width(), name = w.edtName->width();
  const int port = w.edtPort->width();
  const int panel = w.Panel1->height(), pane = w.memResult->height();
  w.resize(w.width() + 200, w.height() + 100);
  QTest::qWait(20);
  EXPECT_EQ(w.edtDnsServer->width(), server + 200);
  EXPECT_EQ(w.edtName->width(), name + 200);
  EXPECT_EQ(w.edtPort->width(), port);
  EXPECT_EQ(w.Panel1->height(), panel);
  EXPECT_EQ(w.memResult->height(), pane + 100);

  w.resize(100, 80);
  QTest::qWait(20);
  ExpectPanelShowsEverything(*w.Panel1, {{w.edtPort, "65535"}, {w.edtTimeOut, "120"}});
  EXPECT_GT(w.memResult->height(), 0);
}

TEST(MainWindowLayout, NothingOverlapsOrIsCutWithTheDesktopsFontOrLargerOnes) {
  const QFont desktop = QApplication::font();
  for (const double factor : {1.0, 1.6, 2.5}) {
    QFont font = desktop;
    font.setPointSizeF(desktop.pointSizeF() * factor);
    QApplication::setFont(font);
    {
      SCOPED_TRACE(factor);
      TWindowUnderTest t;
      ShowAndActivate(t.window);
      ExpectPanelShowsEverything(*t.window.Panel1,
                                 {{t.window.edtPort, "65535"}, {t.window.edtTimeOut, "120"}});
      EXPECT_EQ(t.window.Label1->font(), font) << "the desktop's font";
    }
    QApplication::setFont(desktop);
  }
}

TEST(MainWindowDefaults, CaptionsFieldsAndQueryTypes) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  EXPECT_EQ(w.Label1->text(), "Servidor DNS :");
  EXPECT_EQ(w.Label3->text(), "Nombre a Resolver :");
  EXPECT_EQ(w.Label2->text(), "Tipo de Consulta :");
  EXPECT_EQ(w.Label6->text(), "Puerto :");
  EXPECT_EQ(w.Label4->text(), "TimeOut, s :");
  EXPECT_EQ(w.btnResolver->text(), "&Resolver");
  EXPECT_EQ(w.btnListaDNS->text(), "&Listar DNS");
  EXPECT_EQ(w.btnAcercaDe->text(), "&Acerca de..");
  for (QPushButton* button : {w.btnResolver, w.btnListaDNS, w.btnAcercaDe})
    EXPECT_FALSE(button->icon().isNull()) << button->objectName().toStdString();

  EXPECT_EQ(w.edtDnsServer->text(), "192.168.0.1");
  EXPECT_FALSE(w.edtName->text().isEmpty());
  EXPECT_EQ(w.edtPort->text(), "53");
  EXPECT_EQ(w.edtTimeOut->text(), "5");

  // The companion's types after the first five, each caption starting with the type's name.
  const QStringList types = {"MX",    "A",          "PTR", "NS",      "AAAA",   "TXT",   "SOA",
                             "CNAME", "SRV",        "CAA", "DS",      "DNSKEY", "RRSIG", "NSEC",
                             "NSEC3", "NSEC3PARAM", "CDS", "CDNSKEY", "HTTPS",  "SVCB",  "TLSA",
                             "SSHFP", "NAPTR",      "URI", "ANY", "AXFR"};
  ASSERT_EQ(w.cbNameType->count(), types.size());
  for (int i = 0; i < types.size(); ++i)
    EXPECT_TRUE(w.cbNameType->itemText(i).startsWith(types[i] + " (")) << i;
  EXPECT_EQ(w.cbNameType->itemText(0), "MX (servidores de correo)");
  EXPECT_EQ(w.cbNameType->itemText(1), "A (direcciones IP)");
  EXPECT_EQ(w.cbNameType->itemText(2), "PTR (nombres de host)");
  EXPECT_EQ(w.cbNameType->itemText(3), "NS (nombres de servidores)");
  EXPECT_EQ(w.cbNameType->itemText(4), "AAAA (direcciones IPv6)");
  EXPECT_EQ(w.cbNameType->currentIndex(), 0);
  EXPECT_FALSE(w.cbNameType->isEditable());

  EXPECT_TRUE(PaneLines(w).empty());
  EXPECT_TRUE(w.memResult->isReadOnly());
  EXPECT_EQ(w.memResult->horizontalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(w.memResult->verticalScrollBarPolicy(), Qt::ScrollBarAlwaysOn);
  EXPECT_EQ(w.memResult->lineWrapMode(), QPlainTextEdit::NoWrap);
  EXPECT_EQ(w.memResult->viewport()->cursor().shape(), Qt::ArrowCursor);
  EXPECT_EQ(w.memResult->palette().color(QPalette::Base),
            w.memResult->palette().color(QPalette::Button));
}

TEST(MainWindowDefaults, FieldsAndPaneHaveAFixedPitch) {
  TWindowUnderTest t;
  for (QWidget* fixed :
       std::initializer_list<QWidget*>{t.window.memResult, t.window.edtDnsServer, t.window.edtName,
                                       t.window.edtPort, t.window.edtTimeOut}) {
    // What matters is that columns line up: Qt calls some fonts made for that (Noto Sans
    // Mono, which fontconfig may pick for "monospace") not fixed pitch.
    const QFontMetrics metrics(fixed->font());
    EXPECT_EQ(metrics.horizontalAdvance(QLatin1Char('i')),
              metrics.horizontalAdvance(QLatin1Char('W')))
        << fixed->objectName().toStdString();
  }
}

TEST(MainWindowKeyboard, TabWalksTheControlsAndSkipsThePane) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  w.edtDnsServer->setFocus();
  QApplication::processEvents();
  const std::vector<QWidget*> order = {w.cbTransport, w.edtName,     w.cbNameType,  w.chkDnssec,
                                       w.edtPort,     w.edtTimeOut,  w.btnResolver, w.btnListaDNS,
                                       w.btnAcercaDe, w.edtDnsServer};
  for (QWidget* next : order) {
    QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
    EXPECT_EQ(QApplication::focusWidget(), next) << next->objectName().toStdString();
  }
  EXPECT_EQ(w.memResult->focusPolicy(), Qt::ClickFocus);
}

TEST(MainWindowKeyboard, AltLettersPressTheButtons) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  w.edtDnsServer->setText("127.0.0.1");

  QTest::keyClick(&w, Qt::Key_R, Qt::AltModifier);
  EXPECT_TRUE(WaitUntil([&] { return t.lookup->Calls.size() == 1; }));

  QTest::keyClick(&w, Qt::Key_L, Qt::AltModifier);
  EXPECT_TRUE(WaitUntil([&] {
    const Lines lines = PaneLines(w);
    return !lines.empty() && lines.back() == "====== Servidores DNS Locales ======";
  }));

  bool aboutShown = false;
  OnNextModal([&](QWidget* modal) {
    aboutShown = qobject_cast<TfrmAcercaDe*>(modal) != nullptr;
    modal->close();
  });
  QTest::keyClick(&w, Qt::Key_A, Qt::AltModifier);
  EXPECT_TRUE(WaitUntil([&] { return aboutShown; }));
}

TEST(MainWindowKeyboard, EnterInAnyFieldRunsResolver) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  std::size_t runs = 0;
  for (QWidget* field : std::initializer_list<QWidget*>{w.edtDnsServer, w.edtName, w.cbNameType,
                                                        w.edtPort, w.edtTimeOut}) {
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Return);
    EXPECT_TRUE(WaitUntil([&] { return t.lookup->Calls.size() == runs + 1; }))
        << field->objectName().toStdString();
    runs = t.lookup->Calls.size();
  }
}

TEST(MainWindowKeyboard, FocusStaysWhereTheUserLeftItAndTypingNeverLandsInAnotherField) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  const QString server = w.edtDnsServer->text(), name = w.edtName->text();
  QWidget* focusDuringLookup = &w;
  t.lookup->Script = [&](TScriptedLookup&, const TLookupCall&) {
    focusDuringLookup = QApplication::focusWidget();
    QTest::keyClicks(static_cast<QWidget*>(nullptr), "zz");  // to whatever has the focus
  };
  // A click on Resolver: no field has the focus during the lookup, the button after it.
  QTest::mouseClick(w.btnResolver, Qt::LeftButton);
  EXPECT_EQ(focusDuringLookup, nullptr);
  EXPECT_EQ(QApplication::focusWidget(), w.btnResolver);
  EXPECT_EQ(w.edtDnsServer->text(), server);
  EXPECT_FALSE(w.edtDnsServer->hasSelectedText());

  // Alt+R from the name field: the focus stays there, unselected, and what was typed
  // went into the field the user picked.
  w.edtName->setFocus();
  w.edtName->setCursorPosition(3);
  QTest::keyClick(&w, Qt::Key_R, Qt::AltModifier);
  ASSERT_TRUE(WaitUntil([&] { return t.lookup->Calls.size() == 2; }));
  EXPECT_EQ(QApplication::focusWidget(), w.edtName);
  EXPECT_FALSE(w.edtName->hasSelectedText());
  EXPECT_EQ(w.edtName->text(), name.left(3) + "zz" + name.mid(3));
  EXPECT_EQ(w.edtDnsServer->text(), server);
}

TEST(MainWindowKeyboard, F6ReachesThePaneForCopyingAndTabLeavesIt) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  EXPECT_TRUE(w.memResult->toolTip().contains("F6"));
  w.btnListaDNS->click();
  QTest::keyClick(w.edtName, Qt::Key_F6);
  ASSERT_EQ(QApplication::focusWidget(), w.memResult);
  QTest::keyClick(w.memResult, Qt::Key_A, Qt::ControlModifier);
  EXPECT_TRUE(w.memResult->textCursor().selectedText().contains("Servidores DNS Locales"));
  QTest::keyClick(w.memResult, Qt::Key_Tab);
  EXPECT_NE(QApplication::focusWidget(), w.memResult);
}

TEST(ResolverCommand, CopiesTheFieldsAndPicksTheLookupByQueryType) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  // The server goes over exactly as typed; the time-out field is in seconds.
  w.edtDnsServer->setText(" 127.0.0.1");
  w.edtPort->setText("5353");
  w.edtTimeOut->setText("2");
  w.edtName->setText("pellamar.test");
  const char* kinds[] = {"MX", "A", "PTR", "NS"};
  for (int index = 0; index < 4; ++index) {
    w.cbNameType->setCurrentIndex(index);
    w.btnResolver->click();
    ASSERT_EQ(t.lookup->Calls.size(), static_cast<std::size_t>(index + 1));
    const TLookupCall& call = t.lookup->Calls.back();
    EXPECT_EQ(call.Kind, kinds[index]);
    EXPECT_EQ(call.Name, "pellamar.test");
    EXPECT_EQ(call.Server, " 127.0.0.1");
    EXPECT_EQ(call.Port, 5353);
    EXPECT_EQ(call.TimeOut, 2000);
  }
  // Nothing was found, so nothing was written: no heading, no empty line.
  EXPECT_TRUE(PaneLines(w).empty());

  w.edtTimeOut->setText("0");
  w.btnResolver->click();
  EXPECT_EQ(t.lookup->Calls.back().TimeOut, 0);
}

TEST(ResolverCommand, WritesTheFourSectionsInOrder) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  t.lookup->Script = [](TScriptedLookup& lookup, const TLookupCall&) {
    lookup.AddMailServer("mx10.pellamar.test", 10, "127.0.0.10");
    lookup.AddMailServer("mx20.pellamar.test", 20, "127.0.0.20");
    lookup.AddMailServer("bare.pellamar.test", 5, "");
    lookup.AddHost("mx10.pellamar.test", "127.0.0.10");
    lookup.NameServerList.Add("ns1.pellamar.test");
    lookup.NameServerList.Add("ns1.pellamar.test");
    lookup.AliasList.Add("www.pellamar.test");
  };
  w.btnResolver->click();
  const Lines expected = {"====== Servidores de Correo ======",
                          "mx20.pellamar.test, Preference 20, 127.0.0.20",
                          "mx10.pellamar.test, Preference 10, 127.0.0.10",
                          "bare.pellamar.test, Preference 5, ",
                          "",
                          "====== Hosts ======",
                          "mx10.pellamar.test, 127.0.0.10",
                          "",
                          "====== Nombre Servidores ======",
                          "ns1.pellamar.test",
                          "ns1.pellamar.test",
                          "",
                          "====== Alias ======",
                          "www.pellamar.test",
                          ""};
  EXPECT_EQ(PaneLines(w), expected);
}

TEST(ResolverCommand, AFailureWritesOnlyTheTwoErrorLines) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  // The lookup had gathered results before it failed: none of them may show.
  t.lookup->Script = [](TScriptedLookup& lookup, const TLookupCall&) {
    lookup.AddHost("half.pellamar.test", "127.0.0.9");
    throw Exception("No such name");
  };
  w.btnResolver->click();
  EXPECT_EQ(PaneLines(w), kErrorLines);

  // Failures of any kind read the same.
  t.lookup->Script = [](TScriptedLookup&, const TLookupCall&) { throw std::bad_alloc(); };
  w.btnResolver->click();
  EXPECT_EQ(PaneLines(w), (Lines{kErrorLines[0], kErrorLines[1], kErrorLines[0], kErrorLines[1]}));
  EXPECT_FALSE(w.LookupRunning());
  for (QPushButton* button : {w.btnResolver, w.btnListaDNS, w.btnAcercaDe})
    EXPECT_TRUE(button->isEnabled()) << button->objectName().toStdString();

  // Closing while no lookup runs frees the lookup at once.
  std::shared_ptr<bool> freed = t.lookup->Destroyed;
  w.close();
  EXPECT_TRUE(*freed);
  EXPECT_EQ(w.DnsQuery(), nullptr);
}

TEST(ResolverCommand, UnusableNumbersGiveTheErrorLinesAndNoLookup) {
  struct TCase {
    const char* port;
    const char* timeOut;
  };
  const TCase cases[] = {
      {"5x3", "5"},        // letters in the port
      {"53", ""},          // an empty time-out
      {"", "5"},           // an empty port
      {"53", "2.5"},       // seconds are whole numbers
      {"53", "3000000"},   // more milliseconds than the lookup's setting holds
      {"53", "-3000000"},  // the same below zero
  };
  for (const TCase& c : cases) {
    TWindowUnderTest t;
    t.window.edtPort->setText(c.port);
    t.window.edtTimeOut->setText(c.timeOut);
    t.window.btnResolver->click();
    EXPECT_TRUE(t.lookup->Calls.empty()) << c.port << " / " << c.timeOut;
    EXPECT_EQ(PaneLines(t.window), kErrorLines) << c.port << " / " << c.timeOut;
  }
}

TEST(ResultPane, LookupsAndListingsAppendBelowWhatIsThere) {
  auto registry = std::make_shared<TzvMemoryRegistry>();
  registry->WriteString(std::string(kDnsInterfacesKey) + "eth0", "NameServer", "127.0.0.1");
  TWindowUnderTest t(registry);
  TfrmMain& w = t.window;
  int round = 0;
  t.lookup->Script = [&round](TScriptedLookup& lookup, const TLookupCall& call) {
    if (++round == 2) throw Exception("Timeout error occured");
    lookup.AddHost(call.Name, "127.0.0.1");
  };
  w.edtName->setText("first.pellamar.test");
  w.btnResolver->click();
  w.btnResolver->click();
  w.btnListaDNS->click();
  w.edtName->setText("third.pellamar.test");
  w.btnResolver->click();
  const Lines expected = {"====== Hosts ======",
                          "first.pellamar.test, 127.0.0.1",
                          "",
                          "====== Error ======",
                          " - El servidor no responde.",
                          "====== Servidores DNS Locales ======",
                          " - 127.0.0.1",
                          "====== Hosts ======",
                          "third.pellamar.test, 127.0.0.1",
                          ""};
  EXPECT_EQ(PaneLines(w), expected);
}

TEST(ListarDnsCommand, ListsEachServerOnceUnderTheHeading) {
  auto registry = std::make_shared<TzvMemoryRegistry>();
  const std::string interfaces(kDnsInterfacesKey);
  registry->WriteString(interfaces + "eth0", "DhcpNameServer", "127.0.0.53 127.0.0.54");
  registry->WriteString(interfaces + "eth0", "NameServer", "127.0.0.99");
  registry->WriteString(interfaces + "eth1", "NameServer", "127.0.0.54, ::1,");
  TWindowUnderTest t(registry);
  t.window.btnListaDNS->click();
  const Lines expected = {"====== Servidores DNS Locales ======", " - 127.0.0.53", " - 127.0.0.54",
                          " - ::1"};
  EXPECT_EQ(PaneLines(t.window), expected);
}

TEST(ListarDnsCommand, WritesTheHeadingAloneWhenNoServerIsConfigured) {
  TWindowUnderTest t;
  t.window.btnListaDNS->click();
  EXPECT_EQ(PaneLines(t.window), Lines{"====== Servidores DNS Locales ======"});
}

TEST(ListarDnsCommand, AFailureReachesTheMessageBoxAfterTheHeading) {
  auto registry = std::make_shared<TzvMemoryRegistry>();
  registry->WriteInteger(std::string(kDnsInterfacesKey) + "eth0", "DhcpNameServer", 7);
  TWindowUnderTest t(registry);
  QString title, text;
  bool isMessageBox = false;
  OnNextModal([&](QWidget* modal) {
    auto* box = qobject_cast<QMessageBox*>(modal);
    isMessageBox = box != nullptr;
    title = modal->windowTitle();
    if (box != nullptr) text = box->text();
    modal->close();
  });
  t.window.btnListaDNS->click();
  EXPECT_TRUE(isMessageBox);
  EXPECT_EQ(title, "Pellamar");
  EXPECT_EQ(text, "Invalid data type for 'DhcpNameServer'");
  EXPECT_EQ(PaneLines(t.window), Lines{"====== Servidores DNS Locales ======"});
}

TEST(AcercaDeCommand, ShowsTheAboutBoxModallyAndFreesItWhenAceptarIsPressed) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  EXPECT_TRUE(w.findChildren<TfrmAcercaDe*>().isEmpty()) << "created before it was asked for";
  bool sawAbout = false, modal = false, ownedByWindow = false;
  OnNextModal([&](QWidget* widget) {
    auto* about = qobject_cast<TfrmAcercaDe*>(widget);
    sawAbout = about != nullptr;
    if (about == nullptr) return widget->close(), void();
    modal = about->isModal();
    ownedByWindow = about->parentWidget() == &w;
    QTest::mouseClick(about->btnAceptar, Qt::LeftButton);
  });
  w.btnAcercaDe->click();
  EXPECT_TRUE(sawAbout);
  EXPECT_TRUE(modal);
  EXPECT_TRUE(ownedByWindow);
  EXPECT_TRUE(w.findChildren<TfrmAcercaDe*>().isEmpty()) << "not freed after closing";
  EXPECT_TRUE(PaneLines(w).empty());
}

// A lookup that waits through the library's message wait until `release` is signalled
// from another thread, as a real lookup waits for its answer datagram.
struct TSlowAnswer {
  THandle release = CreateEvent();
  std::thread answerer;
  ~TSlowAnswer() {
    if (answerer.joinable()) answerer.join();
    CloseHandle(release);
  }
  void AnswerAfter(std::chrono::milliseconds delay) {
    answerer = std::thread([this, delay] {
      std::this_thread::sleep_for(delay);
      SetEvent(release);
    });
  }
  void Wait() {
    for (;;) {
      const std::uint32_t result =
          MsgWaitForMultipleObjects(1, &release, false, 20000, kzvWakeMask);
      if (result == WAIT_OBJECT_0) return;
      if (result == 1) {
        TMsg message;
        while (PeekMessage(message, 0, 0, 0, PM_REMOVE)) DispatchMessage(message);
        continue;
      }
      throw Exception("the slow answer never came");
    }
  }
};

TEST(LookupGuard, CommandsAreOffWhileALookupWaitsAndTheWindowKeepsRunning) {
  TQtWaiterInstallation waiter;
  TSlowAnswer answer;
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);

  bool running = false, anyCommandOn = true;
  std::size_t callsAfterSecondClick = 0;
  int ticks = 0;
  QTimer ticker;  // stands for the window's own repaints and timers
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(10);

  t.lookup->Script = [&](TScriptedLookup& lookup, const TLookupCall&) {
    QTimer::singleShot(50, [&] {
      running = w.LookupRunning();
      anyCommandOn =
          w.btnResolver->isEnabled() || w.btnListaDNS->isEnabled() || w.btnAcercaDe->isEnabled();
      // A second "Resolver" that gets through anyway is turned away.
      w.btnResolverClick();
      callsAfterSecondClick = lookup.Calls.size();
      answer.AnswerAfter(std::chrono::milliseconds(200));
    });
    answer.Wait();
    lookup.AddHost("slow.pellamar.test", "127.0.0.7");
  };
  w.btnResolver->click();

  EXPECT_TRUE(running);
  EXPECT_FALSE(anyCommandOn);
  EXPECT_EQ(callsAfterSecondClick, 1u);
  EXPECT_GT(ticks, 3) << "the event loop stood still during the lookup";
  EXPECT_EQ(PaneLines(w), (Lines{"====== Hosts ======", "slow.pellamar.test, 127.0.0.7", ""}));
  EXPECT_TRUE(w.btnResolver->isEnabled());
  EXPECT_TRUE(w.isVisible());
  EXPECT_EQ(t.lookup->Aborts, 0);
}

TEST(LookupGuard, ACloseDuringALookupStopsItAndIsCarriedOutWhenItReturns) {
  TQtWaiterInstallation waiter;
  TSlowAnswer answer;
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  std::shared_ptr<bool> lookupFreed = t.lookup->Destroyed;

  bool aborted = false;
  t.lookup->OnAbort = [&] {
    aborted = true;
    SetEvent(answer.release);
  };
  bool stillVisible = false, closeRemembered = false, lookupAlive = false;
  t.lookup->Script = [&](TScriptedLookup&, const TLookupCall&) {
    QTimer::singleShot(50, [&] {
      w.close();
      stillVisible = w.isVisible();
      closeRemembered = w.CloseRequested();
      lookupAlive = !*lookupFreed;
    });
    answer.Wait();
    if (aborted) throw Exception("aborted");
  };
  w.btnResolver->click();

  EXPECT_TRUE(stillVisible);
  EXPECT_TRUE(closeRemembered);
  EXPECT_TRUE(lookupAlive) << "the lookup was freed while it still ran";
  EXPECT_TRUE(aborted);
  // The lookup returned (here with a failure), its lines were written, then the window
  // closed and freed the lookup.
  EXPECT_EQ(PaneLines(w), kErrorLines);
  EXPECT_FALSE(w.isVisible());
  EXPECT_FALSE(w.CloseRequested());
  EXPECT_TRUE(*lookupFreed);
  EXPECT_EQ(w.DnsQuery(), nullptr);
}

TEST(StatusBar, NamesTheServerWithABusyCursorWhileWaitingThenTellsTheOutcome) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  w.edtDnsServer->setText("127.0.0.9");
  QString waiting;
  bool busy = false;
  t.lookup->Script = [&](TScriptedLookup& lookup, const TLookupCall&) {
    waiting = w.StatusPanels[1]->text();
    busy =
        QApplication::overrideCursor() && QApplication::overrideCursor()->shape() == Qt::BusyCursor;
    lookup.Exchange = {"127.0.0.9", 53, TzvDnsTransport::dtTcp, true, true, 0, 2'000};
  };
  w.btnResolver->click();
  EXPECT_TRUE(waiting.contains("127.0.0.9")) << waiting.toStdString();
  EXPECT_TRUE(busy);
  EXPECT_EQ(QApplication::overrideCursor(), nullptr) << "the busy cursor stayed";
  const auto panels = [&] {
    return std::vector<QString>{w.StatusPanels[1]->text(), w.StatusPanels[2]->text(),
                                w.StatusPanels[3]->text()};
  };
  EXPECT_EQ(panels(), (std::vector<QString>{"NOERROR", "2,0 ms", "TCP"}));

  // An error reply: its name in the panel, the whole failure in the tooltip.
  t.lookup->Script = [](TScriptedLookup&, const TLookupCall&) { throw EzvDnsError(3); };
  w.btnResolver->click();
  EXPECT_EQ(w.StatusPanels[1]->text(), "NXDOMAIN");
  EXPECT_TRUE(w.StatusPanels[1]->toolTip().contains(DnsResponseCodeText(3)));

  // A port that is not a number reached no server: the older exchange is not shown.
  w.edtPort->setText("5x3");
  w.btnResolver->click();
  EXPECT_EQ(panels(), (std::vector<QString>{"datos no válidos", "", ""}));
  EXPECT_EQ(PaneLines(w), (Lines{kErrorLines[0], kErrorLines[1], kErrorLines[0], kErrorLines[1]}));
}

TEST(MainWindowTransport, ThePortFollowsTheTransportUnlessOneWasTyped) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  EXPECT_EQ(w.cbTransport->currentText(), "UDP");
  w.cbTransport->setCurrentText("TLS");
  EXPECT_EQ(w.edtPort->text(), "853");
  w.btnResolver->click();
  w.cbTransport->setCurrentText("TCP");
  EXPECT_EQ(w.edtPort->text(), "53");
  w.edtPort->setText("5353");
  w.cbTransport->setCurrentText("TLS");
  EXPECT_EQ(w.edtPort->text(), "5353");
}

TEST(MainWindowMemory, TheFormAndRecentServersComeBackInTheNextWindow) {
  QSize size;
  {
    TWindowUnderTest t;
    TfrmMain& w = t.window;
    ShowAndActivate(w);
    w.cbNameType->setCurrentIndex(5);  // TXT
    w.chkDnssec->setChecked(true);
    w.cbTransport->setCurrentText("TLS");
    w.edtPort->setText("5353");
    w.edtTimeOut->setText("3");
    // Twelve servers answer; the ten last are offered, the latest first, each once.
    for (int i = 0; i < 12; ++i) {
      w.edtDnsServer->setText(QStringLiteral("127.0.0.%1").arg(i % 11 + 1));
      w.btnResolver->click();
    }
    EXPECT_EQ(w.RecentServers().size(), 10);
    EXPECT_EQ(w.RecentServers().front(), "127.0.0.1");
    EXPECT_EQ(w.RecentServers().count("127.0.0.1"), 1);
    w.resize(w.size() + QSize(40, 30));
    size = w.size();
    w.close();
  }
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  EXPECT_EQ(w.edtDnsServer->text(), "127.0.0.1");
  EXPECT_EQ(w.edtPort->text(), "5353");
  EXPECT_EQ(w.edtTimeOut->text(), "3");
  EXPECT_TRUE(w.cbNameType->currentText().startsWith("TXT "));
  EXPECT_TRUE(w.chkDnssec->isChecked());
  EXPECT_EQ(w.cbTransport->currentText(), "TLS");
  EXPECT_EQ(w.size(), size);
  ShowAndActivate(w);
  w.edtDnsServer->setFocus();
  QTest::keyClick(w.edtDnsServer, Qt::Key_Down);
  ASSERT_TRUE(w.RecentServerCompleter->popup()->isVisible());
  EXPECT_EQ(w.RecentServerCompleter->completionCount(), 10);
  EXPECT_EQ(w.RecentServerCompleter->completionModel()->index(1, 0).data().toString(),
            "127.0.0.11");
}

TEST(MainWindowMemory, AHostileFileGivesAWindowThatFitsTheScreenAndTenRecentServers) {
  QWidget huge;
  huge.setGeometry(40, 40, 60000, 60000);
  QSettings settings(QStringLiteral("Pellamar"), QStringLiteral("pellamar"));
  settings.setValue(QStringLiteral("window/geometry"), huge.saveGeometry());
  settings.setValue(QStringLiteral("servers/recent"),
                    QString(".1,.2,.3,.4,.5,.6,.7,.8,.9,.10,.11").split(','));
  settings.sync();
  TWindowUnderTest t;
  ShowAndActivate(t.window);
  EXPECT_TRUE(t.window.screen()->availableGeometry().contains(t.window.frameGeometry()));
  EXPECT_EQ(t.window.RecentServers().size(), 10);
}

// The list of recent servers, opened by the Down key, covers no field; Escape closes it,
// so does the focus going elsewhere, and a click on the name field lands there, so that
// what is typed next goes into the name field, not into the server field.
TEST(RecentServers, TheListCoversNoFieldAndClosesOnEscapeFocusAndAClickThatGoesWhereAimed) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  w.btnResolver->click();
  QWindow* window = w.windowHandle();
  QAbstractItemView* popup = w.RecentServerCompleter->popup();
  const auto open = [&] {
    w.edtDnsServer->setFocus();
    QTest::keyClick(window, Qt::Key_Down);
    return popup->isVisible();
  };
  ASSERT_TRUE(open());
  for (const QWidget* field : std::initializer_list<const QWidget*>{
           w.edtDnsServer, w.cbTransport, w.edtName, w.cbNameType, w.edtPort, w.edtTimeOut})
    EXPECT_FALSE(
        popup->geometry().intersects(QRect(field->mapToGlobal(QPoint(0, 0)), field->size())));
  QTest::keyClick(window, Qt::Key_Escape);
  EXPECT_FALSE(popup->isVisible());
  ASSERT_TRUE(open());
  w.edtTimeOut->setFocus();
  EXPECT_FALSE(popup->isVisible());
  ASSERT_TRUE(open());
  QTest::mouseClick(window, Qt::LeftButton, {}, w.edtName->mapTo(&w, w.edtName->rect().center()));
  EXPECT_FALSE(popup->isVisible());
  QTest::keyClick(window, Qt::Key_End);
  QTest::keyClick(window, 'x');
  EXPECT_EQ(w.edtName->text(), "example.orgx");
  EXPECT_EQ(w.edtDnsServer->text(), "192.168.0.1");
}

TEST(SeveralServers, AskedAFewDozenAtATimeAndNeverMoreThanTheLimit) {
  std::atomic<int> asking = 0, most = 0, asked = 0;
  TLookupServices services;
  services.CreateLookup = [&]() -> std::unique_ptr<TDnsLookup> {
    auto lookup = std::make_unique<TScriptedLookup>();
    lookup->Script = [&](TScriptedLookup&, const TLookupCall&) {
      most = std::max<int>(most, ++asking);  // a bound is checked, not the exact peak
      std::this_thread::sleep_for(std::chrono::milliseconds(5));
      ++asked;
      --asking;
    };
    return lookup;
  };
  TfrmMain w(services);
  for (const int servers : {200, 1001}) {
    w.edtDnsServer->setText(QStringLiteral("127.0.0.1 ").repeated(servers));
    w.btnResolver->click();
  }
  EXPECT_EQ(asked, 200);
  EXPECT_LE(most, 64);
  const Lines pane = PaneLines(w);
  EXPECT_EQ(Lines(pane.end() - 2, pane.end()), kErrorLines);
  EXPECT_EQ(w.StatusPanels[1]->text(), "datos no válidos");
}

TEST(MainWindowResults, SavedWithHeadersClearedAndAListedServerTakenIntoTheForm) {
  auto registry = std::make_shared<TzvMemoryRegistry>();
  registry->WriteString(std::string(kDnsInterfacesKey) + "eth0", "NameServer",
                        "127.0.0.53 127.0.0.54:5353");
  TWindowUnderTest t(registry);
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  t.lookup->Script = [](TScriptedLookup& lookup, const TLookupCall&) {
    lookup.AddHost("www.pellamar.test", "127.0.0.7");
  };
  w.cbNameType->setCurrentIndex(1);
  w.edtName->setText("www.pellamar.test");
  w.btnResolver->click();
  w.btnListaDNS->click();
  t.lookup->Script = [](TScriptedLookup&, const TLookupCall&) { throw Exception("silent"); };
  w.btnResolver->click();

  // The error line starts like a listed server but is not one; the listed line is.
  const QTextBlock error = w.memResult->document()->lastBlock();
  ASSERT_EQ(error.text(), " - El servidor no responde.");
  QTest::mouseDClick(w.memResult->viewport(), Qt::LeftButton, {},
                     w.memResult->cursorRect(QTextCursor(error)).center());
  EXPECT_EQ(w.edtDnsServer->text(), "192.168.0.1");
  const QTextBlock listed = error.previous().previous();
  ASSERT_EQ(listed.text(), " - 127.0.0.54 -p 5353");
  QTest::mouseDClick(w.memResult->viewport(), Qt::LeftButton, {},
                     w.memResult->cursorRect(QTextCursor(listed)).center());
  EXPECT_EQ(w.edtDnsServer->text(), "127.0.0.54");
  EXPECT_EQ(w.edtPort->text(), "5353");
  QTest::mouseDClick(w.memResult->viewport(), Qt::LeftButton, {},
                     w.memResult->cursorRect(QTextCursor(listed.previous())).center());
  EXPECT_EQ(w.edtDnsServer->text(), "127.0.0.53");

  QTemporaryDir dir;
  const QString path = dir.filePath("resultados.txt");
  ASSERT_EQ(w.SaveResults(path), QString());
  QFile saved(path);
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  const QStringList lines = QString::fromUtf8(saved.readAll()).split('\n');
  const QRegularExpression header(R"(^; A www\.pellamar\.test @192\.168\.0\.1, \d\d:\d\d:\d\d$)");
  ASSERT_GE(lines.size(), 9);
  EXPECT_TRUE(header.match(lines[0]).hasMatch()) << lines[0].toStdString();
  EXPECT_EQ(lines[1], "====== Hosts ======");
  EXPECT_EQ(lines[2], "www.pellamar.test, 127.0.0.7");
  EXPECT_EQ(lines[4], "====== Servidores DNS Locales ======");
  EXPECT_TRUE(header.match(lines[7]).hasMatch()) << lines[7].toStdString();
  EXPECT_EQ(lines[8], "====== Error ======");
  EXPECT_EQ(w.SaveResults(dir.filePath("no/such/folder/x.txt")).isEmpty(), false);

  QTest::keyClick(&w, Qt::Key_L, Qt::ControlModifier);
  EXPECT_TRUE(PaneLines(w).empty());
  w.btnListaDNS->click();
  EXPECT_EQ(PaneLines(w).front(), "====== Servidores DNS Locales ======");
  ASSERT_EQ(w.SaveResults(path), QString());
  saved.close();
  ASSERT_TRUE(saved.open(QIODevice::ReadOnly));
  EXPECT_EQ(saved.readAll(),
            "====== Servidores DNS Locales ======\n - 127.0.0.53\n - 127.0.0.54 -p 5353\n");
}
