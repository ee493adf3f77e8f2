#include "app/FormSettings.h"

#include <QSettings>
#include <QVariant>

namespace {

constexpr const char* kOrganization = "Pellamar";
constexpr const char* kApplication = "pellamar";

// What a server field may hold: something typed, of a sane length, without the control
// characters a hand-edited or corrupted file might carry.
bool FitsServer(const QString& text) {
  if (text.trimmed().isEmpty() || text.size() > 255) return false;
  for (const QChar c : text)
    if (c.category() == QChar::Other_Control || c.category() == QChar::Other_Format) return false;
  return true;
}

// Decimal digits only, with a value from `least` to `most`.
bool FitsNumber(const QString& text, long least, long most) {
  if (text.isEmpty() || text.size() > 10) return false;
  for (const QChar c : text)
    if (c < u'0' || c > u'9') return false;
  const long value = text.toLong();
  return value >= least && value <= most;
}

std::optional<QString> Text(const QSettings& settings, const char* key,
                            bool (*fits)(const QString&)) {
  const QVariant value = settings.value(QString::fromLatin1(key));
  if (!value.isValid() || !value.canConvert<QString>()) return std::nullopt;
  const QString text = value.toString();
  if (!fits(text)) return std::nullopt;
  return text;
}

}  // namespace

TFormSettings LoadFormSettings() {
  const QSettings settings(QString::fromLatin1(kOrganization), QString::fromLatin1(kApplication));
  TFormSettings form;
  if (settings.status() != QSettings::NoError) return form;
  form.Server = Text(settings, "form/server", FitsServer);
  form.Port = Text(settings, "form/port", [](const QString& t) { return FitsNumber(t, 1, 65535); });
  // Seconds whose milliseconds still fit the lookup's setting.
  form.TimeOut =
      Text(settings, "form/timeout", [](const QString& t) { return FitsNumber(t, 0, 2147483); });
  form.QueryType = Text(settings, "form/type", [](const QString& t) {
    return !t.isEmpty() && t.size() <= 16 && FitsServer(t);
  });
  form.Transport = Text(settings, "form/transport", [](const QString& t) {
    return !t.isEmpty() && t.size() <= 8 && FitsServer(t);
  });
  const QString dnssec = settings.value(QStringLiteral("form/dnssec")).toString();
  if (dnssec == u"true" || dnssec == u"false") form.Dnssec = dnssec == u"true";
  form.Geometry = settings.value(QStringLiteral("window/geometry")).toByteArray();
  const QStringList recent = settings.value(QStringLiteral("servers/recent")).toStringList();
  for (auto it = recent.rbegin(); it != recent.rend(); ++it)
    if (FitsServer(*it)) form.RecentServers = WithRecentServer(form.RecentServers, *it);
  return form;
}

void SaveFormSettings(const TFormSettings& form) {
  QSettings settings(QString::fromLatin1(kOrganization), QString::fromLatin1(kApplication));
  const auto put = [&settings](const char* key, const std::optional<QString>& value) {
    if (value) settings.setValue(QString::fromLatin1(key), *value);
  };
  put("form/server", form.Server);
  put("form/port", form.Port);
  put("form/timeout", form.TimeOut);
  put("form/type", form.QueryType);
  put("form/transport", form.Transport);
  if (form.Dnssec) settings.setValue(QStringLiteral("form/dnssec"), *form.Dnssec);
  settings.setValue(QStringLiteral("window/geometry"), form.Geometry);
  settings.setValue(QStringLiteral("servers/recent"), form.RecentServers);
}

QStringList WithRecentServer(QStringList recent, const QString& server) {
  const QString kept = server.trimmed();
  if (!FitsServer(kept)) return recent;
  recent.removeIf([&kept](const QString& s) { return s.compare(kept, Qt::CaseInsensitive) == 0; });
  recent.prepend(kept);
  while (recent.size() > kMostRecentServers) recent.removeLast();
  return recent;
}
