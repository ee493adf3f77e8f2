#include "app/main.h"

#include <QCloseEvent>
#include <QComboBox>
#include <QFrame>
#include <QIcon>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QStatusBar>
#include <QStyle>
#include <QTextCursor>
#include <QVBoxLayout>
#include <cstdint>

#include "app/FormLayout.h"
#include "app/QtThreadWaiter.h"
#include "app/frmAcercaDeUnit.h"
#include "base/SysUtils.h"
#include "cli/ResultText.h"

using namespace frmMainLayout;

namespace {

// The name edtName offers at start; any name the user types replaces it.
constexpr const char* kDefaultName = "example.org";
constexpr const char* kDefaultServer = "192.168.0.1";
constexpr const char* kDefaultPort = "53";
constexpr const char* kDefaultTimeOut = "5";

QLabel* MakeCaption(QWidget* parent, const char* name, const char* text, const TSpot& spot) {
  auto* label = MakeChild<QLabel>(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setText(QString::fromUtf8(text));
  Place(*label, spot);
  return label;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const char* text, const TPlace& place) {
  auto* edit = MakeChild<QLineEdit>(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setFont(FixedFont());
  edit->setText(QString::fromUtf8(text));
  Place(*edit, place);
  return edit;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption, const char* picture,
                        const TPlace& place) {
  auto* button = MakeChild<QPushButton>(parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setText(QString::fromUtf8(caption));
  button->setIcon(QIcon(QString::fromLatin1(picture)));
  button->setIconSize(QSize(kButtonPictureSize, kButtonPictureSize));
  // Buttons of a plain window: Enter in a field presses none of them.
  button->setAutoDefault(false);
  Place(*button, place);
  return button;
}

std::string Text(const QLineEdit* edit) {
  return edit->text().toStdString();
}

// The time-out field holds seconds, the lookup takes milliseconds. A number of seconds
// whose milliseconds do not fit the lookup's 32-bit setting is refused like any other
// text that is not a usable integer, instead of wrapping round to a different time-out.
int TimeOutMilliseconds(const std::string& seconds_text) {
  const std::int64_t milliseconds = std::int64_t{StrToInt(seconds_text)} * 1000;
  if (milliseconds > INT32_MAX || milliseconds < INT32_MIN)
    throw EConvertError(Format("'%s' is not a valid time-out in seconds", seconds_text.c_str()));
  return static_cast<int>(milliseconds);
}

}  // namespace

TfrmMain::TfrmMain(TLookupServices services, QWidget* parent)
    : QMainWindow(parent), services_(std::move(services)) {
  LoadArtwork();
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QStringLiteral("Pellamar v1.0"));
  // A sizeable frame with a system menu and a minimise button, but no maximise button.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFont(FormFont());
  setBackgroundRole(QPalette::Button);
  setAutoFillBackground(true);

  auto* client = MakeChild<QWidget>(this);
  client->setObjectName(QStringLiteral("ClientArea"));
  auto* column = MakeChild<QVBoxLayout>(client);
  column->setContentsMargins(0, 0, 0, 0);
  column->setSpacing(0);
  setCentralWidget(client);

  BuildResultPane();
  BuildStatusBar();
  BuildPanel();
  column->addWidget(Panel1);
  column->addWidget(memResult, 1);

  resize(kClientWidth, kClientHeight);
  // Centred on the screen when first shown.
  if (const QScreen* screen = this->screen())
    move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry())
             .topLeft());

  FormCreate();
}

TfrmMain::~TfrmMain() = default;

void TfrmMain::BuildResultPane() {
  memResult = MakeChild<QPlainTextEdit>(this);
  memResult->setObjectName(QStringLiteral("memResult"));
  memResult->setReadOnly(true);
  memResult->setLineWrapMode(QPlainTextEdit::NoWrap);
  memResult->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memResult->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
  memResult->setFont(FixedFont());
  QPalette pane = memResult->palette();
  pane.setColor(QPalette::Base, pane.color(QPalette::Button));
  memResult->setPalette(pane);
  memResult->viewport()->setCursor(Qt::ArrowCursor);
  // Reached by the mouse, passed over by Tab.
  memResult->setFocusPolicy(Qt::ClickFocus);
}

void TfrmMain::BuildStatusBar() {
  StatusBar1 = MakeChild<QStatusBar>(this);
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  StatusBar1->setFixedHeight(kStatusBarHeight);
  for (int width : kStatusPanelWidths) {
    auto* panel = MakeChild<QLabel>(StatusBar1);
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    panel->setFixedWidth(width);
    StatusBar1->addWidget(panel);
    StatusPanels.push_back(panel);
  }
  StatusPanels.front()->setText(QString::fromLatin1(kPellamarWebAddress));
  setStatusBar(StatusBar1);
}

void TfrmMain::BuildPanel() {
  Panel1 = MakeChild<QFrame>(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->setFrameShape(QFrame::NoFrame);
  Panel1->setFixedHeight(kPanelHeight);

  Label1 = MakeCaption(Panel1, "Label1", "Servidor DNS :", kLabel1);
  edtDnsServer = MakeEdit(Panel1, "edtDnsServer", kDefaultServer, kEdtDnsServer);
  Label3 = MakeCaption(Panel1, "Label3", "Nombre a Resolver :", kLabel3);
  edtName = MakeEdit(Panel1, "edtName", kDefaultName, kEdtName);
  Label2 = MakeCaption(Panel1, "Label2", "Tipo de Consulta :", kLabel2);

  cbNameType = MakeChild<QComboBox>(Panel1);
  cbNameType->setObjectName(QStringLiteral("cbNameType"));
  cbNameType->setEditable(false);
  cbNameType->addItems(
      {QStringLiteral("MX (servidores de correo)"), QStringLiteral("A (direcciones IP)"),
       QStringLiteral("PTR (nombres de host)"), QStringLiteral("NS (nombres de servidores)")});
  // After the four of the original window, whose indices stay as they were.
  cbNameType->addItem(QStringLiteral("AAAA (direcciones IPv6)"));
  cbNameType->setCurrentIndex(0);
  Place(*cbNameType, kCbNameType);

  Label6 = MakeCaption(Panel1, "Label6", "Puerto :", kLabel6);
  edtPort = MakeEdit(Panel1, "edtPort", kDefaultPort, kEdtPort);
  Label4 = MakeCaption(Panel1, "Label4", "TimeOut, s :", kLabel4);
  edtTimeOut = MakeEdit(Panel1, "edtTimeOut", kDefaultTimeOut, kEdtTimeOut);

  // Each caption names the field beside it, for assistive tools, and keeps clear of it.
  const std::pair<QLabel*, std::pair<QWidget*, TSpot>> captions[] = {
      {Label1, {edtDnsServer, kLabel1}},
      {Label3, {edtName, kLabel3}},
      {Label2, {cbNameType, kLabel2}},
      {Label6, {edtPort, kLabel6}},
      {Label4, {edtTimeOut, kLabel4}}};
  for (const auto& [caption, field] : captions) {
    caption->setBuddy(field.first);
    PlaceCaption(*caption, field.second, *field.first);
  }

  btnResolver = MakeButton(Panel1, "btnResolver", "&Resolver", ":/pellamar/buttons/resolver.png",
                           kBtnResolver);
  btnListaDNS = MakeButton(Panel1, "btnListaDNS", "&Listar DNS",
                           ":/pellamar/buttons/listar-dns.png", kBtnListaDNS);
  btnAcercaDe = MakeButton(Panel1, "btnAcercaDe", "&Acerca de..",
                           ":/pellamar/buttons/acerca-de.png", kBtnAcercaDe);

  // Tab order 0 to 7.
  setTabOrder(edtDnsServer, edtName);
  setTabOrder(edtName, cbNameType);
  setTabOrder(cbNameType, edtPort);
  setTabOrder(edtPort, edtTimeOut);
  setTabOrder(edtTimeOut, btnResolver);
  setTabOrder(btnResolver, btnListaDNS);
  setTabOrder(btnListaDNS, btnAcercaDe);
  edtDnsServer->setFocus();

  connect(btnResolver, &QPushButton::clicked, this,
          [this] { RunCommand([this] { btnResolverClick(); }); });
  connect(btnListaDNS, &QPushButton::clicked, this,
          [this] { RunCommand([this] { btnListaDNSClick(); }); });
  connect(btnAcercaDe, &QPushButton::clicked, this,
          [this] { RunCommand([this] { btnAcercaDeClick(); }); });
}

void TfrmMain::FormCreate() {
  FDnsQuery = services_.CreateLookup();
  // The result pane already fills the client area between the panel and the status bar.
}

bool TfrmMain::FormCloseQuery() {
  if (lookup_running_) {
    // Whoever closes the window wants no more of the answer: stop the wait rather than
    // keep the window open for as long as the time-out allows.
    close_requested_ = true;
    if (FDnsQuery) FDnsQuery->Abort();
    return false;
  }
  FDnsQuery.reset();
  return true;
}

void TfrmMain::closeEvent(QCloseEvent* event) {
  if (FormCloseQuery())
    event->accept();
  else
    event->ignore();
}

template <class Command>
void TfrmMain::RunCommand(Command command) {
  try {
    command();
  } catch (const std::exception& failure) {
    ShowException(failure);
  }
}

void TfrmMain::SetCommandsEnabled(bool enabled) {
  btnResolver->setEnabled(enabled);
  btnListaDNS->setEnabled(enabled);
  btnAcercaDe->setEnabled(enabled);
}

void TfrmMain::AppendLines(const std::vector<std::string>& lines) {
  // One block per line. The pane is never cleared: new lines go below the old ones.
  QTextCursor cursor(memResult->document());
  cursor.movePosition(QTextCursor::End);
  for (const std::string& line : lines) {
    if (result_lines_ > 0) cursor.insertBlock();
    cursor.insertText(QString::fromStdString(line));
    ++result_lines_;
  }
  memResult->verticalScrollBar()->setValue(memResult->verticalScrollBar()->maximum());
}

void TfrmMain::ShowMailServers() {
  AppendLines(MailServerLines(FDnsQuery->MailServers()));
}
void TfrmMain::ShowHosts() {
  AppendLines(HostLines(FDnsQuery->Hosts()));
}
void TfrmMain::ShowNameServers() {
  AppendLines(NameServerLines(FDnsQuery->NameServers()));
}
void TfrmMain::ShowAliases() {
  AppendLines(AliasLines(FDnsQuery->Aliases()));
}

void TfrmMain::RunLookup() {
  if (!FDnsQuery) throw Exception("The window is closing");
  FDnsQuery->SetServer(Text(edtDnsServer));
  FDnsQuery->SetPort(StrToInt(Text(edtPort)));
  FDnsQuery->SetTimeOut(TimeOutMilliseconds(Text(edtTimeOut)));
  const std::string name = Text(edtName);
  switch (cbNameType->currentIndex()) {
    case 0:
      FDnsQuery->ResolveMX(name);
      break;
    case 1:
      FDnsQuery->ResolveIP(name);
      break;
    case 2:
      FDnsQuery->ResolveHostName(name);
      break;
    case 3:
      FDnsQuery->ResolveNS(name);
      break;
    case 4:
      FDnsQuery->ResolveAAAA(name);
      break;
    default:
      throw Exception("No query type is selected");
  }
}

void TfrmMain::btnResolverClick() {
  if (lookup_running_) return;
  // While the lookup waits, Qt keeps handling this window's events. The commands are
  // off until it returns, and a close asked for meanwhile is held back until then, so
  // nothing uses or frees the lookup in the middle of it.
  lookup_running_ = true;
  SetCommandsEnabled(false);
  struct TLookupDone {
    TfrmMain& window;
    ~TLookupDone() {
      window.lookup_running_ = false;
      window.SetCommandsEnabled(true);
    }
  };

  {
    TLookupDone done{*this};
    bool failed = false;
    try {
      RunLookup();
    } catch (...) {
      // Every failure reads the same to the user, whatever its cause.
      failed = true;
    }
    if (failed) {
      AppendLines(LookupErrorLines());
    } else {
      ShowMailServers();
      ShowHosts();
      ShowNameServers();
      ShowAliases();
    }
  }

  if (close_requested_) {
    close_requested_ = false;
    close();
  }
}

void TfrmMain::btnListaDNSClick() {
  TStringList servers;
  AppendLines({DnsServerListHeading()});
  services_.GetSystemDnsServers(servers);
  AppendLines(DnsServerLines(servers));
}

void TfrmMain::btnAcercaDeClick() {
  TfrmAcercaDe about(this);
  about.exec();
}

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (const std::exception& failure) {
    ShowException(failure);
    return false;
  }
}

void InitializeApplication(QApplication& application) {
  LoadArtwork();
  QApplication::setApplicationName(QString::fromLatin1(kApplicationTitle));
  QApplication::setApplicationVersion(QStringLiteral("1.0"));
  QApplication::setDesktopFileName(QStringLiteral("pellamar"));
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256})
    icon.addFile(QStringLiteral(":/pellamar/icons/pellamar-%1.png").arg(size), QSize(size, size));
  application.setWindowIcon(icon);
}

void ShowException(const std::exception& failure) {
  QMessageBox::critical(QApplication::activeWindow(), QApplication::applicationName(),
                        QString::fromStdString(failure.what()));
}

int PellamarMain(int argc, char** argv) {
  TApplication application(argc, argv);
  InitializeApplication(application);
  TQtWaiterInstallation waiter;
  std::unique_ptr<TfrmMain> frmMain;
  try {
    frmMain = std::make_unique<TfrmMain>();
  } catch (const std::exception& failure) {
    ShowException(failure);
    return 1;
  }
  frmMain->show();
  return application.exec();
}
