#include "app/screens/photo/geotag_location.h"


#include "app/preferences/preferences.h"
#include "os/dispatch/queue.h"
#include "os/foundation/console.h"

void geocodedPlaceNames(const std::optional<std::vector<std::shared_ptr<CLPlacemark>>>& placemarks,
                        const std::optional<os::Error>& error, const GeocodedPlaceNamesCompletion& completion) {
  std::optional<std::string> name, area;
  if (placemarks && !placemarks->empty() && placemarks->front()) {
    name = placemarks->front()->name();
    area = placemarks->front()->administrativeArea();
  }
  if (completion) completion(name, area, error);
}

std::shared_ptr<GeoTagLocation> GeoTagLocation::create(std::shared_ptr<GeoTagManager> geoTagManager) {
  return std::make_shared<GeoTagLocation>(std::move(geoTagManager));
}

GeoTagLocation::GeoTagLocation(std::shared_ptr<GeoTagManager> geoTagManager)
    : geoTagManager_(geoTagManager ? std::move(geoTagManager) : std::make_shared<GeoTagManager>()) {}

bool GeoTagLocation::isGeoTagEnabled() const { return geoTagManager_->isGeoTagEnabled(); }

void GeoTagLocation::setUpLocationManager() {
  locationManager_ = CLLocationManager::create();
  locationManager_->setDelegate(weak_from_this());
  locationManager_->setDesiredAccuracy(kCLLocationAccuracyBest);
  locationManager_->requestAlwaysAuthorization();
  os::DispatchQueue::global(os::QualityOfService::Default)->async([manager = locationManager_] {
    if (CLLocationManager::locationServicesEnabled()) manager->startUpdatingLocation();
  });
}

void GeoTagLocation::geoTagValueChanged() {
  if (isGeoTagEnabled()) {
    setUpLocationManager();
    return;
  }
  userAddress_.clear();
  ++offCount_;
  if (geocoder_) geocoder_->cancelGeocode();
  if (locationManager_) locationManager_->stopUpdatingLocation();
}

void GeoTagLocation::locationManagerDidChangeAuthorizationStatus(const std::shared_ptr<CLLocationManager>& manager,
                                                                 CLAuthorizationStatus status) {
  if (status != CLAuthorizationStatus::NotDetermined) return;
  os::Console::writef("notDetermined\n");
  if (manager) manager->requestWhenInUseAuthorization();
}

void GeoTagLocation::locationManagerDidUpdateLocations(const std::shared_ptr<CLLocationManager>& manager,
                                                       const std::vector<std::shared_ptr<CLLocation>>& locations) {
  if (locationManager_) locationManager_->stopUpdatingLocation();
  if (manager && manager != locationManager_) manager->stopUpdatingLocation();
  // The start runs on a global queue and can land after a switch off.
  if (!isGeoTagEnabled() || locations.empty() || !locations.front()) return;

  geocoder_ = CLGeocoder::create();
  std::weak_ptr<GeoTagLocation> weak = weak_from_this();
  const uint64_t offCount = offCount_;
  geocoder_->reverseGeocodeLocation(
      locations.front(), [weak, offCount](const auto& placemarks, const auto& error) {
        auto self = weak.lock();
        if (!self || self->offCount_ != offCount || !self->isGeoTagEnabled()) return;
        geocodedPlaceNames(placemarks, error, [&self](const auto& name, const auto& area, const auto& failure) {
          if (name && area && !failure) self->userAddress_ = *name + ", " + *area;
        });
      });
}

void GeoTagLocation::locationManagerDidFailWithError(const std::shared_ptr<CLLocationManager>&,
                                                     const os::Error& error) {
  if (error.domain() == kCLErrorDomain) {
    switch (error.code()) {
      case kCLErrorLocationUnknown:
        os::Console::writef("location unknown\n");
        break;
      case kCLErrorDenied:
        os::Console::writef("denied\n");
        break;
      default:
        os::Console::writef("other Core Location error\n");
        break;
    }
  } else {
    os::Console::writef("other error: %s\n", error.localizedDescription().c_str());
  }
}
