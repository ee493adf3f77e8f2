// What the window remembers between runs: its form (server, port, time-out, query type,
// the DNSSEC box), its geometry and the servers that answered lately. Kept with QSettings
// under organization "Pellamar", application "pellamar" (~/.config/Pellamar/pellamar.conf).
// A missing or unreadable file gives nothing, and a value that does not fit its field
// (a port "abc") is dropped on reading, so the window starts with its defaults instead.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <optional>

inline constexpr int kMostRecentServers = 10;

struct TFormSettings {
  std::optional<QString> Server;
  std::optional<QString> Port;
  std::optional<QString> TimeOut;
  std::optional<QString> QueryType;  // the type's name ("TXT"); the window checks it is listed
  std::optional<bool> Dnssec;
  std::optional<QString>
      Transport;              // "UDP", "TCP", "TLS" or "HTTPS"; the window checks it is listed
  QByteArray Geometry;        // as QWidget::saveGeometry gives it; empty for none
  QStringList RecentServers;  // most recent first, at most kMostRecentServers
};

TFormSettings LoadFormSettings();
void SaveFormSettings(const TFormSettings& settings);

// `recent` with `server` put first, any earlier copy of it removed (letter case aside), cut
// to kMostRecentServers.
QStringList WithRecentServer(QStringList recent, const QString& server);
