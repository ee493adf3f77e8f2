#include "app/main.h"

#include <QAbstractItemView>
#include <QAction>
#include <QCheckBox>
#include <QCloseEvent>
#include <QComboBox>
#include <QCompleter>
#include <QEventLoop>
#include <QFileDialog>
#include <QFrame>
#include <QGridLayout>
#include <QHBoxLayout>
#include <QIcon>
#include <QKeyEvent>
#include <QLabel>
#include <QLibraryInfo>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QMouseEvent>
#include <QPainter>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QSaveFile>
#include <QScreen>
#include <QScrollBar>
#include <QShortcut>
#include <QShowEvent>
#include <QStatusBar>
#include <QStringListModel>
#include <QStyle>
#include <QStyleOptionFrame>
#include <QTextBlock>
#include <QTextCursor>
#include <QTime>
#include <QToolBar>
#include <QTranslator>
#include <QVBoxLayout>
#include <algorithm>
#include <atomic>
#include <cstdint>
#include <exception>
#include <thread>

#include "app/BatchView.h"
#include "app/ChainView.h"
#include "app/FormLayout.h"
#include "app/FormSettings.h"
#include "app/QtThreadWaiter.h"
#include "app/TraceView.h"
#include "app/WindowTexts.h"
#include "app/ZoneTransferView.h"
#include "app/frmAcercaDeUnit.h"
#include "base/ScopeExit.h"
#include "base/SysUtils.h"
#include "base/Version.h"
#include "cli/ResultText.h"
#include "cli/SeveralServers.h"
#include "dns/zvDnsRecordTypes.h"
#include "dns/zvDnssecGraph.h"
#include "net/zvSocketUtils.h"

using namespace frmMainLayout;

namespace {

// The name edtName offers at start; any name the user types replaces it.
constexpr const char* kDefaultName = "example.org";
constexpr const char* kDefaultServer = "192.168.0.1";
constexpr const char* kDefaultPort = "53";
constexpr const char* kDefaultTimeOut = "5";

// The transports cbTransport offers, with the port each one's servers listen on.
struct TTransportChoice {
  const char* Caption;
  TzvDnsTransport Transport;
  const char* Port;
};
constexpr TTransportChoice kTransports[] = {
    {"UDP", TzvDnsTransport::dtUdp, "53"},
    {"TCP", TzvDnsTransport::dtTcp, "53"},
    {"TLS", TzvDnsTransport::dtTls, "853"},
    {"HTTPS", TzvDnsTransport::dtHttps, "443"},
};

// The query types cbNameType offers, in the order of its entries, with the lookup each
// one runs: the list and the dispatch both come from this table.
struct TQueryType {
  const char* Caption;
  std::int32_t Type;
  // The lookup that gathers the type's result lists; null for the types whose records are
  // listed as the answer holds them, under the companion's headings.
  void (TDnsLookup::*Resolve)(const std::string& name);
};
constexpr TQueryType kQueryTypes[] = {
    {"MX (servidores de correo)", kzvDnsTypeMX, &TDnsLookup::ResolveMX},
    {"A (direcciones IP)", kzvDnsTypeA, &TDnsLookup::ResolveIP},
    {"PTR (nombres de host)", kzvDnsTypePTR, &TDnsLookup::ResolveHostName},
    {"NS (nombres de servidores)", kzvDnsTypeNS, &TDnsLookup::ResolveNS},
    // After the four of the original window, whose indices stay as they were.
    {"AAAA (direcciones IPv6)", kzvDnsTypeAAAA, &TDnsLookup::ResolveAAAA},
    {"TXT (textos)", kzvDnsTypeTXT, nullptr},
    {"SOA (inicio de autoridad)", kzvDnsTypeSOA, nullptr},
    {"CNAME (nombre canónico)", kzvDnsTypeCNAME, nullptr},
    {"SRV (servicios)", kzvDnsTypeSRV, nullptr},
    {"CAA (emisores de certificados)", kzvDnsTypeCAA, nullptr},
    {"DS (firmantes delegados)", kzvDnsTypeDS, nullptr},
    {"DNSKEY (claves de zona)", kzvDnsTypeDNSKEY, nullptr},
    {"RRSIG (firmas)", kzvDnsTypeRRSIG, nullptr},
    {"NSEC (denegación firmada)", kzvDnsTypeNSEC, nullptr},
    {"NSEC3 (denegación con hash)", kzvDnsTypeNSEC3, nullptr},
    {"NSEC3PARAM (parámetros)", kzvDnsTypeNSEC3PARAM, nullptr},
    {"CDS (firmantes del hijo)", kzvDnsTypeCDS, nullptr},
    {"CDNSKEY (claves del hijo)", kzvDnsTypeCDNSKEY, nullptr},
    {"HTTPS (servicios web)", kzvDnsTypeHTTPS, nullptr},
    {"SVCB (enlaces de servicio)", kzvDnsTypeSVCB, nullptr},
    {"TLSA (certificados DANE)", kzvDnsTypeTLSA, nullptr},
    {"SSHFP (huellas SSH)", kzvDnsTypeSSHFP, nullptr},
    {"NAPTR (reescritura de nombres)", kzvDnsTypeNAPTR, nullptr},
    {"URI (direcciones URI)", kzvDnsTypeURI, nullptr},
    {"ANY (todos los registros)", kzvDnsTypeANY, nullptr},
    {zvWindowTexts::kZoneTypeCaption, kzvDnsTypeAXFR, nullptr},
};

// Asks `lookup` the question of the cbNameType entry `type` for `name`.
void AskQueryType(TDnsLookup& lookup, int type, const std::string& name) {
  if (kQueryTypes[type].Resolve != nullptr)
    (lookup.*kQueryTypes[type].Resolve)(name);
  else
    lookup.ResolveRecords(name, kQueryTypes[type].Type);
}

QLabel* MakeCaption(QWidget* parent, const char* name, const char* text, QWidget* field) {
  auto* label = MakeChild<QLabel>(parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setText(QString::fromUtf8(text));
  // Names the field for assistive tools; Alt with an underlined letter would focus it.
  label->setBuddy(field);
  return label;
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, const char* text) {
  auto* edit = MakeChild<QLineEdit>(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setFont(FixedFont());
  edit->setText(QString::fromUtf8(text));
  return edit;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const char* caption,
                        const char* picture) {
  auto* button = MakeChild<QPushButton>(parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setText(QString::fromUtf8(caption));
  button->setIcon(QIcon(QString::fromLatin1(picture)));
  button->setIconSize(QSize(kButtonPictureSize, kButtonPictureSize));
  // Enter in a field runs "&Resolver" through the window, not as a dialog's default
  // button would.
  button->setAutoDefault(false);
  button->setMinimumSize(kButtonWidth, kButtonHeight);
  return button;
}

// The width an edit needs to show `sample` whole, in its own font and style, with room
// for the text cursor after it.
int EditWidthFor(const QLineEdit& edit, const char* sample) {
  const QFontMetrics metrics(edit.font());
  const QMargins text = edit.textMargins();
  const QMargins contents = edit.contentsMargins();
  // QLineEdit keeps 2 pixels of its own on each side of the text.
  constexpr int kInnerMargins = 2 * 2;
  const QSize inside(metrics.horizontalAdvance(QString::fromLatin1(sample)) +
                         metrics.horizontalAdvance(QLatin1Char(' ')) + kInnerMargins + text.left() +
                         text.right() + contents.left() + contents.right(),
                     metrics.height());
  QStyleOptionFrame option;
  option.initFrom(&edit);
  option.lineWidth = edit.style()->pixelMetric(QStyle::PM_DefaultFrameWidth, &option, &edit);
  return edit.style()->sizeFromContents(QStyle::CT_LineEdit, &option, inside, &edit).width();
}

// The small arrow a drop-down list shows, drawn by the desktop's style in the field's
// colours, for the field's own drop-down of recent servers.
QIcon DropDownArrow(const QLineEdit& field) {
  const int size = field.style()->pixelMetric(QStyle::PM_SmallIconSize, nullptr, &field);
  QPixmap arrow(size, size);
  arrow.fill(Qt::transparent);
  QPainter painter(&arrow);
  QStyleOption option;
  option.initFrom(&field);
  option.rect = QRect(size / 4, size / 4, size / 2, size / 2);
  field.style()->drawPrimitive(QStyle::PE_IndicatorArrowDown, &option, &painter, &field);
  return QIcon(arrow);
}

std::string Text(const QLineEdit* edit) {
  return edit->text().toStdString();
}

// A number field's integer; a text that is none is refused in the window's words
// (`refusal` takes the text).
int FieldNumber(const std::string& text, const char* refusal) {
  try {
    return StrToInt(text);
  } catch (const EConvertError&) {
    throw EConvertError(Format(refusal, text.c_str()));
  }
}

// The time-out field holds seconds, the lookup takes milliseconds. A number of seconds
// whose milliseconds do not fit the lookup's 32-bit setting is refused like any other
// text that is not a usable integer, instead of wrapping round to a different time-out.
int TimeOutMilliseconds(const std::string& seconds_text) {
  const std::int64_t milliseconds =
      std::int64_t{FieldNumber(seconds_text, zvWindowTexts::kBadTimeOut)} * 1000;
  if (milliseconds > INT32_MAX || milliseconds < INT32_MIN)
    throw EConvertError(Format(zvWindowTexts::kBadTimeOut, seconds_text.c_str()));
  return static_cast<int>(milliseconds);
}

}  // namespace

TfrmMain::TfrmMain(TLookupServices services, QWidget* parent)
    : QMainWindow(parent),
      services_(std::move(services)),
      zone_view_(std::make_unique<TZoneTransferView>(this)) {
  LoadArtwork();
  setObjectName(QStringLiteral("frmMain"));
  setWindowTitle(QStringLiteral("Pellamar v1.0"));
  // A sizeable frame with a system menu and a minimise button, but no maximise button.
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  // The desktop's font and palette: nothing is set here that would override them.
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
  BuildWorkCommands();
  column->addWidget(Panel1);
  column->addWidget(memResult, 1);

  // Escape stops a lookup that waits, wherever the focus is.
  auto* stop = MakeChild<QShortcut>(this);
  stop->setKey(QKeySequence(Qt::Key_Escape));
  stop->setContext(Qt::WindowShortcut);
  connect(stop, &QShortcut::activated, this, &TfrmMain::StopLookup);

  // The first size is the one the window was drawn with, unless the desktop's fonts
  // need more; the layouts keep it from shrinking below what shows every control.
  resize(QSize(kClientWidth, kClientHeight).expandedTo(minimumSizeHint()));
  // Centred on the screen when first shown.
  if (const QScreen* screen = this->screen())
    move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry())
             .topLeft());

  FormCreate();
}

TfrmMain::~TfrmMain() {
  // The focus moves while the window's widgets are taken down, after this part of it is
  // gone.
  disconnect(focus_watch_);
}

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
  // Passed over by Tab; reached by the mouse or by F6, and left again by Tab.
  memResult->setFocusPolicy(Qt::ClickFocus);
  memResult->setTabChangesFocus(true);

  actFocusResult = MakeChild<QAction>(this);
  actFocusResult->setObjectName(QStringLiteral("actFocusResult"));
  actFocusResult->setText(QString::fromUtf8(zvWindowTexts::kFocusResult));
  actFocusResult->setShortcut(QKeySequence(Qt::Key_F6));
  actFocusResult->setShortcutContext(Qt::WindowShortcut);
  addAction(actFocusResult);
  connect(actFocusResult, &QAction::triggered, this,
          [this] { memResult->setFocus(Qt::ShortcutFocusReason); });
  actSaveResults = MakeChild<QAction>(this);
  actSaveResults->setObjectName(QStringLiteral("actSaveResults"));
  actSaveResults->setText(QString::fromUtf8(zvWindowTexts::kSaveResults));
  actSaveResults->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_S));
  actSaveResults->setShortcutContext(Qt::WindowShortcut);
  addAction(actSaveResults);
  connect(actSaveResults, &QAction::triggered, this,
          [this] { RunCommand([this] { SaveResultsAs(); }); });
  actClearResults = MakeChild<QAction>(this);
  actClearResults->setObjectName(QStringLiteral("actClearResults"));
  actClearResults->setText(QString::fromUtf8(zvWindowTexts::kClearResults));
  actClearResults->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_L));
  actClearResults->setShortcutContext(Qt::WindowShortcut);
  addAction(actClearResults);
  connect(actClearResults, &QAction::triggered, this, &TfrmMain::ClearResults);
  actTsigKey = zone_view_->MakeKeyAction(
      [this] { RunCommand([this] { zone_view_->ChooseKey(Text(edtDnsServer)); }); });
  addAction(actTsigKey);
  memResult->setToolTip(QString::fromUtf8(zvWindowTexts::kResultPaneTip));
  // The picture of the last DNSSEC verdict's chain of trust.
  actShowChain = MakeChild<QAction>(this);
  actShowChain->setObjectName(QStringLiteral("actShowChain"));
  actShowChain->setText(QString::fromUtf8(zvWindowTexts::kChainCommand));
  actShowChain->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_K));
  actShowChain->setShortcutContext(Qt::WindowShortcut);
  addAction(actShowChain);
  connect(actShowChain, &QAction::triggered, this, &TfrmMain::ShowChain);
  memResult->installEventFilter(this);
  memResult->viewport()->installEventFilter(this);
  memResult->setContextMenuPolicy(Qt::CustomContextMenu);
  connect(memResult, &QWidget::customContextMenuRequested, this, &TfrmMain::ShowResultMenu);
}

void TfrmMain::ShowResultMenu(const QPoint& position) {
  // The pane's own menu (copy, select all) with the way to reach it from the keyboard.
  std::unique_ptr<QMenu> menu(memResult->createStandardContextMenu(position));
  menu->addSeparator();
  menu->addAction(actFocusResult);
  menu->addAction(actSaveResults);
  menu->addAction(actClearResults);
  menu->addAction(actTsigKey);
  menu->addAction(actShowChain);
  menu->exec(memResult->viewport()->mapToGlobal(position));
}

void TfrmMain::BuildStatusBar() {
  StatusBar1 = MakeChild<QStatusBar>(this);
  StatusBar1->setObjectName(QStringLiteral("StatusBar1"));
  for (std::size_t i = 0; i < kStatusPanelWidths.size(); ++i) {
    auto* panel = MakeChild<QLabel>(StatusBar1);
    panel->setObjectName(QStringLiteral("StatusPanel%1").arg(i + 1));
    panel->setFrameShape(QFrame::Panel);
    panel->setFrameShadow(QFrame::Sunken);
    panel->setMinimumWidth(kStatusPanelWidths[i]);
    StatusPanels.push_back(panel);
  }
  // The result panel takes the spare width, and a long server name in it never widens
  // the window: its sizes do not count, the tooltip holds the whole text.
  StatusPanels[1]->setSizePolicy(QSizePolicy::Ignored, QSizePolicy::Preferred);
  for (std::size_t i = 0; i < StatusPanels.size(); ++i)
    StatusBar1->addWidget(StatusPanels[i], i == 1 ? 1 : 0);
  StatusPanels.front()->setText(QString::fromLatin1(kPellamarWebAddress));
  StatusPanels[kDnssecPanel]->hide();
  // A double click on the verdict opens its chain of trust.
  StatusPanels[kDnssecPanel]->installEventFilter(this);
  setStatusBar(StatusBar1);
}

void TfrmMain::BuildWorkCommands() {
  tbrWork = addToolBar(QString::fromUtf8(zvWindowTexts::kWorkToolBar));  // owned by the window
  tbrWork->setObjectName(QStringLiteral("tbrWork"));
  tbrWork->setMovable(false);
  tbrWork->setFloatable(false);
  tbrWork->setToolButtonStyle(Qt::ToolButtonTextBesideIcon);
  tbrWork->setIconSize(QSize(kButtonPictureSize, kButtonPictureSize));
  const auto command = [this](const char* name, const char* text, const char* tip,
                              QStyle::StandardPixmap picture, QKeySequence keys) {
    QAction* action = tbrWork->addAction(style()->standardIcon(picture), QString::fromUtf8(text));
    action->setObjectName(QString::fromLatin1(name));
    action->setShortcut(keys);
    action->setShortcutContext(Qt::WindowShortcut);
    action->setToolTip(QString::fromUtf8(tip) + QStringLiteral(" (") +
                       keys.toString(QKeySequence::NativeText) + QLatin1Char(')'));
    return action;
  };
  actTraza = command("actTraza", zvWindowTexts::kTraceCommand, zvWindowTexts::kTraceCommandTip,
                     QStyle::SP_ArrowDown, QKeySequence(Qt::CTRL | Qt::Key_T));
  actLote = command("actLote", zvWindowTexts::kBatchCommand, zvWindowTexts::kBatchCommandTip,
                    QStyle::SP_FileDialogDetailedView, QKeySequence(Qt::CTRL | Qt::Key_O));
  connect(actTraza, &QAction::triggered, this,
          [this] { RunCommand([this] { actTrazaExecute(); }); });
  connect(actLote, &QAction::triggered, this, [this] { RunCommand([this] { actLoteExecute(); }); });
}

void TfrmMain::BuildPanel() {
  Panel1 = MakeChild<QFrame>(this);
  Panel1->setObjectName(QStringLiteral("Panel1"));
  Panel1->setFrameShape(QFrame::NoFrame);
  Panel1->setSizePolicy(QSizePolicy::Preferred, QSizePolicy::Fixed);

  edtDnsServer = MakeEdit(Panel1, "edtDnsServer", kDefaultServer);
  recent_model_ = new QStringListModel(this);  // owned by the window
  RecentServerCompleter = new QCompleter(recent_model_, this);
  RecentServerCompleter->setObjectName(QStringLiteral("RecentServerCompleter"));
  RecentServerCompleter->setCaseSensitivity(Qt::CaseInsensitive);
  RecentServerCompleter->setFilterMode(Qt::MatchContains);
  edtDnsServer->setCompleter(RecentServerCompleter);
  actRecentServers =
      edtDnsServer->addAction(DropDownArrow(*edtDnsServer), QLineEdit::TrailingPosition);
  actRecentServers->setObjectName(QStringLiteral("actRecentServers"));
  actRecentServers->setToolTip(QString::fromUtf8(zvWindowTexts::kRecentServersTip));
  connect(actRecentServers, &QAction::triggered, this, [this] {
    RecentServerCompleter->setCompletionPrefix(QString());
    RecentServerCompleter->complete();
  });
  // The list is placed where it covers no field, and closes on Escape and as soon as the
  // focus leaves the server field: left open, it would take what is typed elsewhere into
  // the server field.
  RecentServerCompleter->popup()->installEventFilter(this);
  RecentServerCompleter->popup()->setAttribute(Qt::WA_NoMouseReplay);
  focus_watch_ = connect(qApp, &QApplication::focusChanged, this, [this](QWidget*, QWidget* now) {
    QAbstractItemView* popup = RecentServerCompleter->popup();
    if (popup->isVisible() && now != edtDnsServer && now != popup) popup->hide();
  });
  edtName = MakeEdit(Panel1, "edtName", kDefaultName);
  cbNameType = MakeChild<QComboBox>(Panel1);
  cbNameType->setObjectName(QStringLiteral("cbNameType"));
  cbNameType->setEditable(false);
  // Wide enough for its longest entry, whatever entries it is given.
  cbNameType->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  for (const TQueryType& type : kQueryTypes) cbNameType->addItem(QString::fromUtf8(type.Caption));
  cbNameType->setCurrentIndex(0);
  edtPort = MakeEdit(Panel1, "edtPort", kDefaultPort);
  edtPort->setFixedWidth(EditWidthFor(*edtPort, kPortSample));
  edtTimeOut = MakeEdit(Panel1, "edtTimeOut", kDefaultTimeOut);
  edtTimeOut->setFixedWidth(EditWidthFor(*edtTimeOut, kTimeOutSample));
  cbTransport = MakeChild<QComboBox>(Panel1);
  cbTransport->setObjectName(QStringLiteral("cbTransport"));
  cbTransport->setEditable(false);
  for (const TTransportChoice& choice : kTransports)
    cbTransport->addItem(QString::fromLatin1(choice.Caption));
  cbTransport->setToolTip(QString::fromUtf8(zvWindowTexts::kTransportTip));
  connect(cbTransport, &QComboBox::currentIndexChanged, this, [this](int index) {
    // The port follows the transport while it is the previous one's own; a port the
    // user typed stays.
    if (index < 0) return;
    if (edtPort->text() == QString::fromLatin1(kTransports[transport_].Port))
      edtPort->setText(QString::fromLatin1(kTransports[index].Port));
    transport_ = index;
  });
  chkDnssec = MakeChild<QCheckBox>(Panel1);
  chkDnssec->setObjectName(QStringLiteral("chkDnssec"));
  chkDnssec->setText(QStringLiteral("DNSSEC"));
  chkDnssec->setToolTip(QString::fromUtf8(zvWindowTexts::kDnssecTip));

  Label1 = MakeCaption(Panel1, "Label1", "Servidor DNS :", edtDnsServer);
  Label3 = MakeCaption(Panel1, "Label3", "Nombre a Resolver :", edtName);
  Label2 = MakeCaption(Panel1, "Label2", "Tipo de Consulta :", cbNameType);
  Label6 = MakeCaption(Panel1, "Label6", "Puerto :", edtPort);
  Label4 = MakeCaption(Panel1, "Label4", "TimeOut, s :", edtTimeOut);

  btnResolver = MakeButton(Panel1, "btnResolver", "&Resolver", ":/pellamar/buttons/resolver.png");
  btnListaDNS =
      MakeButton(Panel1, "btnListaDNS", "&Listar DNS", ":/pellamar/buttons/listar-dns.png");
  btnAcercaDe =
      MakeButton(Panel1, "btnAcercaDe", "&Acerca de..", ":/pellamar/buttons/acerca-de.png");

  // Captions right-aligned beside their fields; the query type, port and time-out share
  // a row; the buttons sit under them from the left. The two name fields and the query
  // list take the spare width, the number fields keep the width of what they hold.
  constexpr Qt::Alignment kCaption = Qt::AlignRight | Qt::AlignVCenter;
  auto* grid = MakeChild<QGridLayout>(Panel1);
  grid->setContentsMargins(kPanelMarginLeft, kPanelMarginTop, kPanelMarginRight,
                           kPanelMarginBottom);
  grid->setHorizontalSpacing(kPanelColumnGap);
  grid->setVerticalSpacing(kPanelRowGap);
  grid->addWidget(Label1, 0, 0, kCaption);
  auto* server = new QHBoxLayout;  // the grid takes it over below
  server->setSpacing(kPanelColumnGap);
  server->addWidget(edtDnsServer, 1);
  server->addWidget(cbTransport);
  grid->addLayout(server, 0, 1, 1, 5);
  grid->addWidget(Label3, 1, 0, kCaption);
  grid->addWidget(edtName, 1, 1, 1, 5);
  grid->addWidget(Label2, 2, 0, kCaption);
  auto* type = new QHBoxLayout;  // the grid takes it over below
  type->setSpacing(kPanelColumnGap);
  type->addWidget(cbNameType, 1);
  type->addWidget(chkDnssec);
  grid->addLayout(type, 2, 1);
  grid->addWidget(Label6, 2, 2, kCaption);
  grid->addWidget(edtPort, 2, 3);
  grid->addWidget(Label4, 2, 4, kCaption);
  grid->addWidget(edtTimeOut, 2, 5);
  grid->setColumnStretch(1, 1);
  auto* buttons = new QHBoxLayout;  // the grid takes it over below
  buttons->setSpacing(kButtonGap);
  buttons->addWidget(btnResolver);
  buttons->addWidget(btnListaDNS);
  buttons->addWidget(btnAcercaDe);
  buttons->addStretch(1);
  grid->addLayout(buttons, 3, 0, 1, 6);

  // Tab order 0 to 7.
  setTabOrder(edtDnsServer, cbTransport);
  setTabOrder(cbTransport, edtName);
  setTabOrder(edtName, cbNameType);
  setTabOrder(cbNameType, chkDnssec);
  setTabOrder(chkDnssec, edtPort);
  setTabOrder(edtPort, edtTimeOut);
  setTabOrder(edtTimeOut, btnResolver);
  setTabOrder(btnResolver, btnListaDNS);
  setTabOrder(btnListaDNS, btnAcercaDe);
  edtDnsServer->setFocus();

  // Enter in any field runs "&Resolver". A list without free text passes Enter on, so
  // the window watches it for the key.
  for (QLineEdit* field : {edtDnsServer, edtName, edtPort, edtTimeOut})
    connect(field, &QLineEdit::returnPressed, this, &TfrmMain::PressResolver);
  cbNameType->installEventFilter(this);
  cbTransport->installEventFilter(this);
  edtDnsServer->installEventFilter(this);
  chkDnssec->installEventFilter(this);

  connect(btnResolver, &QPushButton::clicked, this,
          [this] { RunCommand([this] { btnResolverClick(); }); });
  connect(btnListaDNS, &QPushButton::clicked, this,
          [this] { RunCommand([this] { btnListaDNSClick(); }); });
  connect(btnAcercaDe, &QPushButton::clicked, this,
          [this] { RunCommand([this] { btnAcercaDeClick(); }); });
}

void TfrmMain::PlaceRecentServers() {
  // Under the whole form, over the result pane, where nothing is typed; above the server
  // field when the screen has more room there. It keeps the server field's width, and its
  // height fits the room it is given.
  QAbstractItemView* popup = RecentServerCompleter->popup();
  const QScreen* screen = edtDnsServer->screen();
  if (screen == nullptr) return;
  const QRect available = screen->availableGeometry();
  const QPoint field = edtDnsServer->mapToGlobal(QPoint(0, 0));
  const int below = Panel1->mapToGlobal(QPoint(0, Panel1->height())).y();
  const int room_below = available.bottom() + 1 - below;
  const int room_above = field.y() - available.top();
  QRect place(QPoint(field.x(), below), popup->size());
  if (place.height() > room_below && room_above > room_below) {
    place.setHeight(std::min(place.height(), room_above));
    place.moveBottom(field.y() - 1);
  } else {
    place.setHeight(std::min(place.height(), std::max(room_below, 0)));
  }
  if (popup->geometry() != place) popup->setGeometry(place);
}

bool TfrmMain::RecentServersClickedOutside(const QMouseEvent& press) {
  QAbstractItemView* popup = RecentServerCompleter->popup();
  if (popup->rect().contains(press.position().toPoint())) return false;
  popup->hide();
  // The click that closed the list goes where it was aimed, as if the list had not been
  // open. (The completer would swallow it, and Qt's own replay of it depends on the
  // platform's grab, so it is off.)
  const QPointF global = press.globalPosition();
  const QPoint inside = mapFromGlobal(global.toPoint());
  QWidget* target = rect().contains(inside) ? childAt(inside) : nullptr;
  if (target == nullptr) return true;
  // Qt gives the focus on a click from the window system only: this one is handed on.
  for (QWidget* taker = target; taker != nullptr && taker != this; taker = taker->parentWidget())
    if (taker->isEnabled() && (taker->focusPolicy() & Qt::ClickFocus) == Qt::ClickFocus) {
      taker->setFocus(Qt::MouseFocusReason);
      break;
    }
  QMouseEvent replay(QEvent::MouseButtonPress, target->mapFromGlobal(global), global,
                     press.button(), press.buttons(), press.modifiers());
  QCoreApplication::sendEvent(target, &replay);
  return true;
}

bool TfrmMain::eventFilter(QObject* watched, QEvent* event) {
  if (watched == RecentServerCompleter->popup()) {
    switch (event->type()) {
      case QEvent::Show:
      case QEvent::Move:
      case QEvent::Resize:
        // The completer puts its list under the field, on the name field, each time the
        // list changes.
        PlaceRecentServers();
        break;
      case QEvent::ShortcutOverride:
        // Escape is the window's shortcut for stopping a lookup, which would take the key
        // before the list could see it.
        if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
          event->accept();
          return true;
        }
        break;
      case QEvent::KeyPress:
        if (static_cast<QKeyEvent*>(event)->key() == Qt::Key_Escape) {
          RecentServerCompleter->popup()->hide();
          return true;
        }
        break;
      case QEvent::MouseButtonPress:
        return RecentServersClickedOutside(*static_cast<QMouseEvent*>(event));
      default:
        break;
    }
  }
  if (watched == edtDnsServer && event->type() == QEvent::KeyPress &&
      static_cast<QKeyEvent*>(event)->key() == Qt::Key_Down &&
      !RecentServerCompleter->popup()->isVisible()) {
    actRecentServers->trigger();
    return true;
  }
  if (watched == StatusPanels[kDnssecPanel] && event->type() == QEvent::MouseButtonDblClick) {
    ShowChain();
    return true;
  }
  if (watched == memResult->viewport() && event->type() == QEvent::MouseButtonDblClick) {
    const QPoint at = static_cast<QMouseEvent*>(event)->position().toPoint();
    if (TakeListedServer(memResult->cursorForPosition(at).block())) return true;
  }
  if (watched == memResult && event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if ((key == Qt::Key_Return || key == Qt::Key_Enter) &&
        TakeListedServer(memResult->textCursor().block()))
      return true;
  }
  if ((watched == cbNameType || watched == cbTransport || watched == chkDnssec) &&
      event->type() == QEvent::KeyPress) {
    const int key = static_cast<QKeyEvent*>(event)->key();
    if (key == Qt::Key_Return || key == Qt::Key_Enter) {
      PressResolver();
      return true;
    }
  }
  return QMainWindow::eventFilter(watched, event);
}

void TfrmMain::PressResolver() {
  // Pressed the way Alt+R presses it: shown pressed for a moment, the focus left alone.
  if (btnResolver->isEnabled()) btnResolver->animateClick();
}

void TfrmMain::FormCreate() {
  FDnsQuery = services_.CreateLookup();
  // The result pane already fills the client area between the panel and the status bar.
  RestoreForm();
}

void TfrmMain::RestoreForm() {
  const TFormSettings form = LoadFormSettings();
  if (form.Server) edtDnsServer->setText(*form.Server);
  if (form.Port) edtPort->setText(*form.Port);
  if (form.TimeOut) edtTimeOut->setText(*form.TimeOut);
  if (form.QueryType)
    for (std::size_t i = 0; i < std::size(kQueryTypes); ++i)
      if (form.QueryType->compare(QString::fromStdString(DnsTypeText(kQueryTypes[i].Type)),
                                  Qt::CaseInsensitive) == 0)
        cbNameType->setCurrentIndex(static_cast<int>(i));
  if (form.Dnssec) chkDnssec->setChecked(*form.Dnssec);
  if (form.Transport)
    for (std::size_t i = 0; i < std::size(kTransports); ++i)
      if (*form.Transport == QString::fromLatin1(kTransports[i].Caption)) {
        // The remembered port stays as it was, whatever the transport's own.
        transport_ = static_cast<int>(i);
        const QSignalBlocker quiet(cbTransport);
        cbTransport->setCurrentIndex(static_cast<int>(i));
      }
  if (!form.Geometry.isEmpty() && restoreGeometry(form.Geometry)) {
    FitIntoScreen();
    fit_when_shown_ = true;
  }
  recent_servers_ = form.RecentServers;
  recent_model_->setStringList(recent_servers_);
}

void TfrmMain::FitIntoScreen() {
  // A geometry saved on a larger screen, or written into the file by anyone, may be
  // bigger than any screen (a window of 60,000 pixels square would take gigabytes): the
  // window is fitted into the free part of the screen it lands on, or of its own screen
  // when it lands on none, keeping the size that shows every control.
  const QRect frame = frameGeometry();
  const QScreen* screen = QGuiApplication::screenAt(frame.center());
  if (screen == nullptr) screen = this->screen();
  if (screen == nullptr) return;
  const QRect available = screen->availableGeometry();
  const QSize border = frame.size() - size();
  resize(size().boundedTo(available.size() - border).expandedTo(minimumSizeHint()));
  const QSize outer = size() + border;
  move(std::clamp(frame.x(), available.left(),
                  std::max(available.left(), available.right() + 1 - outer.width())),
       std::clamp(frame.y(), available.top(),
                  std::max(available.top(), available.bottom() + 1 - outer.height())));
}

void TfrmMain::SaveForm() const {
  TFormSettings form;
  form.Server = edtDnsServer->text();
  form.Port = edtPort->text();
  form.TimeOut = edtTimeOut->text();
  const int type = cbNameType->currentIndex();
  if (type >= 0 && type < static_cast<int>(std::size(kQueryTypes)))
    form.QueryType = QString::fromStdString(DnsTypeText(kQueryTypes[type].Type));
  form.Dnssec = chkDnssec->isChecked();
  form.Transport = cbTransport->currentText();
  form.Geometry = saveGeometry();
  form.RecentServers = recent_servers_;
  SaveFormSettings(form);
}

void TfrmMain::RememberServer() {
  recent_servers_ = WithRecentServer(recent_servers_, edtDnsServer->text());
  recent_model_->setStringList(recent_servers_);
}

bool TfrmMain::TakeListedServer(const QTextBlock& block) {
  // A line " - X" belongs to a listing when the first line above it that is not of that
  // form is the listing's heading (the error lines start with " - " too).
  const QString prefix = QStringLiteral(" - ");
  if (!block.isValid() || !block.text().startsWith(prefix)) return false;
  QTextBlock above = block.previous();
  while (above.isValid() && above.text().startsWith(prefix)) above = above.previous();
  if (!above.isValid() || above.text().toStdString() != DnsServerListHeading()) return false;
  // A server on another port is listed as "ADDRESS -p PORT": each goes to its field.
  QString server = block.text().mid(prefix.size());
  const QString port_mark = QStringLiteral(" -p ");
  if (const qsizetype at = server.indexOf(port_mark); at >= 0) {
    edtPort->setText(server.mid(at + port_mark.size()));
    server.truncate(at);
  }
  edtDnsServer->setText(server);
  edtDnsServer->setFocus(Qt::OtherFocusReason);
  return true;
}

QString TfrmMain::SaveResults(const QString& path) const {
  QSaveFile file(path);
  if (!file.open(QIODevice::WriteOnly | QIODevice::Text)) return file.errorString();
  std::size_t next_header = 0;
  const auto headers_before = [&](int line) {
    for (; next_header < block_headers_.size() && block_headers_[next_header].first <= line;
         ++next_header)
      file.write(QByteArray::fromStdString(block_headers_[next_header].second + "\n"));
  };
  int line = 0;
  for (QTextBlock block = memResult->document()->begin(); block.isValid() && line < result_lines_;
       block = block.next(), ++line) {
    headers_before(line);
    file.write(block.text().toUtf8() + '\n');
  }
  headers_before(result_lines_);
  // Each lookup's outcome as the status bar showed it, which the next lookup replaces
  // there: below everything, so that the lines above read as the pane does.
  for (const std::string& outcome : saved_outcomes_)
    file.write(QByteArray::fromStdString(outcome + "\n"));
  if (!file.commit()) return file.errorString();
  return QString();
}

void TfrmMain::SaveResultsAs() {
  const QString path =
      QFileDialog::getSaveFileName(this, QString::fromUtf8(zvWindowTexts::kSaveDialogTitle),
                                   QString::fromUtf8(zvWindowTexts::kSaveDialogFile),
                                   QString::fromUtf8(zvWindowTexts::kSaveDialogFilter));
  if (path.isEmpty()) return;
  const QString failure = SaveResults(path);
  if (!failure.isEmpty())
    QMessageBox::warning(this, QApplication::applicationName(),
                         QString::fromUtf8(zvWindowTexts::kSaveFailed).arg(path, failure));
}

void TfrmMain::ClearResults() {
  // The running lookup's lines are still to come below its place in the pane.
  if (lookup_running_) return;
  memResult->clear();
  result_lines_ = 0;
  block_headers_.clear();
  saved_outcomes_.clear();
}

bool TfrmMain::FormCloseQuery() {
  if (lookup_running_) {
    // Whoever closes the window wants no more of the answer: stop the wait rather than
    // keep the window open for as long as the time-out allows.
    close_requested_ = true;
    StopLookup();
    return false;
  }
  SaveForm();
  FDnsQuery.reset();
  return true;
}

void TfrmMain::showEvent(QShowEvent* event) {
  QMainWindow::showEvent(event);
  if (!fit_when_shown_ || event->spontaneous()) return;
  fit_when_shown_ = false;
  FitIntoScreen();
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
  actTraza->setEnabled(enabled);
  actLote->setEnabled(enabled);
}

void TfrmMain::AppendLines(const std::vector<std::string>& lines) {
  // One block per line. The pane is never cleared: new lines go below the old ones.
  QTextCursor cursor(memResult->document());
  cursor.movePosition(QTextCursor::End);
  // A forged answer's colour ends with its lines.
  cursor.setCharFormat(QTextCharFormat());
  for (const std::string& line : lines) {
    if (result_lines_ > 0) cursor.insertBlock();
    cursor.insertText(QString::fromStdString(line));
    ++result_lines_;
  }
  memResult->verticalScrollBar()->setValue(memResult->verticalScrollBar()->maximum());
}

void TfrmMain::NoteOutcome(int first_line) {
  const bool bogus = last_verdict_ == static_cast<int>(TzvDnssecVerdict::Bogus);
  if (bogus && result_lines_ > first_line) {
    QTextCursor lines(memResult->document()->findBlockByNumber(first_line));
    lines.movePosition(QTextCursor::End, QTextCursor::KeepAnchor);
    QTextCharFormat error;
    error.setForeground(VerdictColour(TzvDnssecVerdict::Bogus, memResult->palette()));
    lines.mergeCharFormat(error);
  }
  std::string outcome = block_headers_.empty() ? std::string("; ") : block_headers_.back().second;
  outcome += zvWindowTexts::kSavedOutcome + StatusPanels[1]->text().toStdString();
  if (!StatusPanels[2]->text().isEmpty())
    outcome += zvWindowTexts::kSavedTime + StatusPanels[2]->text().toStdString();
  if (last_verdict_) outcome += ", " + last_verdict_text_;
  saved_outcomes_.push_back(std::move(outcome));
}

void TfrmMain::ShowChain() {
  if (chain_view_ == nullptr) {
    chain_view_ = MakeChild<TChainView>(this);
    chain_view_->setWindowFlag(Qt::Window);
  }
  chain_view_->ShowGraph(last_graph_.get());
  chain_view_->show();
  chain_view_->raise();
  chain_view_->activateWindow();
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
  if (!FDnsQuery) throw Exception(zvWindowTexts::kWindowClosing);
  ConfigureLookup(*FDnsQuery, Text(edtDnsServer), chkDnssec->isChecked());
  const int type = SelectedQueryType();
  if (kQueryTypes[type].Type == kzvDnsTypeAXFR) {
    zone_lines_ = zone_view_->Run(*FDnsQuery, Text(edtName), *StatusPanels[1]);
    return;
  }
  AskQueryType(*FDnsQuery, type, Text(edtName));
}

void TfrmMain::ConfigureLookup(TDnsLookup& lookup, const std::string& server, bool dnssec) const {
  lookup.SetSettings(FormExchangeSettings(server, dnssec));
  lookup.SetStop(stop_);
}

TzvDnsExchangeSettings TfrmMain::FormExchangeSettings(const std::string& server,
                                                      bool dnssec) const {
  TzvDnsExchangeSettings settings;
  settings.Server = server;
  settings.Port = FieldNumber(Text(edtPort), zvWindowTexts::kBadPort);
  settings.TimeOut = TimeOutMilliseconds(Text(edtTimeOut));
  const int transport = cbTransport->currentIndex();
  settings.Transport = transport >= 0 ? kTransports[transport].Transport : TzvDnsTransport::dtUdp;
  // CD too: a validating resolver in the middle hands over what fails, for us to judge.
  settings.DnssecOK = settings.CheckingDisabled = dnssec;
  settings.Tsig = zone_view_->KeyFor(server);
  // DNS cookies over UDP and TCP, as the command line sends them by default.
  settings.SendCookie = true;
  return settings;
}

int TfrmMain::SelectedQueryType() {
  const int type = cbNameType->currentIndex();
  if (type < 0 || type >= static_cast<int>(std::size(kQueryTypes)))
    throw Exception(zvWindowTexts::kNoQueryType);
  running_type_ = type;
  return type;
}

void TfrmMain::StopLookup() {
  if (!lookup_running_) return;
  stop_->RequestStop();
  if (FDnsQuery) FDnsQuery->Abort();
  for (const auto& lookup : several_) lookup->Abort();
}

void TfrmMain::ShowWaiting() {
  StatusPanels[1]->setText(QString::fromStdString(DescribeWait(Text(edtDnsServer), Text(edtPort))));
  StatusPanels[1]->setToolTip(StatusPanels[1]->text());
  for (std::size_t i = 2; i < StatusPanels.size(); ++i) {
    StatusPanels[i]->clear();
    StatusPanels[i]->setToolTip(QString());
  }
  StatusPanels[kDnssecPanel]->hide();
}

void TfrmMain::ShowOutcome(const TLookupOutcome& outcome) {
  const std::string* texts[] = {&outcome.Result, &outcome.Time, &outcome.Transport};
  const QString details = QString::fromStdString(outcome.Details);
  for (std::size_t i = 1; i <= std::size(texts); ++i) {
    StatusPanels[i]->setText(QString::fromStdString(*texts[i - 1]));
    StatusPanels[i]->setToolTip(details);
  }
}

void TfrmMain::ShowDnssec() {
  QLabel* panel = StatusPanels[kDnssecPanel];
  panel->setStyleSheet(QString());
  panel->setText(QString::fromUtf8(zvWindowTexts::kDnssecChecking));
  panel->setToolTip(QString());
  panel->show();
  // The answer's AD bit, read before the chain of trust's own questions are asked.
  const bool resolver_authenticated = FDnsQuery->LastExchange().AuthenticData;
  const TzvDnssecResult result = FDnsQuery->CheckDnssec();
  const TDnssecOutcome verdict = DescribeDnssec(result, resolver_authenticated);
  last_verdict_ = static_cast<int>(result.Verdict);
  last_verdict_text_ = verdict.Text;
  // Nothing to draw (no trust anchor over the name, an error reply): the view still says
  // which verdict and why.
  last_graph_ = result.Graph ? result.Graph
                             : std::make_shared<const TzvDnssecGraph>(
                                   TzvDnssecGraph{{}, {}, {}, result.Verdict, result.Reason});
  panel->setText(QString::fromStdString(verdict.Text));
  panel->setToolTip(QString::fromStdString(verdict.Details) + QLatin1Char('\n') +
                    QString::fromUtf8(zvWindowTexts::kDnssecPanelHint));
  if (chain_view_) chain_view_->ShowGraph(last_graph_.get());
  // A forged answer is the one thing in the bar that must not be overlooked: white on red
  // in any theme, light or dark.
  panel->setProperty("alarm", verdict.Alarm);
  if (verdict.Alarm)
    panel->setStyleSheet(QStringLiteral(
        "QLabel { background-color: #c62828; color: white; font-weight: bold; padding: 0 4px; }"));
}

namespace {

// The servers of the server field: one, or several separated by spaces or commas.
std::vector<std::string> ServersOf(const std::string& text) {
  std::vector<std::string> servers;
  std::string server;
  for (const char c : text + ' ') {
    if (c == ' ' || c == ',' || c == '\t') {
      if (!server.empty()) servers.push_back(std::move(server));
      server.clear();
    } else {
      server += c;
    }
  }
  return servers;
}

}  // namespace

void TfrmMain::ResolveSeveral(const std::vector<std::string>& servers) {
  if (servers.size() > kMostServers)
    throw EConvertError(Format(zvWindowTexts::kTooManyServers, servers.size(), kMostServers));
  const int type = SelectedQueryType();
  const std::string name = Text(edtName);
  several_.clear();
  auto forget = ScopeExit([this] { several_.clear(); });
  for (const std::string& server : servers) {
    several_.push_back(services_.CreateLookup());
    ConfigureLookup(*several_.back(), server);
  }
  // The lookups wait in threads of their own, up to kServersAtOnce at a time, so a silent
  // server costs one time-out, not one each; the window handles its events meanwhile.
  // Escape stops those that wait, and those still waiting for a place are not asked.
  std::vector<std::exception_ptr> failures(servers.size());
  QEventLoop waiting;
  {
    const std::jthread asking([&] {
      AskEachServer(servers.size(), [&](std::size_t i) {
        try {
          if (stop_->StopRequested()) throw EzvSocketError("The lookup was stopped", kzvErrAborted);
          AskQueryType(*several_[i], type, name);
        } catch (...) {
          failures[i] = std::current_exception();
        }
      });
      QMetaObject::invokeMethod(
          &waiting, [&waiting] { waiting.quit(); }, Qt::QueuedConnection);
    });
    waiting.exec();
  }

  std::vector<TServerAnswer> answers;
  bool any_answer = false;
  for (std::size_t i = 0; i < servers.size(); ++i) {
    const TDnsLookup& lookup = *several_[i];
    AppendLines({zvWindowTexts::kServerBlock + EscapedName(servers[i])});
    if (failures[i]) {
      AppendLines(LookupErrorLines());
    } else if (kQueryTypes[type].Resolve != nullptr) {
      AppendLines(LookupResultLines(lookup.MailServers(), lookup.Hosts(), lookup.NameServers(),
                                    lookup.Aliases()));
    } else {
      AppendLines(RecordResultLines(lookup.Answers(), kQueryTypes[type].Type, lookup.Aliases()));
    }
    answers.push_back(ServerAnswerOf(servers[i], lookup.Response()));
    any_answer |= lookup.LastExchange().Answered;
  }
  TAgreementWords words;
  words.Agree = zvWindowTexts::kAnswersAgree;
  words.Differ = zvWindowTexts::kAnswersDiffer;
  words.Response = zvWindowTexts::kResponsesSideBySide;
  words.NoAnswer = zvWindowTexts::kNoAnswer;
  words.OnlyFrom = zvWindowTexts::kOnlyFrom;
  words.Serial = zvWindowTexts::kSerialsSideBySide;
  const std::vector<std::string> agreement = AgreementLines(answers, words);
  AppendLines(agreement);
  // The bar: the first server's exchange, and whether the servers agree.
  TLookupFailure first = ClassifyFailure(failures[0]);
  if (failures[0] && stop_->StopRequested()) first.Kind = TLookupFailureKind::kStopped;
  ShowOutcome(DescribeOutcome(several_[0]->LastExchange(), first));
  const bool agree = AnswersAgree(answers);
  StatusPanels[1]->setText(
      QString::fromUtf8(agree ? zvWindowTexts::kAgreeShort : zvWindowTexts::kDifferShort));
  QStringList details;
  for (const std::string& line : agreement) details << QString::fromStdString(line);
  StatusPanels[1]->setToolTip(details.join(QLatin1Char('\n')));
  if (any_answer) RememberServer();
}

void TfrmMain::btnResolverClick() {
  if (lookup_running_) return;
  // While the lookup waits, Qt keeps handling this window's events. The commands are
  // off until it returns, and a close asked for meanwhile is held back until then, so
  // nothing uses or frees the lookup in the middle of it.
  //
  // A command button that has the focus (the one just clicked) would hand it on to the
  // next field when it is disabled, and whatever is typed during the lookup would land
  // there: the focus is put down instead, and given back to the button afterwards
  // unless the user has picked a field in the meantime.
  QPointer<QWidget> focused = focusWidget();
  const bool focusOnCommand =
      focused == btnResolver || focused == btnListaDNS || focused == btnAcercaDe;
  if (focusOnCommand) focused->clearFocus();

  lookup_running_ = true;
  // A stop belongs to the lookup it was asked for.
  stop_->Reset();
  SetCommandsEnabled(false);
  QApplication::setOverrideCursor(Qt::BusyCursor);
  {
    auto done = ScopeExit([&] {
      QApplication::restoreOverrideCursor();
      lookup_running_ = false;
      SetCommandsEnabled(true);
      if (focusOnCommand && focused && focusWidget() == nullptr)
        focused->setFocus(Qt::OtherFocusReason);
    });
    ShowWaiting();
    last_verdict_.reset();
    const int first_line = result_lines_;
    // The saved file names each lookup's question above its lines; the pane keeps its
    // own format.
    const int type = cbNameType->currentIndex();
    block_headers_.emplace_back(
        result_lines_, "; " +
                           (type >= 0 && type < static_cast<int>(std::size(kQueryTypes))
                                ? DnsTypeText(kQueryTypes[type].Type)
                                : std::string("?")) +
                           " " + EscapedName(Text(edtName)) + " @" +
                           EscapedName(Text(edtDnsServer)) + ", " +
                           QTime::currentTime().toString(QStringLiteral("HH:mm:ss")).toStdString());
    const std::vector<std::string> servers = ServersOf(Text(edtDnsServer));
    if (servers.size() > 1) {
      try {
        ResolveSeveral(servers);
      } catch (...) {
        // Turned away before anything was asked (a field that does not fit).
        ShowOutcome(DescribeOutcome({}, ClassifyFailure(std::current_exception())));
        AppendLines(LookupErrorLines());
      }
    } else {
      std::exception_ptr failure;
      try {
        RunLookup();
      } catch (...) {
        failure = std::current_exception();
      }
      TLookupFailure sorted = ClassifyFailure(failure);
      if (failure && stop_->StopRequested()) sorted.Kind = TLookupFailureKind::kStopped;
      // A lookup turned away before it started (its fields) exchanged nothing: the last
      // exchange on record is an older lookup's.
      const TzvDnsExchangeInfo exchange = FDnsQuery && sorted.Kind != TLookupFailureKind::kInput
                                              ? FDnsQuery->LastExchange()
                                              : TzvDnsExchangeInfo{};
      ShowOutcome(DescribeOutcome(exchange, sorted));
      // A denial (NXDOMAIN) is judged as well as an answer: its proof is signed too.
      const bool judged = sorted.Kind == TLookupFailureKind::kNone ||
                          (sorted.Kind == TLookupFailureKind::kDns && exchange.Answered &&
                           exchange.ResponseCode == kzvDnsResponseNameError);
      if (sorted.Kind == TLookupFailureKind::kNone || exchange.Answered) RememberServer();
      if (chkDnssec->isChecked() && judged && FDnsQuery) ShowDnssec();
      // The connection the lookup and its check shared is not kept past them.
      if (FDnsQuery) FDnsQuery->CloseSessions();
      if (failure) {
        // Every failure reads the same in the pane, whatever its cause; the status bar
        // tells them apart.
        AppendLines(LookupErrorLines());
      } else if (kQueryTypes[running_type_].Type == kzvDnsTypeAXFR) {
        AppendLines(zone_lines_);
        zone_lines_.clear();
      } else if (kQueryTypes[running_type_].Resolve != nullptr) {
        ShowMailServers();
        ShowHosts();
        ShowNameServers();
        ShowAliases();
      } else {
        AppendLines(RecordResultLines(FDnsQuery->Answers(), kQueryTypes[running_type_].Type,
                                      FDnsQuery->Aliases()));
      }
    }
    NoteOutcome(first_line);
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

void TfrmMain::actTrazaExecute() {
  if (trace_view_ == nullptr) trace_view_ = new TTraceView(this);  // owned by the window
  TTraceRequest request;
  request.Type = kQueryTypes[SelectedQueryType()].Type;
  request.Name = TzvDnsQuery::NameAsked(Text(edtName), request.Type);
  request.Dnssec = chkDnssec->isChecked();
  request.Settings = FormExchangeSettings(std::string(), request.Dnssec);
  request.Resolvers = ServersOf(Text(edtDnsServer));
  trace_view_->Start(request);
  trace_view_->show();
  trace_view_->raise();
  trace_view_->activateWindow();
}

void TfrmMain::actLoteExecute() {
  const QString path =
      QFileDialog::getOpenFileName(this, QString::fromUtf8(zvWindowTexts::kBatchOpenTitle),
                                   QString(), QString::fromUtf8(zvWindowTexts::kBatchOpenFilter));
  if (!path.isEmpty()) StartBatch(path);
}

void TfrmMain::StartBatch(const QString& path) {
  if (batch_view_ == nullptr) batch_view_ = new TBatchView(this);  // owned by the window
  TBatchRequest request;
  request.Path = path.toStdString();
  request.DefaultType = kQueryTypes[SelectedQueryType()].Type;
  request.Settings = FormExchangeSettings(Text(edtDnsServer), false);
  batch_view_->Start(request);
  batch_view_->show();
  batch_view_->raise();
  batch_view_->activateWindow();
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
  QApplication::setApplicationVersion(QString::fromLatin1(kPellamarVersion));
  QApplication::setDesktopFileName(QStringLiteral("pellamar"));
  QIcon icon;
  for (int size : {16, 24, 32, 48, 64, 128, 256})
    icon.addFile(QStringLiteral(":/pellamar/icons/pellamar-%1.png").arg(size), QSize(size, size));
  application.setWindowIcon(icon);
  // Qt's own words (the file dialog's and the message boxes' buttons) in Spanish too, from
  // Qt's translations when they are installed (qt6-translations-l10n); English without.
  static QTranslator qt_words;
  static const bool qt_words_loaded = qt_words.load(
      QStringLiteral("qtbase_es"), QLibraryInfo::path(QLibraryInfo::TranslationsPath));
  if (qt_words_loaded) QCoreApplication::installTranslator(&qt_words);
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
