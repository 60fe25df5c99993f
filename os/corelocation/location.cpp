#include "os/corelocation/location.h"

#include <algorithm>

#include "os/dispatch/queue.h"

namespace {

// The simulation's state. Lock order: a manager's or geocoder's mutex may be
// held while taking this one, never the other way round.
struct Simulation {
  std::mutex mutex;
  // Everything below is guarded by mutex.
  bool servicesEnabled = true;
  CLAuthorizationStatus status = CLAuthorizationStatus::NotDetermined;
  std::optional<CLAuthorizationStatus> answer;
  int requests = 0;
  std::shared_ptr<CLLocation> location;
  std::vector<std::weak_ptr<CLLocationManager>> managers;
  std::vector<std::shared_ptr<CLPlacemark>> placemarks;
  std::optional<os::Error> geocodeError;
};

Simulation& simulation() {
  static Simulation* s = new Simulation;  // never destroyed: main-queue blocks may run during exit
  return *s;
}

bool isAuthorized(CLAuthorizationStatus status) {
  return status == CLAuthorizationStatus::AuthorizedAlways || status == CLAuthorizationStatus::AuthorizedWhenInUse;
}

// Whether fixes may flow now.
bool fixesAllowed() {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  return s.servicesEnabled && isAuthorized(s.status);
}

os::Error makeError(CLError code, std::string description) {
  return os::Error::withDescription(kCLErrorDomain, code, std::move(description));
}

std::vector<std::shared_ptr<CLLocationManager>> liveManagers() {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  std::vector<std::shared_ptr<CLLocationManager>> out;
  std::vector<std::weak_ptr<CLLocationManager>> kept;
  for (const auto& weak : s.managers) {
    if (auto manager = weak.lock()) {
      out.push_back(std::move(manager));
      kept.push_back(weak);
    }
  }
  s.managers = std::move(kept);
  return out;
}

}  // namespace

// ---- CLLocation ----

CLLocation::CLLocation(CLLocationDegrees latitude, CLLocationDegrees longitude)
    : CLLocation({latitude, longitude}, 0, 5, -1, os::Date::now()) {}

// ---- CLLocationManager ----

std::shared_ptr<CLLocationManager> CLLocationManager::create() {
  auto manager = std::shared_ptr<CLLocationManager>(new CLLocationManager);
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  s.managers.push_back(manager);
  return manager;
}

CLLocationManager::~CLLocationManager() = default;

bool CLLocationManager::locationServicesEnabled() {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  return s.servicesEnabled;
}

CLAuthorizationStatus CLLocationManager::authorizationStatus() {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  return s.status;
}

std::shared_ptr<CLLocationManagerDelegate> CLLocationManager::delegate() const {
  std::lock_guard lock(mutex_);
  return delegate_.lock();
}

void CLLocationManager::setDelegate(std::weak_ptr<CLLocationManagerDelegate> delegate) {
  {
    std::lock_guard lock(mutex_);
    delegate_ = std::move(delegate);
  }
  toDelegate([](CLLocationManagerDelegate& d, const std::shared_ptr<CLLocationManager>& m) {
    d.locationManagerDidChangeAuthorizationStatus(m, authorizationStatus());
  });
}

CLLocationAccuracy CLLocationManager::desiredAccuracy() const {
  std::lock_guard lock(mutex_);
  return desiredAccuracy_;
}

void CLLocationManager::setDesiredAccuracy(CLLocationAccuracy accuracy) {
  std::lock_guard lock(mutex_);
  desiredAccuracy_ = accuracy;
}

void CLLocationManager::toDelegate(
    std::function<void(CLLocationManagerDelegate&, const std::shared_ptr<CLLocationManager>&)> fn) {
  auto self = shared_from_this();
  os::DispatchQueue::main()->async([self, fn = std::move(fn)] {
    if (auto d = self->delegate()) fn(*d, self);
  });
}

void CLLocationManager::requestWhenInUseAuthorization() {
  requestAuthorization(CLAuthorizationStatus::AuthorizedWhenInUse);
}

void CLLocationManager::requestAlwaysAuthorization() { requestAuthorization(CLAuthorizationStatus::AuthorizedAlways); }

void CLLocationManager::requestAuthorization(CLAuthorizationStatus asked) {
  CLAuthorizationStatus answer;
  {
    auto& s = simulation();
    std::lock_guard lock(s.mutex);
    if (s.status != CLAuthorizationStatus::NotDetermined) return;
    ++s.requests;
    answer = s.answer.value_or(asked);
  }
  os::LocationSimulator::setAuthorizationStatus(answer);
}

void CLLocationManager::startUpdatingLocation() {
  {
    std::lock_guard lock(mutex_);
    updating_ = true;
  }
  const CLAuthorizationStatus status = authorizationStatus();
  if (status == CLAuthorizationStatus::Denied || status == CLAuthorizationStatus::Restricted) {
    toDelegate([](CLLocationManagerDelegate& d, const std::shared_ptr<CLLocationManager>& m) {
      d.locationManagerDidFailWithError(m, makeError(kCLErrorDenied, "Location access was denied."));
    });
    return;
  }
  // Not yet authorised: the fix follows the grant (setAuthorizationStatus).
  std::shared_ptr<CLLocation> current;
  {
    auto& s = simulation();
    std::lock_guard lock(s.mutex);
    if (s.servicesEnabled && isAuthorized(s.status)) current = s.location;
  }
  if (current) deliverFix(current);
}

void CLLocationManager::stopUpdatingLocation() {
  std::lock_guard lock(mutex_);
  updating_ = false;
}

bool CLLocationManager::isUpdatingLocation() const {
  std::lock_guard lock(mutex_);
  return updating_;
}

std::shared_ptr<CLLocation> CLLocationManager::location() const {
  std::lock_guard lock(mutex_);
  return location_;
}

void CLLocationManager::deliverFix(const std::shared_ptr<CLLocation>& fix) {
  auto self = shared_from_this();
  os::DispatchQueue::main()->async([self, fix] {
    // Checked on delivery: a stop or a revoked permission in between wins.
    if (!self->isUpdatingLocation() || !fixesAllowed()) return;
    {
      std::lock_guard lock(self->mutex_);
      self->location_ = fix;
    }
    if (auto d = self->delegate()) d->locationManagerDidUpdateLocations(self, {fix});
  });
}

// ---- CLGeocoder ----

std::shared_ptr<CLGeocoder> CLGeocoder::create() { return std::shared_ptr<CLGeocoder>(new CLGeocoder); }

void CLGeocoder::reverseGeocodeLocation(const std::shared_ptr<CLLocation>& location,
                                        CLGeocodeCompletionHandler completion) {
  if (!completion) return;
  std::optional<std::vector<std::shared_ptr<CLPlacemark>>> placemarks;
  std::optional<os::Error> error;
  {
    auto& s = simulation();
    std::lock_guard lock(s.mutex);
    if (s.geocodeError) {
      error = s.geocodeError;
    } else if (!location || s.placemarks.empty()) {
      error = makeError(kCLErrorGeocodeFoundNoResult, "No place was found for the location.");
    } else {
      placemarks = s.placemarks;
    }
  }
  uint64_t request;
  {
    std::lock_guard lock(mutex_);
    if (pending_) {
      os::DispatchQueue::main()->async([completion = std::move(completion)] {
        completion(std::nullopt, makeError(kCLErrorGeocodeCanceled, "A geocoding request is already in progress."));
      });
      return;
    }
    pending_ = true;
    request = ++request_;
    completion_ = std::move(completion);
  }
  auto self = shared_from_this();
  os::DispatchQueue::main()->async([self, request, placemarks = std::move(placemarks), error = std::move(error)] {
    self->finish(request, placemarks, error);
  });
}

void CLGeocoder::finish(uint64_t request, std::optional<std::vector<std::shared_ptr<CLPlacemark>>> placemarks,
                        std::optional<os::Error> error) {
  CLGeocodeCompletionHandler completion;
  {
    std::lock_guard lock(mutex_);
    if (!pending_ || request != request_) return;
    pending_ = false;
    completion = std::move(completion_);
    completion_ = nullptr;
  }
  completion(placemarks, error);
}

void CLGeocoder::cancelGeocode() {
  CLGeocodeCompletionHandler completion;
  {
    // The answer already on its way then finds nothing pending.
    std::lock_guard lock(mutex_);
    if (!pending_) return;
    pending_ = false;
    completion = std::move(completion_);
    completion_ = nullptr;
  }
  if (completion) {
    os::DispatchQueue::main()->async([completion = std::move(completion)] {
      completion(std::nullopt, makeError(kCLErrorGeocodeCanceled, "The geocoding request was cancelled."));
    });
  }
}

bool CLGeocoder::isGeocoding() const {
  std::lock_guard lock(mutex_);
  return pending_;
}

// ---- LocationSimulator ----

namespace os {

void LocationSimulator::setLocationServicesEnabled(bool enabled) {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  s.servicesEnabled = enabled;
}

void LocationSimulator::setAuthorizationStatus(CLAuthorizationStatus status) {
  std::shared_ptr<CLLocation> current;
  {
    auto& s = simulation();
    std::lock_guard lock(s.mutex);
    s.status = status;
    current = s.location;
  }
  for (const auto& manager : liveManagers()) {
    manager->toDelegate([status](CLLocationManagerDelegate& d, const std::shared_ptr<CLLocationManager>& m) {
      d.locationManagerDidChangeAuthorizationStatus(m, status);
    });
    // Granted access lets a waiting manager's updates flow.
    if (isAuthorized(status) && current && manager->isUpdatingLocation()) manager->deliverFix(current);
  }
}

void LocationSimulator::setAuthorizationAnswer(CLAuthorizationStatus answer) {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  s.answer = answer == CLAuthorizationStatus::NotDetermined ? std::nullopt : std::optional(answer);
}

int LocationSimulator::authorizationRequestCount() {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  return s.requests;
}

void LocationSimulator::setLocation(std::shared_ptr<CLLocation> location) {
  {
    auto& s = simulation();
    std::lock_guard lock(s.mutex);
    s.location = location;
  }
  if (!location) return;
  for (const auto& manager : liveManagers()) {
    if (manager->isUpdatingLocation()) manager->deliverFix(location);
  }
}

void LocationSimulator::failLocation(const os::Error& error) {
  for (const auto& manager : liveManagers()) {
    if (!manager->isUpdatingLocation()) continue;
    manager->toDelegate([error](CLLocationManagerDelegate& d, const std::shared_ptr<CLLocationManager>& m) {
      d.locationManagerDidFailWithError(m, error);
    });
  }
}

void LocationSimulator::setPlacemarks(std::vector<std::shared_ptr<CLPlacemark>> placemarks) {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  s.placemarks = std::move(placemarks);
}

void LocationSimulator::setGeocodeError(std::optional<os::Error> error) {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  s.geocodeError = std::move(error);
}

void LocationSimulator::reset() {
  auto& s = simulation();
  std::lock_guard lock(s.mutex);
  s.servicesEnabled = true;
  s.status = CLAuthorizationStatus::NotDetermined;
  s.answer.reset();
  s.requests = 0;
  s.location.reset();
  s.placemarks.clear();
  s.geocodeError.reset();
}

}  // namespace os
