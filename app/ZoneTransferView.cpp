#include "app/ZoneTransferView.h"

#include <QAction>
#include <QApplication>
#include <QFile>
#include <QFileDialog>
#include <QLabel>
#include <QSettings>
#include <QTemporaryFile>
#include <fstream>

#include "app/FormLayout.h"
#include "app/WindowTexts.h"
#include "cli/DigText.h"
#include "dns/zvDnsTransfer.h"

namespace {

constexpr const char* kKeyGroup = "TsigKeys";

QSettings Settings() {
  return QSettings(QStringLiteral("Pellamar"), QStringLiteral("pellamar"));
}

QString Text(const char* text) {
  return QString::fromUtf8(text);
}

// The records as zone-file lines: in memory while they fit the pane, then into a scratch
// file from the first line on.
class TZoneLines : public TzvDnsTransferVisitor {
 public:
  TZoneLines(QLabel& progress, const QString& zone) : progress_(progress), zone_(zone) {}

  void OnRecord(const TzvDnsRecord& record, TzvXfrPart) override {
    std::string line = DigRecordLine(record, display_);
    if (++records_ <= kZonePaneRecords) {
      lines_.push_back(std::move(line));
      return;
    }
    if (!spill_) {
      spill_ = std::make_unique<QTemporaryFile>();
      if (!spill_->open()) throw Exception("Cannot write the zone to a scratch file");
      for (const std::string& kept : lines_) Write(kept);
      lines_.clear();
      lines_.shrink_to_fit();
    }
    Write(line);
  }
  void OnMessage(std::int64_t, std::int64_t records) override {
    progress_.setText(Text(zvWindowTexts::kZoneProgress).arg(zone_).arg(records));
  }

  std::int64_t Records() const { return records_; }
  std::vector<std::string>& Lines() { return lines_; }
  QTemporaryFile* Spill() { return spill_.get(); }

 private:
  void Write(const std::string& line) {
    spill_->write(line.data(), static_cast<qint64>(line.size()));
    spill_->write("\n", 1);
  }

  QLabel& progress_;
  QString zone_;
  TDigDisplay display_;
  std::int64_t records_ = 0;
  std::vector<std::string> lines_;
  std::unique_ptr<QTemporaryFile> spill_;
};

}  // namespace

TZoneTransferView::TZoneTransferView(QWidget* window) : window_(window) {
  ChooseSaveFile = [this](const QString& title) {
    return QFileDialog::getSaveFileName(window_, title, QString(),
                                        Text(zvWindowTexts::kZoneSaveFilter));
  };
  ChooseKeyFile = [this](const QString& title) {
    return QFileDialog::getOpenFileName(window_, title, QString(),
                                        Text(zvWindowTexts::kZoneKeyFilter));
  };
}

TZoneTransferView::~TZoneTransferView() = default;

std::vector<std::string> TZoneTransferView::Run(TDnsLookup& lookup, const std::string& zone,
                                                QLabel& progress) {
  TZoneLines lines(progress, QString::fromStdString(zone));
  lookup.TransferZone(zone, lines);
  std::vector<std::string> pane = {zvWindowTexts::kZoneHeading};
  if (lines.Spill() == nullptr) {
    for (std::string& line : lines.Lines()) pane.push_back(std::move(line));
  } else {
    QTemporaryFile& spill = *lines.Spill();
    spill.flush();
    const QString count = QString::number(lines.Records());
    const QString path = ChooseSaveFile(Text(zvWindowTexts::kZoneSaveTitle).arg(count));
    bool saved = false;
    if (!path.isEmpty()) {
      QFile::remove(path);
      saved = spill.copy(path);
    }
    pane.push_back((saved ? Text(zvWindowTexts::kZoneSaved).arg(count, path)
                          : Text(zvWindowTexts::kZoneNotSaved).arg(count))
                       .toStdString());
  }
  pane.emplace_back();
  return pane;
}

QString TZoneTransferView::KeyFileOf(const std::string& server) const {
  QSettings settings = Settings();
  settings.beginGroup(QString::fromLatin1(kKeyGroup));
  return settings.value(QString::fromStdString(server).toUtf8().toHex()).toString();
}

std::shared_ptr<const TzvTsigKey> TZoneTransferView::KeyFor(const std::string& server) const {
  const QString path = KeyFileOf(server);
  if (path.isEmpty()) return nullptr;
  return std::make_shared<const TzvTsigKey>(ReadTsigKeyFile(path.toStdString()));
}

void TZoneTransferView::ChooseKey(const std::string& server) {
  const QString path =
      ChooseKeyFile(Text(zvWindowTexts::kZoneKeyTitle).arg(QString::fromStdString(server)));
  // Read once now: a file that holds no key is refused at once, not at the next lookup.
  if (!path.isEmpty()) ReadTsigKeyFile(path.toStdString());
  QSettings settings = Settings();
  settings.beginGroup(QString::fromLatin1(kKeyGroup));
  // The server's text as a key of its own, whatever characters it holds.
  const QString key = QString::fromStdString(server).toUtf8().toHex();
  if (path.isEmpty())
    settings.remove(key);
  else
    settings.setValue(key, path);
}

QAction* TZoneTransferView::MakeKeyAction(std::function<void()> choose) {
  auto* action = MakeChild<QAction>(window_);
  action->setText(Text(zvWindowTexts::kZoneKeyAction));
  action->setObjectName(QStringLiteral("actTsigKey"));
  action->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_K));
  action->setShortcutContext(Qt::WindowShortcut);
  QObject::connect(action, &QAction::triggered, window_, std::move(choose));
  return action;
}
