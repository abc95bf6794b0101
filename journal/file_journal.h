// The journal of pending file operations: every change of the live tree is
// recorded here first and carried out at once by apply().
//
// Manifest format (one line per operation, ascending target order, "\n" ends
// each line, fields separated by single spaces):
//   "U " target                 remove
//   "L " target " " linkText    symbolic link
//   "M " target " " source      move
//   "M " target " " source " T" move of a temporary file that the journal owns
// An older reader takes the last form for a plain move, as it was written
// before. Targets lie below "/flash"; a move's source below "/flash" too, or
// is a temporary file in "/ram" ("/ram/tmpXXXXXX"); a temporary move's source
// is always named "tmpXXXXXX".
#pragma once

#include <cstdint>
#include <fstream>
#include <functional>
#include <optional>
#include <string>

#include "journal/safe_write.h"
#include "model/compact_paths.h"

/// What an operation does to its target. No kind has the number 2. The
/// numbers never reach a file (the manifest stores the letters above), but
/// descriptions of a journal that the tests print and compare show them, so
/// they stay as they are.
enum JournalKind : uint32_t {
  JOURNAL_MOVE = 0,
  JOURNAL_TEMPORARY_MOVE = 1,
  JOURNAL_SYMLINK = 3,
  JOURNAL_REMOVE = 4,
};

/// An operation as the journal hands it out: its kind and its argument (the
/// source of a move, the text of a link, "" for a removal).
struct JournalOperation {
  uint32_t kind = JOURNAL_MOVE;
  std::string argument;
};

class FileJournal {
 public:
  FileJournal() = default;
  FileJournal(const FileJournal&) = delete;
  FileJournal& operator=(const FileJournal&) = delete;

  /// Records the operation for `target`, replacing any earlier one; a
  /// replaced temporary move has its temporary file deleted.
  void put(const std::string& target, uint32_t kind, const std::string& argument);
  /// Records a move of `source` to `target`.
  void addMove(const std::string& source, const std::string& target);
  /// Records that `linkPath` becomes a symbolic link with the text `linkText`.
  void addSymlink(const std::string& linkText, const std::string& linkPath);
  /// Records a removal of an existing path; for a missing path, or one that
  /// leaves its owned place (leavesOwnedPlace), withdraws whatever is
  /// pending on it (a withdrawn write's temporary file is deleted).
  void addRemove(const std::string& path);
  /// Creates a temporary file for the new content of `target` (next to it,
  /// or in "/ram" when that file system lacks room for `sizeHint`), records
  /// the temporary move and returns a stream on the file. A non-zero `mode`
  /// is applied to the file. The caller checks the stream's state: for a
  /// target that leaves its owned place it is closed (errno ELOOP) and
  /// nothing is recorded.
  std::ofstream openWrite(const std::string& target, uint64_t sizeHint, uint32_t mode);
  /// openWrite for a file written through its descriptor, which the caller
  /// closes: the mode is set on the open file, and the folder look-ups are
  /// made once per folder until apply(). -1 with errno when no file could
  /// be made (ELOOP for a target that leaves its owned place).
  int openWriteFile(const std::string& target, uint64_t sizeHint, uint32_t mode);
  /// True when the folder that holds `target` (below "/flash") is missing,
  /// as the journal found it since the last apply(): nothing stands there.
  bool folderMissing(const std::string& target) { return folders_.folderMissing(target); }
  /// Records that `target` becomes an empty file (a marker for the system).
  void addEmptyFile(const std::string& target);
  /// Starts noting the targets of the operations recorded from now on,
  /// until takeNewTargets(). A package's files are so held once, by the
  /// journal, while they are written.
  void beginNewTargets() { notingNewTargets_ = true; }
  /// True when an operation recorded since beginNewTargets() targets `path`.
  bool isNewTarget(const std::string& path) const;
  /// True when an operation recorded since beginNewTargets() targets a path
  /// that begins with `folder` (which ends in "/").
  bool hasNewTargetIn(const std::string& folder) const;
  /// Adds the targets noted since beginNewTargets() to `targets` and stops
  /// noting.
  void takeNewTargets(PathSet& targets);
  /// True when `path` may become a package's entry directory: it does not
  /// exist or is a directory, and no operation other than a removal (which
  /// is withdrawn) is pending on it.
  bool claimDirectory(const std::string& path);
  /// Carries out every operation: removals and links first, then moves;
  /// `progress` is called after each block of a move that has to copy. A
  /// move whose source is gone and whose target exists counts as done, so a
  /// stored journal that was applied in part can be applied again. An
  /// operation whose target has come to leave its owned place is skipped
  /// with a message (its temporary file deleted). False when an operation
  /// failed or was skipped (its error went to standard error).
  bool apply(const CopyProgress& progress = {}) const;
  /// Deletes the temporary files of temporary moves and empties the journal.
  void cancel();
  /// Drops the operation on `target`, leaving its temporary file alone.
  void forget(const std::string& target) { operations_.erase(target); }
  /// Writes the manifest to `path`, replacing it only once the new one is
  /// complete; false (and `path` left as it was) when it cannot be written.
  bool writeManifest(const std::string& path) const;
  /// Adds the operations of the manifest at `path` when it can be read and
  /// every line is well formed and names only the installer's places (see
  /// the format above); returns "" then, else why not, adding nothing.
  std::string readManifest(const std::string& path);
  /// Writes the operations as manifest lines.
  void writeOperations(std::ostream& out) const;
  /// Adds the operations of the manifest lines in `in`, checked whole like
  /// readManifest's; "" or why not.
  std::string readOperations(std::istream& in);
  /// "" when every move can be carried out: its source exists, or is gone
  /// and its target is in place (done before); else the first that cannot.
  std::string findMissingSource() const;
  /// True when "/flash/boot" and "/flash" keep more than 16 free blocks
  /// once every operation is carried out.
  bool hasEnoughSpace() const;

  /// Calls `visit` with each pending operation and its target, in byte-wise
  /// order of the targets.
  void forEachOperation(
      const std::function<void(const std::string& target, const JournalOperation& operation)>& visit) const;
  /// The operation pending on `target`, if any.
  std::optional<JournalOperation> operationOn(const std::string& target) const;
  /// The number of pending operations.
  size_t size() const { return operations_.size(); }
  /// True when no operation is pending.
  bool empty() const { return operations_.empty(); }

 private:
  // An operation as it is held: the argument is kept as the length of the
  // beginning it shares with its target and the rest of it, attached to the
  // target's entry. A temporary file in a folder above its target
  // ("/flash/tmpA1b2C3" for "/flash/etc/x") so costs its name only.
  struct StoredOperation {
    uint8_t kind = JOURNAL_MOVE;
    bool newTarget = false;   // recorded since beginNewTargets()
    uint16_t shared = 0;      // length of the target's beginning that the argument begins with
    uint32_t restLength = 0;  // length of the rest
  };
  using Operations = CompactPaths<StoredOperation>;
  JournalOperation expand(const std::string& target, const Operations::Entry& entry) const;

  // The pending operations by target. The text of an operation that was
  // replaced or dropped stays until cancel().
  Operations operations_;
  bool notingNewTargets_ = false;
  // Valid while the tree is as the writes found it; apply() forgets it.
  mutable FolderFacts folders_;
};
