// The program's main window and its entry point. TfrmMain collects a DNS server, a name,
// a query type, a port and a time-out, runs one lookup per "&Resolver" and appends what
// it found to a read-only result pane; "&Listar DNS" lists the machine's DNS servers and
// "&Acerca de.." opens the about box. The pane is never cleared.
#pragma once

#include <QApplication>
#include <QMainWindow>
#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "app/DnsLookup.h"

class QComboBox;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;

// The application's title: message boxes the program shows carry it.
inline constexpr const char* kApplicationTitle = "Pellamar";

class TfrmMain : public QMainWindow {
  Q_OBJECT

 public:
  explicit TfrmMain(TLookupServices services = DefaultLookupServices(), QWidget* parent = nullptr);
  ~TfrmMain() override;

  // Controls, in the order they are declared on the form (owned by the window).
  QPlainTextEdit* memResult;
  QStatusBar* StatusBar1;
  QFrame* Panel1;
  QLabel* Label1;
  QLabel* Label2;
  QLabel* Label3;
  QLabel* Label4;
  QLabel* Label6;
  QLineEdit* edtDnsServer;
  QComboBox* cbNameType;
  QLineEdit* edtTimeOut;
  QLineEdit* edtName;
  QLineEdit* edtPort;
  QPushButton* btnResolver;
  QPushButton* btnListaDNS;
  QPushButton* btnAcercaDe;

  // The status bar's four panels; the first shows the web address.
  std::vector<QLabel*> StatusPanels;

  void btnResolverClick();
  // Lets a failure to read the system's configuration pass to the caller: the button's
  // connection hands it to the application's failure report, after the heading is out.
  void btnListaDNSClick();
  void btnAcercaDeClick();

  // True while "&Resolver" waits for its answer; the three commands are disabled then.
  bool LookupRunning() const { return lookup_running_; }
  // True when a close was asked for during a lookup and is still to be carried out.
  bool CloseRequested() const { return close_requested_; }
  // The lookup, from creation until the window closes (null afterwards).
  TDnsLookup* DnsQuery() const { return FDnsQuery.get(); }

 protected:
  void closeEvent(QCloseEvent* event) override;

 private:
  void FormCreate();
  // Frees the lookup and lets the window close, unless a lookup is still running: then
  // the close is remembered, the lookup is asked to stop waiting, and the close is
  // carried out as soon as the lookup returns.
  bool FormCloseQuery();

  void BuildPanel();
  void BuildStatusBar();
  void BuildResultPane();

  void AppendLines(const std::vector<std::string>& lines);
  void ShowMailServers();
  void ShowHosts();
  void ShowNameServers();
  void ShowAliases();
  void RunLookup();
  void SetCommandsEnabled(bool enabled);
  // Runs a command from a button; a failure that escapes it goes to the application's
  // report instead of crossing Qt's event loop.
  template <class Command>
  void RunCommand(Command command);

  TLookupServices services_;
  std::unique_ptr<TDnsLookup> FDnsQuery;
  bool lookup_running_ = false;
  bool close_requested_ = false;
  int result_lines_ = 0;  // lines in memResult
};

// The application object: it reports a failure that reaches the event loop in a message
// box instead of letting it end the program.
class TApplication : public QApplication {
 public:
  TApplication(int& argc, char** argv);
  bool notify(QObject* receiver, QEvent* event) override;
};

// Sets the application's title and icon; the program entry does it first.
void InitializeApplication(QApplication& application);

// The application's report of a failure nobody caught: a message box titled with the
// application's title, holding the failure's message text.
void ShowException(const std::exception& failure);

// The program entry: sets the application up, shows the main window and runs the event
// loop until that window closes.
int PellamarMain(int argc, char** argv);
