// pellamar-screenshot: draws the main window after an MX lookup of pellamar.test into a
// PNG file (and, given a second file, the about box into that), for the README. Run by
// scripts/screenshot.sh on Qt's offscreen platform or under Xvfb. Inside the test
// network namespace the lookup is a real one against the loopback test server on
// 127.0.0.1; anywhere else a built-in copy of that server's answer stands in, so the
// picture never depends on a network. --dark draws both with a dark desktop theme.
// --dnssec NAME draws an A lookup of NAME with the DNSSEC box on instead, asked of the
// signed test tree's resolver (127.0.0.53) with the tree's own root key; --txt NAME a TXT
// lookup of NAME, after an MX one. Both only inside the test namespace, where the servers
// run. --chain NAME draws, after the same lookup as --dnssec, the window of its chain of
// trust instead of the main window.
// --trace NAME draws the trace view after "Traza" of NAME's A records with DNSSEC, its root
// servers primed from the signed tree's resolver; --batch draws the batch view part of
// the way through 100,000 names of the batch zone (127.0.0.4). Both only inside the test
// namespace too.
//   pellamar-screenshot [--dark] [--dnssec NAME | --chain NAME | --txt NAME | --trace NAME |
//                       --batch] WINDOW.png [ABOUT.png]
#include <QCheckBox>
#include <QComboBox>
#include <QElapsedTimer>
#include <QGraphicsScene>
#include <QLineEdit>
#include <QPalette>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QTreeWidget>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>

#include "app/BatchView.h"
#include "app/ChainView.h"
#include "app/DnsLookup.h"
#include "app/QtThreadWaiter.h"
#include "app/TraceView.h"
#include "app/frmAcercaDeUnit.h"
#include "app/main.h"

namespace {

// What the loopback test server answers for "MX pellamar.test".
class TSampleLookup : public TDnsLookup {
 public:
  void SetSettings(const TzvDnsExchangeSettings&) override {}
  void ResolveMX(const std::string&) override {
    AddMail("mail1.pellamar.test", 10, "127.0.0.11");
    AddMail("mail2.pellamar.test", 20, "127.0.0.12");
    AddMail("mail3.pellamar.test", 10, "127.0.0.13");
    AddMail("nomail.pellamar.test", 5, "");
    AddHost("mail1.pellamar.test", "127.0.0.11");
    AddHost("mail2.pellamar.test", "127.0.0.12");
    AddHost("mail3.pellamar.test", "127.0.0.13");
    AddHost("ns1.pellamar.test", "127.0.0.1");
    AddHost("ns2.pellamar.test", "127.0.0.1");
    name_servers_.Add("ns1.pellamar.test");
    name_servers_.Add("ns2.pellamar.test");
  }
  void ResolveIP(const std::string&) override {}
  void ResolveHostName(const std::string&) override {}
  void ResolveNS(const std::string&) override {}
  TzvDnsExchangeInfo LastExchange() const override {
    TzvDnsExchangeInfo exchange;
    exchange.ServerAddress = "127.0.0.1";
    exchange.Port = 53;
    exchange.Answered = true;
    exchange.ResponseCode = 0;
    exchange.ElapsedMicroseconds = 1400;
    return exchange;
  }
  const TzvMailServerList& MailServers() const override { return mail_; }
  const TzvHostList& Hosts() const override { return hosts_; }
  const TStrings& NameServers() const override { return name_servers_; }
  const TStrings& Aliases() const override { return aliases_; }

 private:
  void AddMail(const char* name, int preference, const char* address) {
    auto item = std::make_unique<TzvMailServerInfo>();
    item->Name = name;
    item->Preference = preference;
    item->IPAddress = address;
    mail_.Add(std::move(item));
  }
  void AddHost(const char* name, const char* address) {
    auto item = std::make_unique<TzvHostInfo>();
    item->Name = name;
    item->IPAddress = address;
    hosts_.Add(std::move(item));
  }
  TzvMailServerList mail_;
  TzvHostList hosts_;
  TStrings name_servers_;
  TStrings aliases_;
};

bool RealLookupPossible() {
  const char* netns = std::getenv("PELLAMAR_NETNS");
  return netns != nullptr && std::strcmp(netns, "1") == 0;
}

// A dark desktop theme of the kind many Linux desktops offer; its link colour is the
// usual mid blue, too dark on this background, which the about box has to mend.
QPalette DarkPalette() {
  const QColor face(53, 53, 53), base(42, 42, 42), text(Qt::white), muted(128, 128, 128);
  QPalette palette;
  palette.setColor(QPalette::Window, face);
  palette.setColor(QPalette::WindowText, text);
  palette.setColor(QPalette::Base, base);
  palette.setColor(QPalette::AlternateBase, face);
  palette.setColor(QPalette::ToolTipBase, face);
  palette.setColor(QPalette::ToolTipText, text);
  palette.setColor(QPalette::Text, text);
  palette.setColor(QPalette::Button, face);
  palette.setColor(QPalette::ButtonText, text);
  palette.setColor(QPalette::BrightText, Qt::red);
  palette.setColor(QPalette::Link, QColor(42, 130, 218));
  palette.setColor(QPalette::Highlight, QColor(42, 130, 218));
  palette.setColor(QPalette::HighlightedText, Qt::black);
  palette.setColor(QPalette::PlaceholderText, muted);
  for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText})
    palette.setColor(QPalette::Disabled, role, muted);
  return palette;
}

}  // namespace

int main(int argc, char** argv) {
  int first = 1;
  const bool dark = argc > first && std::strcmp(argv[first], "--dark") == 0;
  if (dark) ++first;
  const char* dnssec_name = nullptr;
  const char* txt_name = nullptr;
  const char* several_name = nullptr;
  const char* https_name = nullptr;
  const char* trace_name = nullptr;
  bool batch = false;
  bool chain = false;
  if (argc > first + 1 && std::strcmp(argv[first], "--trace") == 0) {
    trace_name = argv[first + 1];
    first += 2;
  } else if (argc > first && std::strcmp(argv[first], "--batch") == 0) {
    batch = true;
    first += 1;
  } else if (argc > first + 1 && std::strcmp(argv[first], "--several") == 0) {
    several_name = argv[first + 1];
    first += 2;
  } else if (argc > first + 1 && std::strcmp(argv[first], "--https") == 0) {
    https_name = argv[first + 1];
    first += 2;
  } else if (argc > first + 1 && std::strcmp(argv[first], "--dnssec") == 0) {
    dnssec_name = argv[first + 1];
    first += 2;
  } else if (argc > first + 1 && std::strcmp(argv[first], "--chain") == 0) {
    dnssec_name = argv[first + 1];
    chain = true;
    first += 2;
  } else if (argc > first + 1 && std::strcmp(argv[first], "--txt") == 0) {
    txt_name = argv[first + 1];
    first += 2;
  }
  if (argc - first < 1 || argc - first > 2) {
    std::fprintf(stderr,
                 "usage: pellamar-screenshot [--dark] [--dnssec NAME | --chain NAME | --txt NAME | "
                 "--several NAME | --https NAME | --trace NAME | --batch] WINDOW.png "
                 "[ABOUT.png]\n");
    return 2;
  }
  TApplication application(argc, argv);
  InitializeApplication(application);
  if (dark) {
    QApplication::setStyle(QStringLiteral("Fusion"));
    QApplication::setPalette(DarkPalette());
  }
  TQtWaiterInstallation waiter;

  TLookupServices services = DefaultLookupServices();
  const bool real = RealLookupPossible();
  if ((dnssec_name != nullptr || txt_name != nullptr || several_name != nullptr ||
       https_name != nullptr || trace_name != nullptr || batch) &&
      !real) {
    std::fprintf(stderr,
                 "pellamar-screenshot: --dnssec, --txt, --several, --https, --trace and --batch "
                 "need the test namespace\n");
    return 2;
  }
  if (https_name != nullptr) {
    // The test servers' certificates come from the namespace's own CA.
    const char* run = std::getenv("PELLAMAR_NETNS_RUN");
    if (run != nullptr) setenv("SSL_CERT_FILE", (std::string(run) + "/tls/ca.pem").c_str(), 1);
  }
  if (dnssec_name != nullptr || trace_name != nullptr) {
    const char* run = std::getenv("PELLAMAR_NETNS_RUN");
    if (!real || run == nullptr) {
      std::fprintf(stderr, "pellamar-screenshot: --dnssec needs the test namespace\n");
      return 2;
    }
    setenv("PELLAMAR_TRUST_ANCHOR", (std::string(run) + "/dnssec/root.anchor").c_str(), 1);
  }
  if (!real)
    services.CreateLookup = [] {
      return std::unique_ptr<TDnsLookup>(std::make_unique<TSampleLookup>());
    };

  TfrmMain window(services);
  window.show();
  if (trace_name != nullptr || batch) {
    QWidget* view = nullptr;
    if (trace_name != nullptr) {
      window.edtDnsServer->setText("127.0.0.53");
      window.edtName->setText(QString::fromLocal8Bit(trace_name));
      window.cbNameType->setCurrentIndex(1);
      window.chkDnssec->setChecked(true);
      window.actTraza->trigger();
      TTraceView* trace = window.TraceWindow();
      while (trace->Running()) QApplication::processEvents(QEventLoop::WaitForMoreEvents, 50);
      view = trace;
    } else {
      // The batch zone's hosts twenty times over, caught a third of the way through.
      const std::string names = std::string(std::getenv("PELLAMAR_NETNS_RUN")) + "/shot-names";
      {
        std::ofstream file(names);
        for (int i = 0; i < 100000; ++i) file << 'h' << i % 5000 << ".batch.pellamar.test\n";
      }
      window.edtDnsServer->setText("127.0.0.4");
      window.cbNameType->setCurrentIndex(1);
      window.StartBatch(QString::fromStdString(names));
      TBatchView* table = window.BatchWindow();
      table->Table->sortByColumn(TBatchRowsModel::kTime, Qt::DescendingOrder);
      while (table->Running() && table->Progress->value() < 33000)
        QApplication::processEvents(QEventLoop::AllEvents, 5);
      view = table;
    }
    QApplication::processEvents();
    const bool saved = view->grab().save(QString::fromLocal8Bit(argv[first]), "PNG");
    if (!saved) std::fprintf(stderr, "pellamar-screenshot: cannot write %s\n", argv[first]);
    return saved ? 0 : 1;
  }
  if (dnssec_name != nullptr) {
    window.edtDnsServer->setText("127.0.0.53");
    window.edtName->setText(QString::fromLocal8Bit(dnssec_name));
    window.cbNameType->setCurrentIndex(1);
    window.chkDnssec->setChecked(true);
  } else if (several_name != nullptr) {
    // The batch zone's two copies, one change apart.
    window.edtDnsServer->setText("127.0.0.4, 127.0.0.5");
    window.edtName->setText(QString::fromLocal8Bit(several_name));
    window.cbNameType->setCurrentIndex(6);
  } else if (https_name != nullptr) {
    window.cbTransport->setCurrentText("HTTPS");
    window.edtDnsServer->setText("dns.pellamar.test");
    window.edtName->setText(QString::fromLocal8Bit(https_name));
    window.cbNameType->setCurrentIndex(5);
  } else if (txt_name != nullptr) {
    window.edtDnsServer->setText("127.0.0.1");
    window.edtName->setText("pellamar.test");
    window.cbNameType->setCurrentIndex(0);
    window.btnResolver->click();
    window.edtName->setText(QString::fromLocal8Bit(txt_name));
    window.cbNameType->setCurrentIndex(5);
  } else {
    window.edtDnsServer->setText("127.0.0.1");
    window.edtName->setText("pellamar.test");
    window.cbNameType->setCurrentIndex(0);
  }
  window.btnResolver->click();
  // The pane follows its newest line; the picture shows the answer from its top, or the
  // newest answer under the older one.
  if (txt_name == nullptr && several_name == nullptr)
    window.memResult->verticalScrollBar()->setValue(0);
  QApplication::processEvents();

  int status = 0;
  if (chain) {
    window.ShowChain();
    TChainView& view = *window.ChainView();
    // The whole picture at its own size, as far as a screen of 1280 × 1024 allows.
    const QSize picture = view.Scene()->sceneRect().size().toSize() + QSize(40, 80);
    view.resize(picture.boundedTo(QSize(1280, 1024)));
    QApplication::processEvents();
    if (picture.width() > 1280 || picture.height() > 1024)
      view.View()->fitInView(view.Scene()->sceneRect(), Qt::KeepAspectRatio);
    QApplication::processEvents();
    if (!view.grab().save(QString::fromLocal8Bit(argv[first]), "PNG")) {
      std::fprintf(stderr, "pellamar-screenshot: cannot write %s\n", argv[first]);
      return 1;
    }
    return 0;
  }
  if (!window.grab().save(QString::fromLocal8Bit(argv[first]), "PNG")) {
    std::fprintf(stderr, "pellamar-screenshot: cannot write %s\n", argv[first]);
    status = 1;
  }
  if (argc - first == 2) {
    TfrmAcercaDe about(&window);
    about.show();
    QApplication::processEvents();
    if (!about.grab().save(QString::fromLocal8Bit(argv[first + 1]), "PNG")) {
      std::fprintf(stderr, "pellamar-screenshot: cannot write %s\n", argv[first + 1]);
      status = 1;
    }
  }
  std::printf("pellamar-screenshot: %s lookup\n", real ? "real" : "sample");
  return status;
}
