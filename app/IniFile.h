// INI-structured settings files: the program's own settings file and the
// settings text files the operator saves and loads. Sections and keys keep
// the order in which they were first written; names compare without regard
// to letter case, as operators edit these files by hand.
#pragma once

#include <QString>
#include <QStringList>
#include <vector>

namespace quillon {

class TIniFile {
public:
  // Reads the file when it exists; a missing file is an empty one, and so
  // is one without a name (kept in memory only).
  explicit TIniFile(const QString& fileName);

  const QString& FileName() const { return FFileName; }

  QString ReadString(const QString& section, const QString& key, const QString& def = QString()) const;
  // Text that is no integer gives the default.
  int ReadInteger(const QString& section, const QString& key, int def) const;
  bool ReadBool(const QString& section, const QString& key, bool def) const;
  bool ValueExists(const QString& section, const QString& key) const;
  bool SectionExists(const QString& section) const;

  void WriteString(const QString& section, const QString& key, const QString& value);
  void WriteInteger(const QString& section, const QString& key, int value);
  void WriteBool(const QString& section, const QString& key, bool value);
  void EraseSection(const QString& section);

  // Writes the whole file atomically (temporary file, then rename) with
  // owner-only permissions, since settings hold keys and passwords.
  // Fails with an error naming the file.
  void UpdateFile() const;

  QString ToText() const;
  void FromText(const QString& text);

private:
  struct TEntry {
    QString Key;
    QString Value;
  };
  struct TSection {
    QString Name;
    std::vector<TEntry> Entries;
  };
  const TSection* FindSection(const QString& name) const;
  TSection& SectionForWrite(const QString& name);

  QString FFileName;
  std::vector<TSection> FSections;
};

// Writes `data` to `fileName` through a temporary file in the same folder
// and a rename, with owner-only permissions. Used for every file the program
// writes (settings, object lists, logs).
void WriteFileAtomically(const QString& fileName, const QByteArray& data);

}  // namespace quillon
