// Location services, simulated: CLLocationManager with its authorisation and
// updates, and CLGeocoder's reverse geocoding. What the device would sense
// and what the user would answer comes from os::LocationSimulator (a test or
// the program).
//
// Delegate callbacks and geocoder completions run asynchronously on the main
// queue, as the platform delivers them to a manager made on the main thread.
// Delegates are held weakly. Every method is thread-safe.
//
// Delegate method names: the platform's selectors all begin with
// "locationManager"; to keep overrides from hiding one another they are
// named by all their keywords (locationManager:didUpdateLocations: is
// locationManagerDidUpdateLocations).
#pragma once

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "os/foundation/date.h"
#include "os/foundation/error.h"

namespace os {
class LocationSimulator;
}

using CLLocationDegrees = double;
using CLLocationAccuracy = double;
using CLLocationDistance = double;

inline constexpr CLLocationAccuracy kCLLocationAccuracyBestForNavigation = -2;
inline constexpr CLLocationAccuracy kCLLocationAccuracyBest = -1;
inline constexpr CLLocationAccuracy kCLLocationAccuracyNearestTenMeters = 10;
inline constexpr CLLocationAccuracy kCLLocationAccuracyHundredMeters = 100;
inline constexpr CLLocationAccuracy kCLLocationAccuracyKilometer = 1000;
inline constexpr CLLocationAccuracy kCLLocationAccuracyThreeKilometers = 3000;

inline constexpr const char* kCLErrorDomain = "kCLErrorDomain";
enum CLError : int64_t {
  kCLErrorLocationUnknown = 0,
  kCLErrorDenied = 1,
  kCLErrorNetwork = 2,
  kCLErrorGeocodeFoundNoResult = 8,
  kCLErrorGeocodeCanceled = 10,
};

enum class CLAuthorizationStatus : int {
  NotDetermined = 0,
  Restricted = 1,
  Denied = 2,
  AuthorizedAlways = 3,
  AuthorizedWhenInUse = 4,
};

struct CLLocationCoordinate2D {
  CLLocationDegrees latitude = 0;
  CLLocationDegrees longitude = 0;
  friend bool operator==(const CLLocationCoordinate2D&, const CLLocationCoordinate2D&) = default;
};

// A fix. Value semantics; shared as std::shared_ptr like the platform's.
class CLLocation {
 public:
  // Accuracy 5 m horizontally, unknown (-1) vertically, taken now.
  CLLocation(CLLocationDegrees latitude, CLLocationDegrees longitude);
  CLLocation(CLLocationCoordinate2D coordinate, CLLocationDistance altitude, CLLocationAccuracy horizontalAccuracy,
             CLLocationAccuracy verticalAccuracy, os::Date timestamp)
      : coordinate_(coordinate),
        altitude_(altitude),
        horizontalAccuracy_(horizontalAccuracy),
        verticalAccuracy_(verticalAccuracy),
        timestamp_(timestamp) {}

  CLLocationCoordinate2D coordinate() const { return coordinate_; }
  CLLocationDistance altitude() const { return altitude_; }
  // Negative: invalid.
  CLLocationAccuracy horizontalAccuracy() const { return horizontalAccuracy_; }
  CLLocationAccuracy verticalAccuracy() const { return verticalAccuracy_; }
  os::Date timestamp() const { return timestamp_; }

 private:
  CLLocationCoordinate2D coordinate_;
  CLLocationDistance altitude_;
  CLLocationAccuracy horizontalAccuracy_;
  CLLocationAccuracy verticalAccuracy_;
  os::Date timestamp_;
};

class CLLocationManager;

class CLLocationManagerDelegate {
 public:
  virtual ~CLLocationManagerDelegate() = default;
  // locationManager:didChangeAuthorizationStatus: -- also once when the
  // delegate is set, with the status then.
  virtual void locationManagerDidChangeAuthorizationStatus(const std::shared_ptr<CLLocationManager>&,
                                                           CLAuthorizationStatus) {}
  // locationManager:didUpdateLocations: -- never an empty list.
  virtual void locationManagerDidUpdateLocations(const std::shared_ptr<CLLocationManager>&,
                                                 const std::vector<std::shared_ptr<CLLocation>>&) {}
  // locationManager:didFailWithError: -- errors in kCLErrorDomain.
  virtual void locationManagerDidFailWithError(const std::shared_ptr<CLLocationManager>&, const os::Error&) {}
};

class CLLocationManager : public std::enable_shared_from_this<CLLocationManager> {
 public:
  static std::shared_ptr<CLLocationManager> create();
  ~CLLocationManager();

  // Whether location services are on for the device (the simulation says;
  // default yes).
  static bool locationServicesEnabled();
  // The app's authorisation.
  static CLAuthorizationStatus authorizationStatus();
  CLAuthorizationStatus instanceAuthorizationStatus() const { return authorizationStatus(); }

  std::shared_ptr<CLLocationManagerDelegate> delegate() const;
  // Setting a delegate tells it the current status (asynchronously).
  void setDelegate(std::weak_ptr<CLLocationManagerDelegate> delegate);

  CLLocationAccuracy desiredAccuracy() const;
  void setDesiredAccuracy(CLLocationAccuracy accuracy);

  // Ask the user when the status is not determined; the simulated user's
  // answer becomes the status and every manager's delegate hears of it.
  // Otherwise nothing happens.
  void requestWhenInUseAuthorization();
  void requestAlwaysAuthorization();

  // While updating and authorised, each fix of the simulation reaches the
  // delegate; starting delivers the current fix when there is one. Denied or
  // restricted: the delegate gets kCLErrorDenied instead.
  void startUpdatingLocation();
  void stopUpdatingLocation();
  bool isUpdatingLocation() const;
  // The last fix delivered to this manager.
  std::shared_ptr<CLLocation> location() const;

 private:
  friend class os::LocationSimulator;
  CLLocationManager() = default;
  void requestAuthorization(CLAuthorizationStatus granted);
  // Delivers on the main queue if the manager still has a delegate then.
  void toDelegate(std::function<void(CLLocationManagerDelegate&, const std::shared_ptr<CLLocationManager>&)> fn);
  void deliverFix(const std::shared_ptr<CLLocation>& fix);

  mutable std::mutex mutex_;
  std::weak_ptr<CLLocationManagerDelegate> delegate_;  // guarded by mutex_
  CLLocationAccuracy desiredAccuracy_ = kCLLocationAccuracyBest;  // guarded by mutex_
  bool updating_ = false;                               // guarded by mutex_
  std::shared_ptr<CLLocation> location_;                // guarded by mutex_
};

// A place, as reverse geocoding answers it. Fields the answer lacks are
// absent.
class CLPlacemark {
 public:
  struct Fields {
    std::optional<std::string> name = std::nullopt;
    std::optional<std::string> thoroughfare = std::nullopt;
    std::optional<std::string> subThoroughfare = std::nullopt;
    std::optional<std::string> locality = std::nullopt;
    std::optional<std::string> subLocality = std::nullopt;
    std::optional<std::string> administrativeArea = std::nullopt;
    std::optional<std::string> subAdministrativeArea = std::nullopt;
    std::optional<std::string> postalCode = std::nullopt;
    std::optional<std::string> ISOcountryCode = std::nullopt;
    std::optional<std::string> country = std::nullopt;
  };
  explicit CLPlacemark(Fields fields, std::shared_ptr<CLLocation> location = nullptr)
      : fields_(std::move(fields)), location_(std::move(location)) {}

  const std::optional<std::string>& name() const { return fields_.name; }
  const std::optional<std::string>& thoroughfare() const { return fields_.thoroughfare; }
  const std::optional<std::string>& subThoroughfare() const { return fields_.subThoroughfare; }
  const std::optional<std::string>& locality() const { return fields_.locality; }
  const std::optional<std::string>& subLocality() const { return fields_.subLocality; }
  const std::optional<std::string>& administrativeArea() const { return fields_.administrativeArea; }
  const std::optional<std::string>& subAdministrativeArea() const { return fields_.subAdministrativeArea; }
  const std::optional<std::string>& postalCode() const { return fields_.postalCode; }
  const std::optional<std::string>& ISOcountryCode() const { return fields_.ISOcountryCode; }
  const std::optional<std::string>& country() const { return fields_.country; }
  const std::shared_ptr<CLLocation>& location() const { return location_; }

 private:
  Fields fields_;
  std::shared_ptr<CLLocation> location_;
};

using CLGeocodeCompletionHandler =
    std::function<void(const std::optional<std::vector<std::shared_ptr<CLPlacemark>>>& placemarks,
                       const std::optional<os::Error>& error)>;

class CLGeocoder : public std::enable_shared_from_this<CLGeocoder> {
 public:
  static std::shared_ptr<CLGeocoder> create();

  // Answers from the simulation, asynchronously on the main queue: the
  // placemarks it holds, else kCLErrorGeocodeFoundNoResult (no placemarks),
  // or the error it was told to give. One request at a time: a second one
  // while the first is pending is answered with kCLErrorGeocodeCanceled.
  void reverseGeocodeLocation(const std::shared_ptr<CLLocation>& location, CLGeocodeCompletionHandler completion);
  // The pending request is answered with kCLErrorGeocodeCanceled.
  void cancelGeocode();
  bool isGeocoding() const;

 private:
  CLGeocoder() = default;
  void finish(uint64_t request, std::optional<std::vector<std::shared_ptr<CLPlacemark>>> placemarks,
              std::optional<os::Error> error);

  mutable std::mutex mutex_;
  uint64_t request_ = 0;                     // guarded by mutex_; the pending request's number
  bool pending_ = false;                     // guarded by mutex_
  CLGeocodeCompletionHandler completion_;    // guarded by mutex_
};

namespace os {

// The device's and the user's side of location, for tests and the program.
// Thread-safe.
class LocationSimulator {
 public:
  static void setLocationServicesEnabled(bool enabled);
  // Sets the status as Settings would; every manager's delegate hears of it.
  static void setAuthorizationStatus(CLAuthorizationStatus status);
  // What the user answers when asked (default: the kind of access asked for).
  // NotDetermined restores the default.
  static void setAuthorizationAnswer(CLAuthorizationStatus answer);
  static int authorizationRequestCount();

  // A new fix: the current location from now on, delivered to every manager
  // that is updating while authorised and services are enabled.
  static void setLocation(std::shared_ptr<CLLocation> location);
  // An error for every updating manager (kCLErrorDomain codes).
  static void failLocation(const os::Error& error);

  // What reverse geocoding answers: these placemarks, or this error.
  static void setPlacemarks(std::vector<std::shared_ptr<CLPlacemark>> placemarks);
  static void setGeocodeError(std::optional<os::Error> error);

  // Back to the defaults: services on, status not determined, no fix, no
  // placemarks, no error.
  static void reset();
};

}  // namespace os
