// The window's zone transfers: the AXFR entry of the type list runs one through the
// lookup, its records going into the pane under a heading of their own, the count in
// the status bar while they come (Escape stops it as it stops any lookup). A zone of
// more than kZonePaneRecords records is not put in the pane: it is kept in a scratch file
// while it comes and offered for saving at the end, so memory stays flat. The TSIG key
// files chosen for servers (one a server, remembered between runs) sign every question
// the window sends them.
#pragma once

#include <QString>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "app/DnsLookup.h"
#include "dns/zvDnsTsig.h"

class QAction;
class QLabel;
class QWidget;

inline constexpr std::int64_t kZonePaneRecords = 10000;

class TZoneTransferView {
 public:
  explicit TZoneTransferView(QWidget* window);
  ~TZoneTransferView();

  // Where a large zone is saved, asked with a file dialog; empty: not saved. Tests
  // replace it.
  std::function<QString(const QString& title)> ChooseSaveFile;
  // The key file for a server, asked with a file dialog; empty: none. Tests replace it.
  std::function<QString(const QString& title)> ChooseKeyFile;

  // Runs the transfer of `zone`, the count in `progress`; the lines for the pane, heading
  // first. Fails as the lookup fails (its records then are not shown).
  std::vector<std::string> Run(TDnsLookup& lookup, const std::string& zone, QLabel& progress);

  // The key remembered for `server`, read from its file; null without one. A file that
  // cannot be read fails, naming it.
  std::shared_ptr<const TzvTsigKey> KeyFor(const std::string& server) const;
  // Asks for the key file of `server` and remembers it (an empty choice forgets it).
  void ChooseKey(const std::string& server);
  QString KeyFileOf(const std::string& server) const;
  // "Clave TSIG del servidor..." (Ctrl+Shift+K), which runs `choose`; owned by the window.
  QAction* MakeKeyAction(std::function<void()> choose);

 private:
  QWidget* window_;
};
