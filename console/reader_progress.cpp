// The progress bar of a package being read: how far the reader is in its
// file, out of the file length that the file header declares.
#include "console/console.h"
#include "pkgfile/package_reader.h"

void showProgress(PackageReader& reader, const std::string& label) {
  // The offset within the part plus the part's offset in the file; taken
  // from the stream buffer so that a failed reader still gives a position.
  showProgress(reader.fileOffset(), reader.totalSize, label);
}
