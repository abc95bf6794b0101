#include "driver/install_modes.h"

#include <ext/stdio_filebuf.h>
#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <iostream>

#include "console/console.h"
#include "driver/postlog.h"
#include "driver/stream_install.h"
#include "driver/upgrade_run.h"
#include "journal/durable_record.h"
#include "journal/file_journal.h"
#include "journal/safe_write.h"
#include "resolve/schedule.h"

namespace {

// The stream install copies standard input here while it reads it; the
// journal knows the same file as STREAM_IMAGE_FILE. It is opened
// without following a link at its name: a link there is replaced.
const char* const STREAM_IMAGE_PATH = "/flash/var/pdb//image";
const char* const CHANGE_MARKER = "/flash/PCKGS_CHANGED";
constexpr int STATUS_NO_IMAGE = -1;
constexpr int STATUS_NOT_STORED = 1;
constexpr unsigned STATUS_IMAGE_NOT_WRITTEN = 1;
// Standard input is read through a buffer of this size: the inflating
// stream asks for as much at a time, and such a request is read straight
// into its buffer.
constexpr size_t STREAM_INPUT_BUFFER = 65536;

// Passes the copy of standard input on to the image file and remembers
// whether any of it was lost: a copy cut short by a full or failing disk
// must not become a stored image or the boot image.
class ImageCopy : public std::streambuf {
 public:
  explicit ImageCopy(std::streambuf* file) : file_(file) {}
  // The error number of the first write that fell short; 0 when none did.
  int failure() const { return failure_; }

 protected:
  std::streamsize xsputn(const char* data, std::streamsize count) override {
    std::streamsize written = file_->sputn(data, count);
    if (written != count && failure_ == 0) failure_ = errno != 0 ? errno : EIO;
    return written;
  }
  int_type overflow(int_type c) override {
    if (traits_type::eq_int_type(c, traits_type::eof())) return traits_type::not_eof(c);
    char byte = traits_type::to_char_type(c);
    return xsputn(&byte, 1) == 1 ? c : traits_type::eof();
  }

 private:
  std::streambuf* file_;
  int failure_ = 0;
};

// Closes the image file; false, with the error shown, when the copy of the
// stream did not reach it whole.
bool finishImage(__gnu_cxx::stdio_filebuf<char>& image, const ImageCopy& copy) {
  bool closed = image.close() != nullptr;
  int failure = copy.failure() != 0 ? copy.failure() : !closed ? errno : 0;
  if (failure == 0) return true;
  error("could not write image: %s", std::strerror(failure));
  return false;
}

// The space check before anything is applied; a resumed upgrade
// ("--reinstall") goes on whatever the flash holds.
bool fitsOnFlash(const FileJournal& journal, InstallFlags flags) {
  if ((flags & INSTALL_REINSTALL) || journal.hasEnoughSpace()) return true;
  error("not enough space for upgrade");
  return false;
}

// Applies the journal behind its record on flash; 0, or the status of a
// record that could not be written (then nothing is applied).
int applyRecorded(FileJournal& journal) {
  if (applyWithRecord(journal) != RecordedApply::NOT_RECORDED) return 0;
  int status = recordFailure();
  journal.cancel();
  return status;
}

}  // namespace

int runCleanupMode() {
  FileJournal journal;
  planCleanup(journal);
  return applyRecorded(journal);
}

int runStreamInstallMode(const Settings& settings) {
  FileJournal journal;
  runSchedule(journal, true);
  // Listed like a temporary file: a run cut short before it was placed
  // leaves no copy behind.
  int descriptor = listTemporary(STREAM_IMAGE_FILE)
                       ? openOwnedFile(STREAM_IMAGE_PATH, O_WRONLY | O_CREAT | O_TRUNC)
                       : -1;
  if (descriptor < 0) {
    consoleOut() << "ERROR: could not open image\n" << std::flush;
    return STATUS_NO_IMAGE;
  }
  // The buffer owns the descriptor and closes it.
  __gnu_cxx::stdio_filebuf<char> image(descriptor, std::ios::out | std::ios::binary);
  std::string directory;
  bool boot = false;
  ImageCopy copy(&image);
  // The buffer closes standard input when it goes, as the mode ends.
  __gnu_cxx::stdio_filebuf<char> inputBuffer(STDIN_FILENO, std::ios::in | std::ios::binary, STREAM_INPUT_BUFFER);
  std::istream input(&inputBuffer);
  unsigned status = installFromStream(journal, input, settings.flags | INSTALL_UPGRADE,
                                      UserStateMap(), &copy, &directory, &boot);
  if (!finishImage(image, copy) && status == 0) status = STATUS_IMAGE_NOT_WRITTEN;
  // The copy is kept only as the package's stored image (its entry
  // directory comes from the image part) or as the boot image. It is on
  // the flash already and moves there by a rename, so the space check
  // counts it as it stands.
  bool keepImage = status == 0 && (!directory.empty() || boot);
  if (!keepImage) std::remove(STREAM_IMAGE_FILE);
  if (status == 0 && !fitsOnFlash(journal, settings.flags)) status = STATUS_NO_SPACE;
  if (status == 0) {
    if (keepImage)
      placePackageImage(journal, STREAM_IMAGE_FILE, directory.empty() ? "" : directory + "image", boot);
    int unrecorded = applyRecorded(journal);
    if (unrecorded != 0) {
      status = static_cast<unsigned>(unrecorded);
      if (keepImage) std::remove(STREAM_IMAGE_FILE);
    }
  } else {
    journal.cancel();
    if (keepImage) std::remove(STREAM_IMAGE_FILE);  // refused by the space check
  }
  writePostlog();
  return static_cast<int>(status);
}

int runUpgradeMode(const Settings& settings) {
  FileJournal journal;
  runSchedule(journal, true);
  int status = 0;
  runUpgrade(journal, settings.flags | INSTALL_UPGRADE);
  if (!fitsOnFlash(journal, settings.flags)) {
    journal.cancel();
    status = STATUS_NO_SPACE;
  }
  if (!journal.empty()) {
    journal.addEmptyFile(CHANGE_MARKER);
    if (settings.applyAtOnce) {
      status = applyRecorded(journal);
    } else if (!journal.writeManifest(MANIFEST_PATH)) {
      // Nothing would ever apply the change: say so and drop it whole.
      error("could not store %s: %s", MANIFEST_PATH, std::strerror(errno));
      journal.cancel();
      status = STATUS_NOT_STORED;
    }
  }
  writePostlog();
  return status;
}
