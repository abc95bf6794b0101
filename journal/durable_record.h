// What keeps an install whole across a kill or a power cut: the list of the
// temporary files a run makes, and the record of the operations it is about
// to carry out, both on flash beside the package database.
//
// Temporary list ("/flash/var/pdb/.temporaries"): one line per file that
// the run made or is about to make, written before the file exists:
//   "T " path        a temporary file of this run
//   "K " path        the file of the line before was there already: not ours
// A line cut short by a power cut has no "\n" and names nothing.
//
// Record ("/flash/var/pdb/.journal"): written whole beside itself, synced
// with every temporary file, then renamed into place and its folder synced,
// all before the first operation touches the live tree:
//   "installer record 1"
//   "C " manifest    (a commit only) the stored manifest it carries out
//   the operations, one line each, as a manifest holds them
//   "end " count     the number of operation lines
// Anything else (a missing end, a count that does not match, a line that
// a manifest could not hold) is a damaged record.
//
// The next run that finds a record finishes it: every operation is carried
// out again, and those done before the cut count as done (a removal of what
// is gone, a move whose source is gone and whose target is there). Without
// a record it deletes what the list names, as nothing was applied.
#pragma once

#include <string>

#include "journal/safe_write.h"

class FileJournal;

constexpr const char* RECORD_DIRECTORY = "/flash/var/pdb";
constexpr const char* RECORD_PATH = "/flash/var/pdb/.journal";
constexpr const char* TEMPORARY_LIST_PATH = "/flash/var/pdb/.temporaries";
/// The stream install's copy of its package: made by the run like a
/// temporary file, though it has a name of its own.
constexpr const char* STREAM_IMAGE_FILE = "/flash/var/pdb/image";

/// From now on every temporary file is listed before it is made.
void beginTemporaryList();
/// Lists `path` before the file is made: false (errno set) when it cannot
/// be listed, and then the file must not be made. True when no list is kept.
bool listTemporary(const std::string& path);
/// Notes that a listed file turned out to be there already (not made by
/// this run), so that nothing deletes it.
void unlistTemporary(const std::string& path);
/// Ends the list once every listed file is in place, deleted, or named by a
/// stored manifest.
void endTemporaryList();
/// True when `name` has the form of the installer's temporary files:
/// "tmp" and six letters or digits.
bool isTemporaryFileName(const std::string& name);

/// How a recorded apply ended.
enum class RecordedApply {
  APPLIED,          // every operation carried out
  PARTLY_APPLIED,   // one failed or was skipped (its message went out)
  NOT_RECORDED,     // the record could not be written: nothing was applied (errno tells why)
};

/// Writes the record of `journal`, carries the operations out, removes the
/// stored `manifest` (when one is given) once they were all done, then the
/// record. NOT_RECORDED leaves the tree and the journal as they were.
RecordedApply applyWithRecord(const FileJournal& journal, const std::string& manifest = "",
                              const CopyProgress& progress = {});

/// What the start of a run found of an earlier one.
enum class Leftover {
  NONE,       // nothing
  FINISHED,   // a record, carried out
  DISCARDED,  // temporary files of a run cut short before its record, deleted
  DAMAGED,    // a damaged record: nothing applied, its run's files deleted
};

/// Finishes or discards what a run cut short left behind: see above. The
/// temporary files that the stored manifest `manifest` names are kept for
/// its commit. Killed at any point, it may simply run again.
Leftover finishInterruptedInstall(const std::string& manifest, const CopyProgress& progress = {});
/// True when a record or a temporary list waits to be finished.
bool hasLeftover();
/// Adds the operations of the waiting record to `journal`; false when
/// there is no whole record.
bool readPendingRecord(FileJournal& journal);
