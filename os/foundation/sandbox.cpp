#include "os/foundation/sandbox.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <mutex>

#include "os/foundation/file_manager.h"
#include "os/foundation/system_log.h"

namespace os {
namespace {

std::mutex& sandboxMutex() {
  static std::mutex m;
  return m;
}

// Process-wide slots are never destroyed: dispatch workers may still read
// them while the process exits.
std::shared_ptr<Sandbox>& installedSandbox() {
  static auto& s = *new std::shared_ptr<Sandbox>();  // guarded by sandboxMutex()
  return s;
}

std::shared_ptr<Sandbox>& defaultSandbox() {
  static auto& s = *new std::shared_ptr<Sandbox>();  // guarded by sandboxMutex(); made on first use
  return s;
}

int removeEntry(const char* path, const struct stat*, int, struct FTW*) { return ::remove(path); }

}  // namespace

Sandbox::Sandbox(std::string root) : root_(std::move(root)) {
  while (root_.size() > 1 && root_.back() == '/') root_.pop_back();
}

std::string Sandbox::defaultRoot() {
  if (const char* env = std::getenv("DROSIL_HOME"); env && *env) return env;
  const char* home = std::getenv("HOME");
  return std::string(home && *home ? home : "/tmp") + "/.local/share/drosil";
}

std::shared_ptr<Sandbox> Sandbox::current() {
  std::lock_guard lock(sandboxMutex());
  if (installedSandbox()) return installedSandbox();
  if (!defaultSandbox()) {
    defaultSandbox() = std::make_shared<Sandbox>(defaultRoot());
    if (auto made = defaultSandbox()->createStandardDirectories(); !made)
      Log::create("com.drosil.foundation", "Sandbox")
          ->error("Cannot create the container at " + defaultSandbox()->root() + ": " + made.error().description());
  }
  return defaultSandbox();
}

std::shared_ptr<Sandbox> Sandbox::setCurrent(std::shared_ptr<Sandbox> sandbox) {
  std::lock_guard lock(sandboxMutex());
  auto previous = installedSandbox();
  installedSandbox() = std::move(sandbox);
  return previous;
}

Status Sandbox::createStandardDirectories() const {
  auto& fm = FileManager::defaultManager();
  for (const std::string& dir : {cachesDirectory(), applicationSupportDirectory(), preferencesDirectory(),
                                 documentsDirectory()}) {
    if (auto made = fm.createDirectoryAtPath(dir, true); !made) return made;
  }
  std::string tmp = root_ + "/tmp";
  return fm.createDirectoryAtPath(tmp, true, {{kFilePosixPermissions, Value(0700)}});
}

std::string Sandbox::path(SearchPathDirectory directory) const {
  switch (directory) {
    case SearchPathDirectory::Library: return libraryDirectory();
    case SearchPathDirectory::Documents: return documentsDirectory();
    case SearchPathDirectory::Caches: return cachesDirectory();
    case SearchPathDirectory::ApplicationSupport: return applicationSupportDirectory();
  }
  return root_;
}

TemporarySandbox::TemporarySandbox() {
  const char* tmp = std::getenv("TMPDIR");
  std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/drosil-sandbox-XXXXXX";
  std::string root = pattern;
  if (!::mkdtemp(root.data())) {
    // No temporary folder can be made: fall back to a fixed, per-process one.
    root = pattern.substr(0, pattern.size() - 6) + std::to_string(::getpid());
    ::mkdir(root.c_str(), 0700);
  }
  sandbox_ = std::make_shared<Sandbox>(root);
  (void)sandbox_->createStandardDirectories();
  previous_ = Sandbox::setCurrent(sandbox_);
}

TemporarySandbox::~TemporarySandbox() {
  Sandbox::setCurrent(previous_);
  ::nftw(sandbox_->root().c_str(), removeEntry, 16, FTW_DEPTH | FTW_PHYS);
}

}  // namespace os
