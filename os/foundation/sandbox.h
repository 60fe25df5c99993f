// os::Sandbox: the app's container. Rooted at $DROSIL_HOME, by default
// ~/.local/share/drosil, it holds:
//   Library/Caches, Library/Application Support, Library/Preferences,
//   Documents, tmp
// The process-wide sandbox is made on first use and its folders created then
// (mode 0755; tmp 0700). Tests install a fresh one with TemporarySandbox.
#pragma once

#include <memory>
#include <string>

#include "os/foundation/error.h"

namespace os {

// The platform's search-path directories that the container provides.
enum class SearchPathDirectory { Library, Documents, Caches, ApplicationSupport };

class Sandbox {
 public:
  // A container at `root` (an absolute path); nothing is created on disk.
  explicit Sandbox(std::string root);

  // The container in force; never null. Thread-safe.
  static std::shared_ptr<Sandbox> current();
  // Installs a container (null: the default one again). Returns the previous.
  static std::shared_ptr<Sandbox> setCurrent(std::shared_ptr<Sandbox> sandbox);
  // $DROSIL_HOME, else $HOME/.local/share/drosil.
  static std::string defaultRoot();

  // Creates the standard folders (existing ones are kept).
  Status createStandardDirectories() const;

  const std::string& root() const { return root_; }
  std::string homeDirectory() const { return root_; }
  std::string libraryDirectory() const { return root_ + "/Library"; }
  std::string cachesDirectory() const { return root_ + "/Library/Caches"; }
  std::string applicationSupportDirectory() const { return root_ + "/Library/Application Support"; }
  std::string preferencesDirectory() const { return root_ + "/Library/Preferences"; }
  std::string documentsDirectory() const { return root_ + "/Documents"; }
  // With a trailing "/", as the platform's temporary-directory call gives it.
  std::string temporaryDirectory() const { return root_ + "/tmp/"; }
  std::string path(SearchPathDirectory directory) const;

 private:
  std::string root_;
};

// A fresh container in a new temporary folder, installed as the current one
// while the object lives; on destruction the previous one is restored and the
// folder removed.
class TemporarySandbox {
 public:
  TemporarySandbox();
  ~TemporarySandbox();
  TemporarySandbox(const TemporarySandbox&) = delete;
  TemporarySandbox& operator=(const TemporarySandbox&) = delete;

  const std::shared_ptr<Sandbox>& sandbox() const { return sandbox_; }
  const std::string& root() const { return sandbox_->root(); }

 private:
  std::shared_ptr<Sandbox> sandbox_;
  std::shared_ptr<Sandbox> previous_;
};

}  // namespace os
