#include "model/installer_context.h"

namespace {
InstallerContext* theContext = nullptr;
}

InstallerContext& InstallerContext::instance() {
  if (theContext == nullptr) theContext = new InstallerContext();
  return *theContext;
}

void InstallerContext::reset() {
  // Emptied in place, so that references taken before stay valid.
  instance() = InstallerContext();
}

int InstallerContext::findPackage(const std::string& name) const {
  for (size_t i = 0; i < packages.size(); ++i)
    if (packages[i]->name == name) return static_cast<int>(i);
  return -1;
}

InstalledPackage* InstallerContext::packageByName(const std::string& name) const {
  int index = findPackage(name);
  return index < 0 ? nullptr : packages[static_cast<size_t>(index)].get();
}
