// APMScreen: one screen of the app as screen-view reporting sees it: a name
// and a class (either may be absent), an instance ID unique within the run,
// where it came from, and for an app-logged screen view its time.
//
// The screen parameters events carry: "_si" (instance ID), "_sc" (class),
// "_sn" (name); the previous screen's on a screen view: "_pi", "_pc", "_pn".
//
// Threads: name, class and instance ID never change. The flags and the
// timestamp are set by the one owner before the screen is shared; read them
// from any thread after that.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "os/foundation/value.h"

inline constexpr const char* kAPMPreviousScreenInstanceIDParameter = "_pi";
inline constexpr const char* kAPMPreviousScreenClassParameter = "_pc";
inline constexpr const char* kAPMPreviousScreenNameParameter = "_pn";

// Monitor codes (level 3).
inline constexpr int64_t kAPMScreenCodeEmptyClassName = 31014;
inline constexpr int64_t kAPMScreenCodeInvalidClassName = 31015;

class APMScreen {
 public:
  // Both flags off, timestamp 0.
  static std::shared_ptr<APMScreen> initWithName(std::optional<std::string> name,
                                                 std::optional<std::string> className, int64_t instanceID);
  APMScreen(std::optional<std::string> name, std::optional<std::string> className, int64_t instanceID)
      : name_(std::move(name)), className_(std::move(className)), instanceID_(instanceID) {}

  // The same name, class and instance ID; flags off, timestamp 0.
  std::shared_ptr<APMScreen> copy() const;

  const std::optional<std::string>& name() const { return name_; }
  const std::optional<std::string>& className() const { return className_; }
  int64_t instanceID() const { return instanceID_; }

  // Set through setScreenName:screenClass:.
  bool isManuallySet() const { return manuallySet_; }
  void setIsManuallySet(bool value) { manuallySet_ = value; }
  // Logged by the app as a "screen_view" event.
  bool isManuallyTracked() const { return manuallyTracked_; }
  void setIsManuallyTracked(bool value) { manuallyTracked_ = value; }
  // Seconds since 1970; the time of the app's "screen_view".
  double eventTimestamp() const { return eventTimestamp_; }
  void setEventTimestamp(double value) { eventTimestamp_ = value; }

 private:
  const std::optional<std::string> name_;
  const std::optional<std::string> className_;
  const int64_t instanceID_;
  bool manuallySet_ = false;
  bool manuallyTracked_ = false;
  double eventTimestamp_ = 0;
};

// The screen's parameters for an event, as plain values: "_si"; "_sc" for a
// valid class (an empty or missing class logs 31014; an invalid one logs
// 31015 with the failure code and the parameters stop at "_si"); "_sn" for a
// valid name (an invalid name is left out silently).
os::Dictionary APMScreenParametersForScreen(const APMScreen& screen);
// The previous screen's: "_pi"; "_pc" for a non-empty valid class; "_pn" for
// a valid name.
os::Dictionary APMPreviousScreenParametersForScreen(const APMScreen& screen);
