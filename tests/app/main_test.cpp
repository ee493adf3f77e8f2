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
#include "dns/zvUtils.h"
#include "net/zvMessages.h"
#include "net/zvSocketUtils.h"
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

TEST(MainWindowLayout, FirstSizeFrameAndPlace) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  EXPECT_EQ(w.windowTitle(), "Pellamar v1.0");
  // At least the client area of the 495 x 386 window it was drawn as, more only where
  // the desktop's font needs it.
  EXPECT_GE(w.width(), 487);
  EXPECT_GE(w.height(), 359);
  EXPECT_LE(w.width(), 2 * 487);
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

TEST(MainWindowLayout, PanelPaneAndStatusBarStackAndTheFieldsStretch) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  const auto inWindow = [&](QWidget* widget) {
    return QRect(widget->mapTo(&w, QPoint(0, 0)), widget->size());
  };
  const QRect panel = inWindow(w.Panel1), pane = inWindow(w.memResult),
              status = inWindow(w.StatusBar1);
  EXPECT_EQ(panel.topLeft(), QPoint(0, 0));
  EXPECT_EQ(panel.width(), w.width());
  EXPECT_EQ(pane.top(), panel.bottom() + 1);
  EXPECT_EQ(pane.width(), w.width());
  EXPECT_EQ(status.top(), pane.bottom() + 1);
  EXPECT_EQ(status.bottom(), w.height() - 1);

  ASSERT_EQ(w.StatusPanels.size(), 4u);
  const int widths[] = {200, 40, 40, 50};
  for (int i = 0; i < 4; ++i) EXPECT_GE(w.StatusPanels[i]->width(), widths[i]) << i;
  EXPECT_EQ(w.StatusPanels[0]->text(), "https://pellamar.example.org/");
  for (int i = 1; i < 4; ++i) EXPECT_TRUE(w.StatusPanels[i]->text().isEmpty());

  // Widening the window widens the name fields and the pane; the panel keeps its
  // height and the number fields their width.
  const int server = w.edtDnsServer->width(), port = w.edtPort->width();
  const int panelHeight = w.Panel1->height(), paneHeight = w.memResult->height();
  w.resize(w.width() + 200, w.height() + 100);
  QTest::qWait(20);
  EXPECT_EQ(w.edtDnsServer->width(), server + 200);
  EXPECT_EQ(w.edtName->width(), server + 200);
  EXPECT_GT(w.cbNameType->width(), w.cbNameType->sizeHint().width());
  EXPECT_EQ(w.edtPort->width(), port);
  EXPECT_EQ(w.Panel1->height(), panelHeight);
  EXPECT_EQ(w.memResult->height(), paneHeight + 100);

  // Shrinking stops where every control still shows.
  w.resize(100, 80);
  QTest::qWait(20);
  EXPECT_GE(w.width(), w.minimumSizeHint().width());
  ExpectPanelShowsEverything(*w.Panel1, {{w.edtPort, "65535"}, {w.edtTimeOut, "120"}},
                             "at the smallest size");
  EXPECT_GT(w.memResult->height(), 0);
  EXPECT_GE(w.StatusPanels[0]->width(), w.StatusPanels[0]->sizeHint().width());
}

TEST(MainWindowLayout, NothingOverlapsOrIsCutWithTheDesktopsFontOrALargerOne) {
  const QFont desktop = QApplication::font();
  for (const double factor : {1.0, 1.6, 2.5}) {
    QFont font = desktop;
    font.setPointSizeF(desktop.pointSizeF() * factor);
    QApplication::setFont(font);
    {
      TWindowUnderTest t;
      ShowAndActivate(t.window);
      TfrmMain& w = t.window;
      ExpectPanelShowsEverything(*w.Panel1, {{w.edtPort, "65535"}, {w.edtTimeOut, "120"}},
                                 "font x" + std::to_string(factor));
      EXPECT_EQ(w.Label1->font().pointSizeF(), font.pointSizeF()) << "the desktop's size";
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

  ASSERT_EQ(w.cbNameType->count(), 4);
  EXPECT_EQ(w.cbNameType->itemText(0), "MX (servidores de correo)");
  EXPECT_EQ(w.cbNameType->itemText(1), "A (direcciones IP)");
  EXPECT_EQ(w.cbNameType->itemText(2), "PTR (nombres de host)");
  EXPECT_EQ(w.cbNameType->itemText(3), "NS (nombres de servidores)");
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

TEST(MainWindowDefaults, FontsAreTheDesktopsWithAFixedPitchForFieldsAndPane) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  EXPECT_EQ(w.font(), QApplication::font());
  for (QWidget* fixed : {static_cast<QWidget*>(w.memResult), static_cast<QWidget*>(w.edtDnsServer),
                         static_cast<QWidget*>(w.edtName), static_cast<QWidget*>(w.edtPort),
                         static_cast<QWidget*>(w.edtTimeOut)}) {
    // Whatever family the machine has, the result pane's columns line up.
    EXPECT_TRUE(QFontInfo(fixed->font()).fixedPitch()) << fixed->objectName().toStdString();
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

TEST(MainWindowKeyboard, EnterInAnyFieldRunsResolver) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  std::size_t expected = 0;
  for (QWidget* field : {static_cast<QWidget*>(w.edtDnsServer), static_cast<QWidget*>(w.edtName),
                         static_cast<QWidget*>(w.cbNameType), static_cast<QWidget*>(w.edtPort),
                         static_cast<QWidget*>(w.edtTimeOut)}) {
    field->setFocus();
    QTest::keyClick(field, Qt::Key_Return);
    ++expected;
    EXPECT_TRUE(WaitUntil([&] { return t.lookup->Calls.size() == expected; }))
        << field->objectName().toStdString();
    EXPECT_EQ(QApplication::focusWidget(), field) << field->objectName().toStdString();
  }
  // Enter on a command button is not "Resolver".
  w.btnListaDNS->setFocus();
  QTest::keyClick(w.btnListaDNS, Qt::Key_Return);
  QTest::qWait(300);
  EXPECT_EQ(t.lookup->Calls.size(), expected);
}

TEST(MainWindowKeyboard, FocusStaysWhereTheUserLeftItAndTypingNeverLandsInAnotherField) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  const QString server = w.edtDnsServer->text(), name = w.edtName->text();
  QWidget* focusDuringLookup = &w;
  t.lookup->Script = [&](TScriptedLookup&, const TLookupCall&) {
    focusDuringLookup = QApplication::focusWidget();
    // Keys typed while the lookup waits go to whatever has the focus.
    QTest::keyClicks(static_cast<QWidget*>(nullptr), "zz");
  };

  // A click on Resolver: the focus is on no field during the lookup, and back on the
  // button afterwards.
  QTest::mouseClick(w.btnResolver, Qt::LeftButton);
  ASSERT_EQ(t.lookup->Calls.size(), 1u);
  EXPECT_EQ(focusDuringLookup, nullptr);
  EXPECT_EQ(QApplication::focusWidget(), w.btnResolver);
  EXPECT_EQ(w.edtDnsServer->text(), server);
  EXPECT_EQ(w.edtName->text(), name);
  EXPECT_FALSE(w.edtDnsServer->hasSelectedText());

  // Alt+R from the name field: the focus stays there, the text is not selected, and
  // what was typed went into the field the user picked.
  w.edtName->setFocus();
  w.edtName->setCursorPosition(3);
  QTest::keyClick(&w, Qt::Key_R, Qt::AltModifier);
  ASSERT_TRUE(WaitUntil([&] { return t.lookup->Calls.size() == 2; }));
  EXPECT_EQ(focusDuringLookup, w.edtName);
  EXPECT_EQ(QApplication::focusWidget(), w.edtName);
  EXPECT_FALSE(w.edtName->hasSelectedText());
  EXPECT_EQ(w.edtName->text(), name.left(3) + "zz" + name.mid(3));
  EXPECT_EQ(w.edtDnsServer->text(), server);
}

TEST(MainWindowKeyboard, F6ReachesThePaneAndTabLeavesIt) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  t.lookup->Script = [](TScriptedLookup& lookup, const TLookupCall&) {
    lookup.AddHost("copy.pellamar.test", "127.0.0.5");
  };
  w.btnResolver->click();
  w.edtName->setFocus();
  EXPECT_NE(w.memResult->toolTip().indexOf("F6"), -1) << "the tooltip names the shortcut";
  EXPECT_EQ(w.actFocusResult->shortcut(), QKeySequence(Qt::Key_F6));

  QTest::keyClick(w.edtName, Qt::Key_F6);
  ASSERT_EQ(QApplication::focusWidget(), w.memResult);
  QTest::keyClick(w.memResult, Qt::Key_A, Qt::ControlModifier);
  EXPECT_TRUE(w.memResult->textCursor().selectedText().contains("copy.pellamar.test"));
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

TEST(LookupGuard, EscapeStopsTheWaitingLookupWhichReportsTheErrorLines) {
  TQtWaiterInstallation waiter;
  TSlowAnswer answer;
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  ShowAndActivate(w);
  t.lookup->OnAbort = [&] { SetEvent(answer.release); };
  t.lookup->Script = [&](TScriptedLookup& lookup, const TLookupCall&) {
    QTimer::singleShot(50, [] { QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Escape); });
    answer.Wait();
    if (lookup.Aborts > 0) throw EzvSocketError(SzvAborted, kzvErrAborted);
  };
  w.edtName->setFocus();
  QTest::keyClick(w.edtName, Qt::Key_Return);
  ASSERT_TRUE(WaitUntil([&] { return !PaneLines(w).empty(); }));
  EXPECT_EQ(t.lookup->Aborts, 1);
  EXPECT_EQ(PaneLines(w), kErrorLines);
  EXPECT_EQ(w.StatusPanels[1]->text(), "detenida");
  EXPECT_TRUE(w.isVisible());

  // Escape with no lookup running stops nothing.
  QTest::keyClick(w.edtName, Qt::Key_Escape);
  EXPECT_EQ(t.lookup->Aborts, 1);
}

TEST(StatusBar, NamesTheServerWithABusyCursorWhileWaitingThenTellsTheOutcome) {
  TWindowUnderTest t;
  TfrmMain& w = t.window;
  w.edtDnsServer->setText("127.0.0.9");
  w.edtPort->setText("5353");
  QString waitingText;
  Qt::CursorShape cursor = Qt::ArrowCursor;
  bool anyOverride = true;
  t.lookup->Script = [&](TScriptedLookup& lookup, const TLookupCall&) {
    waitingText = w.StatusPanels[1]->text();
    cursor =
        QApplication::overrideCursor() ? QApplication::overrideCursor()->shape() : Qt::ArrowCursor;
    lookup.Exchange.ServerAddress = "127.0.0.9";
    lookup.Exchange.Port = 5353;
    lookup.Exchange.Transport = TzvDnsTransport::dtTcp;
    lookup.Exchange.Truncated = true;
    lookup.Exchange.Answered = true;
    lookup.Exchange.ResponseCode = 0;
    lookup.Exchange.ElapsedMicroseconds = 2'000;
  };
  w.btnResolver->click();
  EXPECT_TRUE(waitingText.contains("127.0.0.9")) << waitingText.toStdString();
  EXPECT_TRUE(waitingText.contains("5353")) << waitingText.toStdString();
  EXPECT_EQ(cursor, Qt::BusyCursor);
  anyOverride = QApplication::overrideCursor() != nullptr;
  EXPECT_FALSE(anyOverride) << "the busy cursor stayed";
  EXPECT_EQ(w.StatusPanels[0]->text(), "https://pellamar.example.org/");
  EXPECT_EQ(w.StatusPanels[1]->text(), "NOERROR");
  EXPECT_EQ(w.StatusPanels[2]->text(), "2,0 ms");
  EXPECT_EQ(w.StatusPanels[3]->text(), "TCP");

  // An error reply: its name in the panel, the whole failure in the tooltip; the pane
  // keeps its two lines.
  t.lookup->Script = [](TScriptedLookup& lookup, const TLookupCall&) {
    lookup.Exchange.Transport = TzvDnsTransport::dtUdp;
    lookup.Exchange.ResponseCode = 3;
    throw EzvDnsError(3);
  };
  w.btnResolver->click();
  EXPECT_EQ(w.StatusPanels[1]->text(), "NXDOMAIN");
  EXPECT_EQ(w.StatusPanels[3]->text(), "UDP");
  EXPECT_TRUE(w.StatusPanels[1]->toolTip().contains(QString::fromLatin1(DnsResponseCodeText(3))))
      << w.StatusPanels[1]->toolTip().toStdString();
  EXPECT_EQ(PaneLines(w), kErrorLines);

  // A port that is not a number never reached the server: the older exchange is not
  // shown as this lookup's.
  w.edtPort->setText("5x3");
  w.btnResolver->click();
  EXPECT_EQ(w.StatusPanels[1]->text(), "datos no válidos");
  EXPECT_TRUE(w.StatusPanels[2]->text().isEmpty());
  EXPECT_TRUE(w.StatusPanels[3]->text().isEmpty());
}
