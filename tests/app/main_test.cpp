// The main window: its layout and defaults, the three commands against a scripted lookup
// and an in-memory system configuration, and the guard that holds commands and closing
// back while a lookup waits.
#include <gtest/gtest.h>

#include <QComboBox>
#include <QCursor>
#include <QFontInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QStatusBar>
#include <QTest>
#include <atomic>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "app/QtThreadWaiter.h"
#include "app/frmAcercaDeUnit.h"
#include "app/main.h"
#include "net/zvMessages.h"
#include "tests/app/AppTestSupport.h"
#include "tests/app/ScriptedLookup.h"

namespace {

using Lines = std::vector<std::string>;

const Lines kErrorLines = {"====== Error ======", " - El servidor no responde."};

Lines PaneLines(const TfrmMain& window) {
  const QString text = window.memResult->toPlainText();
  if (text.isEmpty() && window.memResult->document()->blockCount() <= 1) return {};
  Lines lines;
  for (const QString& line : text.split(QLatin1Char('\n'))) lines.push_back(line.toStdString());
  return lines;
}

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

TEST(MainWindowLayout, CaptionClientAreaAndFrame) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  EXPECT_EQ(w.windowTitle(), "Pellamar v1.0");
  // A 495 x 386 window less a sizeable frame's borders and caption.
  EXPECT_EQ(w.size(), QSize(487, 359));
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

TEST(MainWindowLayout, PanelPaneAndStatusBarShareTheClientArea) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  const auto inWindow = [&](QWidget* widget) {
    return QRect(widget->mapTo(&w, QPoint(0, 0)), widget->size());
  };
  EXPECT_EQ(inWindow(w.Panel1), QRect(0, 0, 487, 116));
  EXPECT_EQ(inWindow(w.StatusBar1), QRect(0, 340, 487, 19));
  EXPECT_EQ(inWindow(w.memResult), QRect(0, 116, 487, 224));

  ASSERT_EQ(w.StatusPanels.size(), 4u);
  const int widths[] = {200, 40, 40, 50};
  for (int i = 0; i < 4; ++i) EXPECT_EQ(w.StatusPanels[i]->width(), widths[i]) << i;
  EXPECT_EQ(w.StatusPanels[0]->text(), "https://pellamar.example.org/");
  for (int i = 1; i < 4; ++i) EXPECT_TRUE(w.StatusPanels[i]->text().isEmpty());

  // Growing the window grows the pane; the panel keeps its height.
  w.resize(700, 500);
  QTest::qWait(20);
  EXPECT_EQ(inWindow(w.memResult), QRect(0, 116, 700, 500 - 116 - 19));
  EXPECT_EQ(w.Panel1->height(), 116);
}

TEST(MainWindowLayout, ControlsSitWhereTheyWereDrawn) {
  TWindowUnderTest t;
  struct TExpected {
    const char* name;
    QRect place;
  };
  const TExpected expected[] = {
      {"edtDnsServer", QRect(112, 7, 367, 22)}, {"edtName", QRect(112, 34, 367, 22)},
      {"cbNameType", QRect(112, 61, 181, 21)},  {"edtPort", QRect(342, 61, 48, 22)},
      {"edtTimeOut", QRect(445, 61, 34, 22)},   {"btnResolver", QRect(7, 86, 105, 27)},
      {"btnListaDNS", QRect(113, 86, 105, 27)}, {"btnAcercaDe", QRect(219, 86, 105, 27)},
  };
  for (const TExpected& e : expected) {
    auto* control = t.window.Panel1->findChild<QWidget*>(e.name);
    ASSERT_NE(control, nullptr) << e.name;
    EXPECT_EQ(control->parentWidget(), t.window.Panel1) << e.name;
    EXPECT_EQ(control->geometry(), e.place) << e.name;
  }
}

TEST(MainWindowLayout, CaptionsStartWhereDrawnUnlessTheyWouldRunIntoTheirField) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  struct TExpected {
    QLabel* caption;
    QPoint corner;
    QWidget* field;
  };
  const TExpected expected[] = {{w.Label1, {38, 11}, w.edtDnsServer},
                                {w.Label3, {11, 37}, w.edtName},
                                {w.Label2, {21, 64}, w.cbNameType},
                                {w.Label6, {301, 65}, w.edtPort},
                                {w.Label4, {398, 65}, w.edtTimeOut}};
  for (const TExpected& e : expected) {
    const std::string name = e.caption->objectName().toStdString();
    EXPECT_EQ(e.caption->buddy(), e.field) << name;
    EXPECT_EQ(e.caption->y(), e.corner.y()) << name;
    EXPECT_GE(e.caption->width(), e.caption->sizeHint().width()) << name;
    EXPECT_LE(e.caption->geometry().right() + 1, e.field->x() - 4) << name;
    if (e.caption->x() != e.corner.x()) {
      // Moved left only because the text is too wide for the room it was drawn with.
      EXPECT_LT(e.caption->x(), e.corner.x()) << name;
      EXPECT_EQ(e.caption->geometry().right() + 1, e.field->x() - 4) << name;
    }
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

  ASSERT_EQ(w.cbNameType->count(), 5);
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

TEST(MainWindowDefaults, FontsKeepTheirFamiliesFirstAndFallBackByPitch) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  EXPECT_EQ(w.font().families().value(0), "MS Sans Serif");
  EXPECT_EQ(w.font().pointSize(), 8);
  for (QWidget* fixed : {static_cast<QWidget*>(w.memResult), static_cast<QWidget*>(w.edtDnsServer),
                         static_cast<QWidget*>(w.edtName), static_cast<QWidget*>(w.edtPort),
                         static_cast<QWidget*>(w.edtTimeOut)}) {
    const std::string name = fixed->objectName().toStdString();
    EXPECT_EQ(fixed->font().families().value(0), "Courier New") << name;
    EXPECT_GT(fixed->font().families().size(), 1) << name;
    EXPECT_EQ(fixed->font().pointSize(), 8) << name;
    // Whatever family the machine has, the result pane's columns line up.
    EXPECT_TRUE(QFontInfo(fixed->font()).fixedPitch()) << name;
  }
}

TEST(MainWindowKeyboard, TabWalksTheEightControlsAndSkipsThePane) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  w.edtDnsServer->setFocus();
  QApplication::processEvents();
  const std::vector<QWidget*> order = {w.edtName,     w.cbNameType,  w.edtPort,     w.edtTimeOut,
                                       w.btnResolver, w.btnListaDNS, w.btnAcercaDe, w.edtDnsServer};
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
