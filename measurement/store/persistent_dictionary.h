// APMPersistentDictionary: a small key-value store held in memory and
// mirrored to one XML property-list file under Application Support
// "Devuvo/Measurement".
//
// States: idle, or write pending. A change in the idle state schedules a
// write of the whole dictionary one second later on the serial queue
// "APMPersistentDictionary" and enters the pending state; changes while a
// write is pending ride along with it. The write returns to idle when it
// takes its copy, before it touches the disk, so a change made during the
// disk write schedules a further one. A store destroyed while a write is
// pending writes at once.
//
// Durability: the file is replaced atomically (temporary file, sync, rename
// through os::FileManager), so a crash or a full disk during a write leaves
// the previous file whole. A failed write is logged (43000) and not retried
// by itself; memory keeps the content and the next change writes it all.
//
// Loading: a missing file, or one that does not hold a property-list
// dictionary, is an empty store. A file that exists but cannot be read (an
// I/O error, too many open files) leaves the store unloaded: reads find
// nothing, changes are refused (43006), and the next access reads again.
// An empty store written over an unread file would lose what it holds.
//
// Errors go to the platform logger (not the monitor), codes 43000..43006.
// Thread-safe: content and state are guarded by the object's lock, which is
// never held during file input or output.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <string_view>

#include "measurement/store/config_store.h"
#include "os/dispatch/queue.h"

inline constexpr const char* kAPMPersistentDictionaryQueueLabel = "APMPersistentDictionary";
inline constexpr double kAPMPersistentDictionaryWriteDelay = 1.0;
inline constexpr int64_t kAPMPersistentDictionaryCodeWriteFailed = 43000;
inline constexpr int64_t kAPMPersistentDictionaryCodeInvalidGetKey = 43001;
inline constexpr int64_t kAPMPersistentDictionaryCodeInvalidSetKey = 43002;
inline constexpr int64_t kAPMPersistentDictionaryCodeInvalidObject = 43003;
inline constexpr int64_t kAPMPersistentDictionaryCodeCannotCreateDirectory = 43004;
inline constexpr int64_t kAPMPersistentDictionaryCodeReadFailed = 43005;
inline constexpr int64_t kAPMPersistentDictionaryCodeChangeRefused = 43006;

class APMPersistentDictionary : public APMConfigStore, public std::enable_shared_from_this<APMPersistentDictionary> {
 public:
  // The store of "<name>.plist" (the extension added unless present), loaded
  // from its file as the design note says (a file that cannot be read logs
  // 43005 and is read again at the next access). Null for an empty name, for
  // no Application Support directory, or when its folders cannot be made
  // (43004).
  static std::shared_ptr<APMPersistentDictionary> initWithFileName(std::string_view fileName);
  ~APMPersistentDictionary() override;

  const std::string& filePath() const { return filePath_; }

  os::Value objectForKey(std::string_view key) override;
  // Stores the object and schedules a write, unless it equals the stored one;
  // null removes the key (a write only when it was there). Refused (43006)
  // while the file cannot be read.
  void setObject(const os::Value& object, std::string_view key) override;
  // Removes everything and schedules a write; nothing for an empty store.
  // Refused (43006) while the file cannot be read.
  void clearAllData() override;
  // Writes a pending change at once (on the store's queue, so it is ordered
  // with the scheduled write); nothing when none is pending.
  void synchronize() override;

  bool TEST_hasPendingPersistence() const;

 private:
  explicit APMPersistentDictionary(std::string filePath);
  // Reads the file unless the content is loaded; true once it is. Takes
  // mutex_ only around the change of state, never during the read.
  bool ensureLoaded();
  // Requires mutex_.
  void schedulePersistToDisk();
  void persistToDisk();
  static void writeContent(const os::Dictionary& content, const std::string& path);

  const std::string filePath_;
  const std::shared_ptr<os::DispatchQueue> serialQueue_;
  mutable std::recursive_mutex mutex_;
  os::Dictionary content_;              // guarded by mutex_
  bool hasPendingPersistence_ = false;  // guarded by mutex_
  bool loaded_ = false;                 // guarded by mutex_; never false again once true
  bool readFailureReported_ = false;    // guarded by mutex_: one 43005 per run of failed reads
};
