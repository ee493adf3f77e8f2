// The main window with the real query component: "&Resolver" for each query type against
// the loopback test server (NSD on 127.0.0.1, zones in tests/netns/nsd/), a server error,
// a time-out, the status bar's outcome of each, Escape, and the guard while a scripted
// responder keeps an answer back. The server field is always set to a loopback address
// first: the default server is never asked.
#include <gtest/gtest.h>

#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTest>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "app/FormLayout.h"
#include "app/QtThreadWaiter.h"
#include "app/main.h"
#include "base/ScopeExit.h"
#include "net/zvSocketUtils.h"
#include "net/zvWinSock2.h"
#include "tests/app/AppTestSupport.h"
#include "tests/support/NetNamespace.h"
#include "tests/support/ScriptedDnsResponder.h"

namespace {

using Lines = std::vector<std::string>;

// Runs one "&Resolver" against a loopback server and returns what the pane gained.
Lines Resolve(TfrmMain& window, int queryType, const char* name, const char* server = "127.0.0.1",
              const char* port = "53", const char* timeOut = "5") {
  window.edtDnsServer->setText(server);
  window.edtPort->setText(port);
  window.edtTimeOut->setText(timeOut);
  window.edtName->setText(name);
  window.cbNameType->setCurrentIndex(queryType);
  const std::size_t before = PaneLines(window).size();
  window.btnResolver->click();
  const Lines all = PaneLines(window);
  return Lines(all.begin() + static_cast<std::ptrdiff_t>(before), all.end());
}

const Lines kErrorLines = {"====== Error ======", " - El servidor no responde."};

std::string Panel(const TfrmMain& window, int index) {
  return window.StatusPanels[index]->text().toStdString();
}

// The status bar's time and transport come from the query component's record of its
// last exchange. A component that keeps no such record leaves them out; the checks of
// them are skipped then, with this reason.
#define SKIP_WITHOUT_EXCHANGE_RECORD(window)                                             \
  if ((window).DnsQuery()->LastExchange().ServerAddress.empty())                         \
  GTEST_SKIP() << "the query component records no exchange (LastExchange is empty), so " \
                  "the status bar has no time or transport to show"

}  // namespace

TEST(ResolverAgainstNsd, MxShowsMailServersHostsAndNameServers) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  TfrmMain window;
  const Lines expected = {"====== Servidores de Correo ======",
                          "mail2.pellamar.test, Preference 20, 127.0.0.12",
                          "mail1.pellamar.test, Preference 10, 127.0.0.11",
                          "mail3.pellamar.test, Preference 10, 127.0.0.13",
                          "nomail.pellamar.test, Preference 5, ",
                          "",
                          "====== Hosts ======",
                          "mail1.pellamar.test, 127.0.0.11",
                          "mail2.pellamar.test, 127.0.0.12",
                          "mail3.pellamar.test, 127.0.0.13",
                          "ns1.pellamar.test, 127.0.0.1",
                          "ns2.pellamar.test, 127.0.0.1",
                          "",
                          "====== Nombre Servidores ======",
                          "ns1.pellamar.test",
                          "ns2.pellamar.test",
                          ""};
  EXPECT_EQ(Resolve(window, 0, "pellamar.test"), expected);
  // A mail address asks for its domain.
  EXPECT_EQ(Resolve(window, 0, "postmaster@pellamar.test"), expected);
}

TEST(ResolverAgainstNsd, AShowsTheHostAndItsAlias) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  TfrmMain window;
  const Lines expected = {"====== Hosts ======",
                          "host4.pellamar.test, 127.0.0.44",
                          "",
                          "====== Nombre Servidores ======",
                          "ns1.pellamar.test",
                          "ns2.pellamar.test",
                          "",
                          "====== Alias ======",
                          "www.pellamar.test",
                          ""};
  EXPECT_EQ(Resolve(window, 1, "www.pellamar.test"), expected);
}

TEST(ResolverAgainstNsd, PtrShowsBothNamesOfAnAddress) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  TfrmMain window;
  const Lines expected = {"====== Hosts ======",
                          "first.pellamar.test, 127.0.0.47",
                          "second.pellamar.test, 127.0.0.47",
                          "",
                          "====== Nombre Servidores ======",
                          "ns1.pellamar.test",
                          ""};
  EXPECT_EQ(Resolve(window, 2, "127.0.0.47"), expected);
}

TEST(ResolverAgainstNsd, TheRootAsANameShowsAsADot) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  TfrmMain window;
  EXPECT_EQ(Resolve(window, 0, "nullmx.pellamar.test").at(1), "., Preference 0, ");
  EXPECT_EQ(Resolve(window, 8, "_none._tcp.pellamar.test").at(1),
            "_none._tcp.pellamar.test, Priority 0, Weight 0, Port 0, .");
}

TEST(ResolverAgainstNsd, NsShowsTheServersAndTheirAddresses) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  TfrmMain window;
  const Lines expected = {"====== Hosts ======",
                          "ns1.pellamar.test, 127.0.0.1",
                          "ns2.pellamar.test, 127.0.0.1",
                          "",
                          "====== Nombre Servidores ======",
                          "ns1.pellamar.test",
                          "ns2.pellamar.test",
                          ""};
  EXPECT_EQ(Resolve(window, 3, "pellamar.test"), expected);
}

TEST(ResolverAgainstNsd, FailuresGiveTheErrorLinesAndLaterLookupsStillWork) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  TfrmMain window;
  EXPECT_EQ(Resolve(window, 1, "nosuch.pellamar.test"), kErrorLines);  // name error
  EXPECT_EQ(Resolve(window, 1, "host4.pellamar.test", "127.0.0.1", "5x3"), kErrorLines);
  EXPECT_EQ(Resolve(window, 1, "host4.pellamar.test", "127.0.0.1", "53", ""), kErrorLines);
  const Lines host4 = Resolve(window, 1, "host4.pellamar.test");
  ASSERT_GE(host4.size(), 2u);
  EXPECT_EQ(host4[1], "host4.pellamar.test, 127.0.0.44");
  // The server given by a name our loopback resolver answers.
  const Lines byName = Resolve(window, 1, "host4.pellamar.test", "ns1.pellamar.test");
  ASSERT_GE(byName.size(), 2u);
  EXPECT_EQ(byName[1], "host4.pellamar.test, 127.0.0.44");
}

TEST(ResolverAgainstScriptedServer, NoAnswerWithinTheTimeOutGivesTheErrorLines) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  ScriptedDnsResponder responder("127.0.0.61");
  responder.SetDefaultReply(ScriptedDnsResponder::Silence());
  TfrmMain window;
  const std::string port = std::to_string(responder.Port());
  EXPECT_EQ(Resolve(window, 1, "quiet.pellamar.test", "127.0.0.61", port.c_str(), "1"),
            kErrorLines);
  // Sent at once and again 0.4 s later; a third try would have come after the second.
  EXPECT_EQ(responder.RequestCount(), 2);
}

TEST(LookupGuardAgainstScriptedServer, ASlowAnswerKeepsTheWindowRunningWithCommandsOff) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  ScriptedDnsResponder responder("127.0.0.62");
  responder.SetDefaultReply(ScriptedDnsResponder::Slow(std::chrono::milliseconds(800)));
  TfrmMain window;
  window.show();
  const std::string port = std::to_string(responder.Port());

  bool commandsOff = false;
  int ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++ticks; });
  ticker.start(10);
  QTimer::singleShot(200, [&] {
    commandsOff = !window.btnResolver->isEnabled() && !window.btnListaDNS->isEnabled() &&
                  !window.btnAcercaDe->isEnabled();
  });

  const Lines lines = Resolve(window, 1, "slow.pellamar.test", "127.0.0.62", port.c_str(), "10");
  ASSERT_GE(lines.size(), 2u);
  EXPECT_EQ(lines[0], "====== Hosts ======");
  EXPECT_EQ(lines[1], "slow.pellamar.test, 127.0.0.99");
  EXPECT_TRUE(commandsOff);
  EXPECT_GT(ticks, 5) << "the window's event loop stood still while the lookup waited";
  EXPECT_TRUE(window.btnResolver->isEnabled());
}

TEST(LookupGuardAgainstScriptedServer, ACloseStopsTheWaitAndIsCarriedOutWhenTheLookupReturns) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  ScriptedDnsResponder responder("127.0.0.63");
  responder.SetDefaultReply(ScriptedDnsResponder::Silence());
  TfrmMain window;
  window.show();
  const std::string port = std::to_string(responder.Port());

  bool closeHeld = false, lookupThere = false;
  QTimer::singleShot(200, [&] {
    window.close();
    closeHeld = window.isVisible() && window.CloseRequested();
    lookupThere = window.DnsQuery() != nullptr;
  });
  // A silent server and a long time-out: the close stops the wait, then the window goes.
  QElapsedTimer clock;
  clock.start();
  const Lines lines = Resolve(window, 1, "quiet.pellamar.test", "127.0.0.63", port.c_str(), "60");
  EXPECT_LT(clock.elapsed(), 30000) << "the close did not stop the wait";
  EXPECT_EQ(lines, kErrorLines);
  EXPECT_TRUE(closeHeld);
  EXPECT_TRUE(lookupThere) << "the lookup was freed while it still ran";
  EXPECT_FALSE(window.isVisible()) << "the held-back close was not carried out";
  EXPECT_EQ(window.DnsQuery(), nullptr);
}

TEST(StatusBarAgainstLoopbackServers, EachOutcomeInItsWords) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  TfrmMain window;
  EXPECT_EQ(Resolve(window, 1, "nosuch.pellamar.test"), kErrorLines);
  EXPECT_EQ(Panel(window, 1), "NXDOMAIN");
  Resolve(window, 1, "host4.pellamar.test");
  EXPECT_EQ(Panel(window, 1), "NOERROR");
  std::optional<ScriptedDnsResponder> responder;
  responder.emplace("127.0.0.64");
  responder->SetDefaultReply(ScriptedDnsResponder::Silence());
  const std::string port = std::to_string(responder->Port());
  Resolve(window, 1, "quiet.pellamar.test", "127.0.0.64", port.c_str(), "1");
  EXPECT_EQ(Panel(window, 1), "sin respuesta");
  EXPECT_TRUE(Panel(window, 2).empty());

  SKIP_WITHOUT_EXCHANGE_RECORD(window);
  Resolve(window, 1, "host4.pellamar.test");
  EXPECT_EQ(Panel(window, 3), "UDP");
  EXPECT_NE(Panel(window, 2).find(" ms"), std::string::npos) << Panel(window, 2);
  EXPECT_TRUE(window.StatusPanels[1]->toolTip().contains("127.0.0.1"));
  // The responder is gone: nothing listens on its port any more.
  responder.reset();
  EXPECT_EQ(Resolve(window, 1, "closed.pellamar.test", "127.0.0.64", port.c_str(), "2"),
            kErrorLines);
  EXPECT_EQ(Panel(window, 1), "conexión rechazada");
}

TEST(EscapeAgainstScriptedServer, StopsTheWaitAtOnceWithTheErrorLines) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  ScriptedDnsResponder responder("127.0.0.67");
  responder.SetDefaultReply(ScriptedDnsResponder::Silence());
  TfrmMain window;
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  const std::string port = std::to_string(responder.Port());
  QTimer::singleShot(200, [] { QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Escape); });
  QElapsedTimer clock;
  clock.start();
  EXPECT_EQ(Resolve(window, 1, "quiet.pellamar.test", "127.0.0.67", port.c_str(), "60"),
            kErrorLines);
  EXPECT_LT(clock.elapsed(), 30000) << "Escape did not stop the wait";
  EXPECT_EQ(Panel(window, 1), "detenida");
  EXPECT_TRUE(window.isVisible());
}

// The answer came, but the server is silent when the chain of trust is asked of it:
// Escape ends that wait too, and the verdict says the check was stopped.
TEST(EscapeAgainstScriptedServer, StopsTheDnssecCheckToo) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  ScriptedDnsResponder responder("127.0.0.68");
  responder.Script({ScriptedDnsResponder::Answer()});
  responder.SetDefaultReply(ScriptedDnsResponder::Silence());
  TfrmMain window;
  window.show();
  window.activateWindow();
  ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
  window.chkDnssec->setChecked(true);
  const std::string port = std::to_string(responder.Port());
  QTimer::singleShot(300, [] { QTest::keyClick(static_cast<QWidget*>(nullptr), Qt::Key_Escape); });
  QElapsedTimer clock;
  clock.start();
  const Lines lines = Resolve(window, 1, "quiet.pellamar.test", "127.0.0.68", port.c_str(), "60");
  EXPECT_LT(clock.elapsed(), 30000) << "Escape did not stop the chain's question";
  EXPECT_EQ(lines, (Lines{"====== Hosts ======", "quiet.pellamar.test, 127.0.0.99", ""}));
  EXPECT_GE(responder.RequestCount(), 2);
  const QLabel* panel = window.StatusPanels[frmMainLayout::kDnssecPanel];
  EXPECT_EQ(panel->text(), "DNSSEC: indeterminada");
  EXPECT_TRUE(panel->toolTip().contains("stopped")) << panel->toolTip().toStdString();
}

namespace {

// A server typed as a host name whose lookup never ends (the system's address lookup is
// held): the window keeps handling its events while the lookup waits off its thread, and
// a close ends the wait at once.
std::atomic<bool> address_lookup_held{false};
std::int32_t HeldAddressLookup(const char*, zvWinSock2::TzvAddressEntry*) {
  while (address_lookup_held.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
  return kzvHostNotFound;
}

TEST(LookupGuardAgainstAHangingHostLookup, TheWindowRunsOnAndACloseEndsIt) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  auto& api = zvWinSock2::SocketApi();
  const auto saved = api.addresslookup;
  address_lookup_held = true;
  api.addresslookup = HeldAddressLookup;
  TfrmMain window;
  window.show();
  int timer_ticks = 0;
  QTimer ticker;
  QObject::connect(&ticker, &QTimer::timeout, [&] { ++timer_ticks; });
  ticker.start(20);
  QElapsedTimer closed_after;
  QTimer::singleShot(300, [&] {
    closed_after.start();
    window.close();
  });
  const Lines lines = Resolve(window, 1, "host4.pellamar.test", "slow.pellamar.test", "53", "60");
  const qint64 close_took = closed_after.elapsed();
  address_lookup_held = false;
  api.addresslookup = saved;
  EXPECT_EQ(lines, kErrorLines);
  EXPECT_GT(timer_ticks, 5) << "the window's events stood still during the host lookup";
  EXPECT_LT(close_took, 5000) << "the close did not end the host lookup";
  EXPECT_FALSE(window.isVisible());
}

// The companion's types in the window, under the companion's headings.
TEST(ResolverAgainstNsd, TxtAndSoaAreListedAsTheCompanionListsThem) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  TfrmMain window;
  EXPECT_EQ(Resolve(window, 5, "info.pellamar.test"),
            (Lines{"====== Textos ======", "info.pellamar.test, \"Pellamar test zone\"", ""}));
  const Lines soa = Resolve(window, 6, "pellamar.test");
  ASSERT_EQ(soa.size(), 3u);
  EXPECT_EQ(soa[0], "====== Inicio de Autoridad ======");
  EXPECT_EQ(soa[1].rfind("pellamar.test, ns1.pellamar.test, hostmaster.pellamar.test, Serial ", 0),
            0u);
  EXPECT_EQ(window.RecentServers(), QStringList{"127.0.0.1"});
}

// DNS over TLS from the window, trusting the namespace's test CA the way OpenSSL lets any
// program be told (SSL_CERT_FILE): the answer, "TLS" in the bar; a server whose
// certificate has expired gets the error lines and the reason in the tooltip.
TEST(TlsAgainstUnbound, TheWindowAsksOverTlsAndHttpsAndRefusesAWrongCertificate) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const std::string ca = NetnsRunDir() + "/tls/ca.pem";
  setenv("SSL_CERT_FILE", ca.c_str(), 1);
  auto unset = ScopeExit([] { unsetenv("SSL_CERT_FILE"); });
  TQtWaiterInstallation waiter;
  TfrmMain window;
  window.cbTransport->setCurrentText("TLS");
  EXPECT_EQ(Resolve(window, 5, "info.pellamar.test", "dns.pellamar.test", "853"),
            (Lines{"====== Textos ======", "info.pellamar.test, \"Pellamar test zone\"", ""}));
  EXPECT_EQ(Panel(window, 3), "TLS");
  EXPECT_EQ(Resolve(window, 5, "info.pellamar.test", "expired.pellamar.test", "853"), kErrorLines);
  EXPECT_EQ(Panel(window, 1), "certificado rechazado");
  EXPECT_TRUE(window.StatusPanels[1]->toolTip().contains("expired"));

  // HTTPS: the port follows the choice; HTTP/2 from Unbound, HTTP/1.1 from the other.
  window.edtPort->setText("853");
  window.cbTransport->setCurrentText("HTTPS");
  EXPECT_EQ(window.edtPort->text(), "443");
  EXPECT_EQ(Resolve(window, 5, "info.pellamar.test", "dns.pellamar.test", "443"),
            (Lines{"====== Textos ======", "info.pellamar.test, \"Pellamar test zone\"", ""}));
  EXPECT_EQ(Panel(window, 3), "HTTPS");
  EXPECT_EQ(Resolve(window, 1, "www.pellamar.test", "http1.pellamar.test", "443"),
            (Lines{"====== Hosts ======", "www.pellamar.test, 192.0.2.84", ""}));
}

// Several servers in the field: each one's lines under its name, then whether they agree;
// the silent one costs one time-out, as all are asked at once.
TEST(SeveralServersAgainstNsd, EachServersBlockAndTheirAgreement) {
  REQUIRE_LOOPBACK_NAMESPACE();
  ScriptedDnsResponder silent("127.0.0.70", 53);
  silent.SetDefaultReply(ScriptedDnsResponder::Silence());
  TQtWaiterInstallation waiter;
  TfrmMain window;
  const auto started = std::chrono::steady_clock::now();
  const Lines lines =
      Resolve(window, 1, "h7.batch.pellamar.test", "127.0.0.4, 127.0.0.5 127.0.0.70", "53", "1");
  EXPECT_LT(std::chrono::steady_clock::now() - started, std::chrono::milliseconds(1800));
  EXPECT_EQ(lines,
            (Lines{";; servidor 127.0.0.4",
                   "====== Hosts ======",
                   "h7.batch.pellamar.test, 10.4.0.7",
                   "",
                   "====== Nombre Servidores ======",
                   "ns.batch.pellamar.test",
                   "",
                   ";; servidor 127.0.0.5",
                   "====== Hosts ======",
                   "h7.batch.pellamar.test, 10.5.0.7",
                   "",
                   "====== Nombre Servidores ======",
                   "ns.batch.pellamar.test",
                   "",
                   ";; servidor 127.0.0.70",
                   kErrorLines[0],
                   kErrorLines[1],
                   ";; las respuestas difieren:",
                   ";;   respuesta: 127.0.0.4 NOERROR, 127.0.0.5 NOERROR, 127.0.0.70 sin respuesta",
                   ";;   h7.batch.pellamar.test A 10.4.0.7  solo de 127.0.0.4",
                   ";;   h7.batch.pellamar.test A 10.5.0.7  solo de 127.0.0.5"}));
  EXPECT_EQ(Panel(window, 1), "respuestas distintas");
  EXPECT_EQ(Resolve(window, 6, "batch.pellamar.test", "127.0.0.4,127.0.0.4").back(),
            ";; las respuestas coinciden");
  EXPECT_EQ(Panel(window, 1), "respuestas iguales");
}

// The DNSSEC box against the signed tree behind its non-validating resolver, trusting the
// tree's own root key: delv's verdicts, in the status bar, with the answer still shown.
TEST(DnssecAgainstSignedTree, TheVerdictShowsInTheStatusBar) {
  REQUIRE_LOOPBACK_NAMESPACE();
  const auto anchor = TrustSignedTreeAnchor();
  TQtWaiterInstallation waiter;
  TfrmMain window;
  const QLabel* panel = window.StatusPanels[frmMainLayout::kDnssecPanel];
  EXPECT_FALSE(panel->isVisibleTo(&window));
  window.chkDnssec->setChecked(true);
  struct TCase {
    const char* name;
    const char* verdict;
    const char* shown;  // in the pane (the answer) or the tooltip (the reason)
  };
  const TCase cases[] = {
      {"www.ed.example", "DNSSEC: segura", "192.0.2.10"},
      {"nothing.ed.example", "DNSSEC: segura", "====== Error ======"},
      {"www.insecure.example", "DNSSEC: insegura", "192.0.2.50"},
      {"www.bogus-ds.example", "DNSSEC: falsa", "192.0.2.51"},
  };
  for (const TCase& c : cases) {
    SCOPED_TRACE(c.name);
    const Lines lines = Resolve(window, 1, c.name, "127.0.0.53");
    EXPECT_TRUE(panel->isVisibleTo(&window));
    EXPECT_EQ(panel->text().toStdString(), c.verdict) << panel->toolTip().toStdString();
    EXPECT_EQ(panel->property("alarm").toBool(), std::string(c.verdict) == "DNSSEC: falsa");
    bool found = false;
    for (const std::string& line : lines) found |= line.find(c.shown) != std::string::npos;
    EXPECT_TRUE(found) << c.shown;
  }
  EXPECT_TRUE(panel->toolTip().contains("DS does not match any DNSKEY"));
  window.chkDnssec->setChecked(false);
  Resolve(window, 1, "www.ed.example", "127.0.0.53");
  EXPECT_FALSE(panel->isVisibleTo(&window));
}

}  // namespace

TEST(ExtendedErrorsAgainstValidatingUnbound,
     TheBarSaysWhyAndNamesTheResolversAdWhileThePaneKeepsItsLines) {
  REQUIRE_LOOPBACK_NAMESPACE();
  TQtWaiterInstallation waiter;
  TfrmMain window;
  EXPECT_EQ(Resolve(window, 1, "www.bogus-ds.example", "127.0.0.54"), kErrorLines);
  SKIP_WITHOUT_EXCHANGE_RECORD(window);
  const std::string result = Panel(window, 1);
  EXPECT_TRUE(result == "SERVFAIL — DNSKEY Missing" || result == "SERVFAIL — DNSSEC Bogus")
      << result;
  EXPECT_TRUE(window.StatusPanels[1]->toolTip().contains("Error extendido: "));
  // A secure answer: our own verdict, and the resolver's AD beside it in the tooltip.
  const auto anchor = TrustSignedTreeAnchor();
  window.chkDnssec->setChecked(true);
  Resolve(window, 1, "www.ed.example", "127.0.0.54");
  const QLabel* dnssec = window.StatusPanels[frmMainLayout::kDnssecPanel];
  EXPECT_EQ(dnssec->text().toStdString(), "DNSSEC: segura");
  EXPECT_TRUE(dnssec->toolTip().contains("bit AD")) << dnssec->toolTip().toStdString();
}
