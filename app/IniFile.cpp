#include "app/IniFile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "xmlpdu/infra/Errors.h"

namespace quillon {

TIniFile::TIniFile(const QString& fileName) : FFileName(fileName) {
  if (fileName.isEmpty()) return;  // in memory only
  QFile f(fileName);
  if (f.open(QIODevice::ReadOnly)) FromText(QString::fromUtf8(f.readAll()));
}

void TIniFile::FromText(const QString& text) {
  FSections.clear();
  TSection* current = nullptr;
  const QStringList lines = text.split(QLatin1Char('\n'));
  for (QString line : lines) {
    if (line.endsWith(QLatin1Char('\r'))) line.chop(1);
    const QString trimmed = line.trimmed();
    if (trimmed.isEmpty() || trimmed.startsWith(QLatin1Char(';'))) continue;
    if (trimmed.startsWith(QLatin1Char('[')) && trimmed.endsWith(QLatin1Char(']'))) {
      current = &SectionForWrite(trimmed.mid(1, trimmed.size() - 2));
      continue;
    }
    const qsizetype eq = line.indexOf(QLatin1Char('='));
    if (eq <= 0 || current == nullptr) continue;
    const QString key = line.left(eq).trimmed();
    // Values keep their blanks: a password or key may be typed with spaces.
    const QString value = line.mid(eq + 1);
    bool replaced = false;
    for (TEntry& e : current->Entries) {
      if (e.Key.compare(key, Qt::CaseInsensitive) == 0) {
        e.Value = value;
        replaced = true;
        break;
      }
    }
    if (!replaced) current->Entries.push_back({key, value});
  }
}

QString TIniFile::ToText() const {
  QString out;
  for (const TSection& s : FSections) {
    out += QLatin1Char('[') + s.Name + QLatin1String("]\n");
    for (const TEntry& e : s.Entries) out += e.Key + QLatin1Char('=') + e.Value + QLatin1Char('\n');
    out += QLatin1Char('\n');
  }
  return out;
}

const TIniFile::TSection* TIniFile::FindSection(const QString& name) const {
  for (const TSection& s : FSections)
    if (s.Name.compare(name, Qt::CaseInsensitive) == 0) return &s;
  return nullptr;
}

TIniFile::TSection& TIniFile::SectionForWrite(const QString& name) {
  for (TSection& s : FSections)
    if (s.Name.compare(name, Qt::CaseInsensitive) == 0) return s;
  FSections.push_back({name, {}});
  return FSections.back();
}

bool TIniFile::SectionExists(const QString& section) const { return FindSection(section) != nullptr; }

bool TIniFile::ValueExists(const QString& section, const QString& key) const {
  const TSection* s = FindSection(section);
  if (!s) return false;
  for (const TEntry& e : s->Entries)
    if (e.Key.compare(key, Qt::CaseInsensitive) == 0) return true;
  return false;
}

QString TIniFile::ReadString(const QString& section, const QString& key, const QString& def) const {
  const TSection* s = FindSection(section);
  if (!s) return def;
  for (const TEntry& e : s->Entries)
    if (e.Key.compare(key, Qt::CaseInsensitive) == 0) return e.Value;
  return def;
}

int TIniFile::ReadInteger(const QString& section, const QString& key, int def) const {
  bool ok = false;
  const int v = ReadString(section, key).trimmed().toInt(&ok);
  return ok ? v : def;
}

bool TIniFile::ReadBool(const QString& section, const QString& key, bool def) const {
  return ReadInteger(section, key, def ? 1 : 0) != 0;
}

void TIniFile::WriteString(const QString& section, const QString& key, const QString& value) {
  TSection& s = SectionForWrite(section);
  // A line break inside a value would start a new key on reading; the
  // controls written here are single-line, so it is cut off.
  QString v = value;
  const qsizetype nl = v.indexOf(QRegularExpression(QStringLiteral("[\r\n]")));
  if (nl >= 0) v.truncate(nl);
  for (TEntry& e : s.Entries) {
    if (e.Key.compare(key, Qt::CaseInsensitive) == 0) {
      e.Value = v;
      return;
    }
  }
  s.Entries.push_back({key, v});
}

void TIniFile::WriteInteger(const QString& section, const QString& key, int value) {
  WriteString(section, key, QString::number(value));
}

void TIniFile::WriteBool(const QString& section, const QString& key, bool value) {
  WriteString(section, key, value ? QStringLiteral("1") : QStringLiteral("0"));
}

void TIniFile::EraseSection(const QString& section) {
  for (auto it = FSections.begin(); it != FSections.end(); ++it) {
    if (it->Name.compare(section, Qt::CaseInsensitive) == 0) {
      FSections.erase(it);
      return;
    }
  }
}

void TIniFile::UpdateFile() const { WriteFileAtomically(FFileName, ToText().toUtf8()); }

void WriteFileAtomically(const QString& fileName, const QByteArray& data) {
  const QFileInfo info(fileName);
  QDir().mkpath(info.absolutePath());
  const QByteArray target = QFile::encodeName(info.absoluteFilePath());
  QByteArray tmpl = target + ".XXXXXX";
  // mkstemp creates the file with mode 0600 whatever the umask.
  const int fd = ::mkstemp(tmpl.data());
  auto fail = [&](const char* what) {
    const std::string reason = std::strerror(errno);
    RaiseGeneral(Format("Cannot write \"%s\": %s (%s)", target.constData(), what, reason.c_str()));
  };
  if (fd < 0) fail("create");
  qsizetype done = 0;
  while (done < data.size()) {
    const ssize_t n = ::write(fd, data.constData() + done, static_cast<size_t>(data.size() - done));
    if (n < 0) {
      if (errno == EINTR) continue;
      const int saved = errno;
      ::close(fd);
      ::unlink(tmpl.constData());
      errno = saved;
      fail("write");
    }
    done += n;
  }
  if (::fsync(fd) != 0 || ::close(fd) != 0) {
    const int saved = errno;
    ::unlink(tmpl.constData());
    errno = saved;
    fail("flush");
  }
  if (::rename(tmpl.constData(), target.constData()) != 0) {
    const int saved = errno;
    ::unlink(tmpl.constData());
    errno = saved;
    fail("rename");
  }
}

}  // namespace quillon
