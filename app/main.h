// The program's main window and its entry point. TfrmMain collects a DNS server, a name,
// a query type, a port and a time-out, runs one lookup per "&Resolver" and appends what
// it found to a read-only result pane; "&Listar DNS" lists the machine's DNS servers and
// "&Acerca de.." opens the about box. The pane keeps every result until "Limpiar" empties
// it; "Guardar resultados…" writes it to a file. The form, the window's geometry and the
// servers that answered lately are remembered from one run to the next.
#pragma once

#include <QApplication>
#include <QMainWindow>
#include <atomic>
#include <exception>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/DnsLookup.h"
#include "app/LookupOutcome.h"

class QAction;
class QCheckBox;
class QComboBox;
class QCompleter;
class QMouseEvent;
class QFrame;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QPushButton;
class QStatusBar;
class QStringListModel;
class QTextBlock;
class QToolBar;
class TBatchView;
class TTraceView;
class TZoneTransferView;
class TChainView;
struct TzvDnssecGraph;

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
  // Asks for the signatures and checks the answer's chain of trust; beside the type list.
  QCheckBox* chkDnssec;
  // UDP, TCP, TLS or HTTPS, beside the server; the port follows it unless one was typed.
  QComboBox* cbTransport;
  // The trace from the root of the form's question (Ctrl+T) and the batch of a file's
  // names (Ctrl+O), each in a view of its own (app/TraceView.h, app/BatchView.h) that the
  // window keeps; on a tool bar above the form, outside its tab order.
  QToolBar* tbrWork;
  QAction* actTraza;
  QAction* actLote;

  // The status bar's panels: the web address, then the outcome of the last lookup (its
  // result, how long the answer took, UDP or TCP), with the details in tooltips, and last
  // the DNSSEC verdict, shown only after a lookup with chkDnssec on. While a lookup waits
  // the second one names the server being asked.
  std::vector<QLabel*> StatusPanels;
  // Moves the keyboard focus to the result pane (F6), so its text can be selected and
  // copied without the mouse; offered in the pane's context menu too.
  QAction* actFocusResult;
  // Ctrl+S and Ctrl+L, in the pane's context menu too.
  QAction* actSaveResults;
  QAction* actClearResults;
  // The recent servers: a completer on edtDnsServer, opened by the Down key or the small
  // arrow at the field's end.
  QCompleter* RecentServerCompleter;
  QAction* actRecentServers;
  // The TSIG key file of the server in edtDnsServer (Ctrl+Shift+K, in the pane's menu too).
  QAction* actTsigKey;
  // The zone transfers and the servers' TSIG keys.
  TZoneTransferView& ZoneTransfers() const { return *zone_view_; }
  // Opens the picture of the last DNSSEC verdict's chain of trust (Ctrl+K, a double
  // click on the verdict, the pane's context menu); it follows each new verdict.
  QAction* actShowChain;
  void ShowChain();
  // The chain's window once opened (owned by this window), else null.
  TChainView* ChainView() const { return chain_view_; }

  void btnResolverClick();
  // Lets a failure to read the system's configuration pass to the caller: the button's
  // connection hands it to the application's failure report, after the heading is out.
  void btnListaDNSClick();
  void btnAcercaDeClick();
  // Opens the trace view and starts the trace of the form's question.
  void actTrazaExecute();
  // Asks for a file of names and starts the batch of it (StartBatch).
  void actLoteExecute();
  // Opens the batch view and asks the form's server every name of the file.
  void StartBatch(const QString& path);
  // The views, once opened (null before).
  TTraceView* TraceWindow() const { return trace_view_; }
  TBatchView* BatchWindow() const { return batch_view_; }

  // Writes the pane to `path` as UTF-8 text, each lookup's lines after a header naming its
  // question, server and time ("; MX pellamar.test @127.0.0.1, 12:03:41"); the failure's
  // text, or empty when it was written.
  QString SaveResults(const QString& path) const;
  void ClearResults();
  // The servers that answered lately, most recent first.
  QStringList RecentServers() const { return recent_servers_; }

  // True while "&Resolver" waits for its answer; the three commands are disabled then.
  bool LookupRunning() const { return lookup_running_; }
  // Stops the running lookup (Escape): its wait ends at once and it fails, reported as
  // stopped. Nothing happens when no lookup runs.
  void StopLookup();
  // True when a close was asked for during a lookup and is still to be carried out.
  bool CloseRequested() const { return close_requested_; }
  // The lookup, from creation until the window closes (null afterwards).
  TDnsLookup* DnsQuery() const { return FDnsQuery.get(); }

 protected:
  void closeEvent(QCloseEvent* event) override;
  void showEvent(QShowEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;

 private:
  void FormCreate();
  // Frees the lookup and lets the window close, unless a lookup is still running: then
  // the close is remembered, the lookup is asked to stop waiting, and the close is
  // carried out as soon as the lookup returns.
  bool FormCloseQuery();

  void BuildPanel();
  void BuildWorkCommands();
  void BuildStatusBar();
  void BuildResultPane();
  void ShowResultMenu(const QPoint& position);
  void SaveResultsAs();
  // The form as the last run left it, and back again when the window closes.
  void RestoreForm();
  void SaveForm() const;
  // Shrinks and moves the window, with its frame once it is shown, into the available
  // part of its screen.
  void FitIntoScreen();
  void RememberServer();
  // A line of "&Listar DNS"'s list puts its server into edtDnsServer; other lines do nothing.
  bool TakeListedServer(const QTextBlock& block);

  // Puts the open list of recent servers where it covers none of the form's fields.
  void PlaceRecentServers();
  // A press on the open list outside it: closes the list and hands the press to what
  // is under it. False for a press inside the list.
  bool RecentServersClickedOutside(const QMouseEvent& press);
  // Enter in a field: "&Resolver", as if pressed (nothing while a lookup runs).
  void PressResolver();
  void ShowWaiting();
  void ShowOutcome(const TLookupOutcome& outcome);
  // Judges the answer just shown and puts the verdict in the DNSSEC panel.
  void ShowDnssec();

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

  // Asks the question of every server at once (kServersAtOnce at a time, at most
  // kMostServers in all), one lookup each, while the window keeps handling its events;
  // shows each server's lines under a line naming it, then whether they agree.
  void ResolveSeveral(const std::vector<std::string>& servers);
  // Copies the server, the port, the time-out and the transport of the form into a lookup;
  // with `dnssec`, the DO and CD bits for the check of the answer.
  void ConfigureLookup(TDnsLookup& lookup, const std::string& server, bool dnssec = false) const;
  // The cbNameType entry chosen, kept as the running lookup's; fails when there is none.
  int SelectedQueryType();
  // The exchange settings of the form's fields (as ConfigureLookup gives a lookup).
  TzvDnsExchangeSettings FormExchangeSettings(const std::string& server, bool dnssec) const;

  TLookupServices services_;
  std::unique_ptr<TDnsLookup> FDnsQuery;
  // The lookups of a question asked of several servers, while it runs.
  std::vector<std::unique_ptr<TDnsLookup>> several_;
  bool lookup_running_ = false;
  bool close_requested_ = false;
  bool fit_when_shown_ = false;  // a restored geometry, fitted again once the frame is known
  // The one stop of the running lookup, handed to each lookup the window starts: Escape
  // and closing the window request it; read by the threads of several servers too.
  TzvStop stop_ = MakeStop();
  int result_lines_ = 0;  // lines in memResult
  int running_type_ = 0;  // the cbNameType entry the last lookup asked
  int transport_ = 0;     // the cbTransport entry the port last followed
  // Where each lookup's lines start in memResult, with the header the saved file gives it.
  std::vector<std::pair<int, std::string>> block_headers_;
  // Each lookup's outcome line for the saved file ("; A x @y, 12:03:41: resultado ...").
  std::vector<std::string> saved_outcomes_;
  // The last lookup's DNSSEC verdict (none without the check) and its chain.
  std::optional<int> last_verdict_;
  std::string last_verdict_text_;
  std::shared_ptr<const TzvDnssecGraph> last_graph_;
  TChainView* chain_view_ = nullptr;  // owned by the window
  // After a lookup's lines (from `first_line` on) are in the pane: a forged answer's are
  // shown in the error colour, and the outcome is kept for the saved file.
  void NoteOutcome(int first_line);
  QStringList recent_servers_;
  QStringListModel* recent_model_ = nullptr;  // owned by the window
  QMetaObject::Connection focus_watch_;       // closes the recent servers' list
  TTraceView* trace_view_ = nullptr;          // owned by the window
  TBatchView* batch_view_ = nullptr;          // owned by the window
  std::unique_ptr<TZoneTransferView> zone_view_;
  std::vector<std::string> zone_lines_;  // the last transfer's, for the pane
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
