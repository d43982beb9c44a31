// Files that several processes share: an exclusive lock held while a
// read-modify-write runs, and a durable replacement of a file's contents.
//
//   TFileLock lock(path + ".lock", 5000);   // waits up to 5 s for others
//   TIniData ini = TIniData::Load(path);
//   ...
//   WriteFileDurably(path, ini.Text(), 0600);
//
// The locks are advisory (flock) on a file of their own that is never
// replaced, so a writer that renames a new file into place does not take
// the lock away from those waiting. Each lock is its own open file: two
// threads of one process exclude each other as two processes do.
#pragma once

#include <atomic>
#include <string>

#include "xmlpdu/infra/Errors.h"

namespace quillon::client {

class TFileLock {
public:
  // Waits up to `timeoutMs` for the lock (0: one try; negative: no limit),
  // ending the wait early when `cancel` is set. Creates the lock file (0600)
  // and its folder when missing. Fails with a general error "file \"<lock>\":
  // cannot be locked (<reason>)"; a wait that ran out says who holds it when
  // the holder wrote its process id (see `WriteOwner`).
  TFileLock(const std::string& lockPath, int timeoutMs, const std::atomic<bool>* cancel = nullptr);
  ~TFileLock();
  TFileLock(const TFileLock&) = delete;
  TFileLock& operator=(const TFileLock&) = delete;

  // Tries once; false when another holds it. Fails as the constructor for
  // any other reason.
  static bool TryLock(const std::string& lockPath, int& fd);

  // Records this process as the holder (its id in the lock file), so that a
  // waiter can name it.
  void WriteOwner();
  // The process id a holder of `lockPath` recorded; 0 when none.
  static long Owner(const std::string& lockPath);

  const std::string& Path() const { return FPath; }

private:
  std::string FPath;
  int FFd = -1;
};

// The lock could not be had within the wait because another holds it.
struct ELockBusy : EGeneralError {
  ELockBusy(const std::string& message, long owner) : EGeneralError(message), Owner(owner) {}
  long Owner;  // the holder's process id; 0 when it recorded none
};

// Replaces the contents of `path` in one step that survives a crash: a
// temporary file in the same folder, written and flushed to disk, renamed
// over the file, then the folder flushed. A symbolic link is written through
// to its target (the link stays). `mode` is the new file's mode. Fails with
// a general error "file \"<path>\": cannot be written (<reason>)"; the old
// contents then stand.
void WriteFileDurably(const std::string& path, const std::string& text, unsigned mode);

// The whole text of a file: empty when it does not exist; a general error
// "file \"<path>\": cannot be read (<reason>)" when it cannot be read.
std::string ReadFileText(const std::string& path);

// The folder of a path ("." for a bare name).
std::string FolderOf(const std::string& path);

// The file a path names after following symbolic links (the path itself
// when it names nothing yet or is not a link).
std::string LinkTarget(const std::string& path);

}  // namespace quillon::client
