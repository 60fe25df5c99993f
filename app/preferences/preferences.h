// The user's persistent choices, each a thin wrapper over one key of the
// standard user defaults: the kelvin compensation added to every reading,
// geotagging of photos, keeping the screen awake, and haptic feedback.
//
// The objects hold no value of their own: every reader asks the standard user
// defaults with the object's key, so any number of instances see the same
// value. Constructing one seeds its default when the key is absent (a stored
// value of any type is left alone). The setters persist, then announce the
// change on the default notification centre.
//
// Threads: the setters run on the main thread (they touch the delegate's
// label); reads are thread-safe.
#pragma once

#include <memory>
#include <string>

class UILabel;

// User-defaults keys.
inline constexpr const char* kCompensateKey = "CompensateKey";
inline constexpr const char* kGeoTagEnableKey = "Drosil.geoTagKey";
inline constexpr const char* kAlwaysOnEnableKey = "Drosil.alwaysOnKey";
inline constexpr const char* kHapticManagerKey = "hapticKey";

// Notifications. "CompensateManagerDidChange" carries the new compensation
// (a Double) in its user info under kCompensateManagerValueKey; the other two
// carry the manager that changed as the notification's object.
inline constexpr const char* kCompensateManagerDidChangeNotification = "CompensateManagerDidChange";
inline constexpr const char* kGeoTagManagerDidChangeNotification = "GeoTagManagerDidChange";
inline constexpr const char* kAlwaysOnManagerDidChangeNotification = "AlwaysOnManagerDidChange";
inline constexpr const char* kCompensateManagerValueKey = "value";

// Implemented by the main meter screen: its label of the compensation value.
class CompensateManagerDelegate {
 public:
  virtual ~CompensateManagerDelegate() = default;
  virtual std::shared_ptr<UILabel> compensationReading() const = 0;
};

class GeoTagManagerDelegate {
 public:
  virtual ~GeoTagManagerDelegate() = default;
  virtual void geoTagManagerDidChange(bool enabled) = 0;
};

class AlwaysOnManagerDelegate {
 public:
  virtual ~AlwaysOnManagerDelegate() = default;
  virtual void alwaysOnManagerDidChange(bool enabled) = 0;
};

class CompensateManager {
 public:
  // Seeds "CompensateKey" with Bool false (reads as 0.0) when absent.
  CompensateManager();

  const std::string compensateManagerKey = kCompensateKey;

  std::shared_ptr<CompensateManagerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<CompensateManagerDelegate> delegate) { delegate_ = std::move(delegate); }

  // The stored compensation in kelvin.
  double value() const;
  // Writes "%.fK" of the value into the delegate's label, stores the value,
  // then posts "CompensateManagerDidChange".
  void setValue(double value);

 private:
  std::weak_ptr<CompensateManagerDelegate> delegate_;
};

class GeoTagManager {
 public:
  GeoTagManager();  // seeds false

  const std::string geoTagEnableKey = kGeoTagEnableKey;

  std::shared_ptr<GeoTagManagerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<GeoTagManagerDelegate> delegate) { delegate_ = std::move(delegate); }

  bool isGeoTagEnabled() const;
  // Prints "set isGeoTagEnabled <true|false>", tells the delegate, stores,
  // then posts "GeoTagManagerDidChange" with this manager as object.
  void setIsGeoTagEnabled(bool enabled);

 private:
  std::weak_ptr<GeoTagManagerDelegate> delegate_;
};

class AlwaysOnManager {
 public:
  AlwaysOnManager();  // seeds false

  const std::string alwaysOnEnableKey = kAlwaysOnEnableKey;

  std::shared_ptr<AlwaysOnManagerDelegate> delegate() const { return delegate_.lock(); }
  void setDelegate(std::weak_ptr<AlwaysOnManagerDelegate> delegate) { delegate_ = std::move(delegate); }

  bool isalwaysOnEnabled() const;
  // Prints "set isalwaysOnEnabled <true|false>", tells the delegate, stores,
  // then posts "AlwaysOnManagerDidChange" with this manager as object. The
  // idle timer is the caller's business.
  void setIsalwaysOnEnabled(bool enabled);

 private:
  std::weak_ptr<AlwaysOnManagerDelegate> delegate_;
};

class HapticFeedbackManager {
 public:
  HapticFeedbackManager();  // seeds true

  const std::string hapticManagerKey = kHapticManagerKey;

  bool isHapticEnabled() const;
  // A light impact when "hapticKey" is on; nothing otherwise.
  void lightTapIfEnabled() const;
};
