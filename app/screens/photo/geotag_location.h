// GeoTagLocation: the place printed on photos while the geotag preference is
// on. A start makes a new location manager (best accuracy), asks for "always"
// authorisation and starts updates; the first fix stops them and is reverse
// geocoded into "Name, Area" (the first placemark's name and administrative
// area), which becomes userAddress. Switching the preference off clears the
// address and stops updates.
//
// The main screen owns one, calls setUpLocationManager() at load when the
// preference is on and geoTagValueChanged() on "GeoTagManagerDidChange", and
// reads userAddress() when it composes a photo.
//
// Invariants:
//  1. userAddress is only replaced by a complete place text (both names
//     present, no geocoder error); otherwise it keeps its value.
//  2. A geocoder reply that arrives after the preference was switched off
//     (even if it was switched on again since) is dropped; so is a fix that
//     arrives while it is off.
//
// Threads: main thread, as are the manager's callbacks and the geocoder's
// completion; only the services check and the start of updates run on the
// default global queue.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "os/corelocation/location.h"

class GeoTagManager;

// The place text of a reverse-geocoding result, as the completion receives
// it: the first placemark's name and administrative area (each absent when
// there are no placemarks or the field is missing) and the geocoder's error.
// The completion runs once, synchronously.
using GeocodedPlaceNamesCompletion = std::function<void(
    const std::optional<std::string>& name, const std::optional<std::string>& area,
    const std::optional<os::Error>& error)>;
void geocodedPlaceNames(const std::optional<std::vector<std::shared_ptr<CLPlacemark>>>& placemarks,
                        const std::optional<os::Error>& error, const GeocodedPlaceNamesCompletion& completion);

class GeoTagLocation : public CLLocationManagerDelegate, public std::enable_shared_from_this<GeoTagLocation> {
 public:
  static std::shared_ptr<GeoTagLocation> create(std::shared_ptr<GeoTagManager> geoTagManager);

  // A new manager replaces the old one (delegate this, best accuracy); asks
  // for "always" authorisation; on the global queue, starts updates when
  // location services are enabled.
  void setUpLocationManager();
  // Re-reads the preference: on starts as above; off clears userAddress,
  // stops the manager's updates and drops any pending geocoder reply.
  void geoTagValueChanged();

  // The last place text, "" until one is known or after switching off.
  const std::string& userAddress() const { return userAddress_; }
  // Null until the first start.
  const std::shared_ptr<CLLocationManager>& locationManager() const { return locationManager_; }

  // CLLocationManagerDelegate. Not determined: prints "notDetermined" and
  // asks for when-in-use authorisation. A fix: stops updating and reverse
  // geocodes the first location. Errors are printed only ("location
  // unknown", "denied", "other Core Location error", "other error: <text>").
  void locationManagerDidChangeAuthorizationStatus(const std::shared_ptr<CLLocationManager>& manager,
                                                   CLAuthorizationStatus status) override;
  void locationManagerDidUpdateLocations(const std::shared_ptr<CLLocationManager>& manager,
                                         const std::vector<std::shared_ptr<CLLocation>>& locations) override;
  void locationManagerDidFailWithError(const std::shared_ptr<CLLocationManager>& manager,
                                       const os::Error& error) override;

  explicit GeoTagLocation(std::shared_ptr<GeoTagManager> geoTagManager);

 private:
  bool isGeoTagEnabled() const;

  const std::shared_ptr<GeoTagManager> geoTagManager_;
  std::shared_ptr<CLLocationManager> locationManager_;
  std::shared_ptr<CLGeocoder> geocoder_;
  std::string userAddress_;
  // Bumped when the preference is switched off; a geocoder reply carries the
  // value of its request and is dropped when it no longer matches.
  uint64_t offCount_ = 0;
};
