// The geotag location with the device and the user played by
// os::LocationSimulator.
#include "app/screens/photo/geotag_location.h"

#include <gtest/gtest.h>

#include "app/preferences/preferences.h"
#include "app/tests/app_test_support.h"
#include "os/foundation/console.h"

namespace {

using drosil::testing::AppTest;
using os::LocationSimulator;

std::shared_ptr<CLPlacemark> placemark(std::optional<std::string> name, std::optional<std::string> area) {
  return std::make_shared<CLPlacemark>(CLPlacemark::Fields{.name = std::move(name), .administrativeArea = std::move(area)});
}

class GeoTagLocationTest : public AppTest {
 protected:
  GeoTagLocationTest() { LocationSimulator::reset(); }
  ~GeoTagLocationTest() override { LocationSimulator::reset(); }

  void setGeoTag(bool on) {
    geoTagManager_->setIsGeoTagEnabled(on);
    location_->geoTagValueChanged();
  }
  // A fix reported to the current manager, as the platform delivers it.
  void deliverFix() {
    location_->locationManagerDidUpdateLocations(location_->locationManager(), {std::make_shared<CLLocation>(51.52, -0.16)});
  }

  const std::shared_ptr<GeoTagManager> geoTagManager_ = std::make_shared<GeoTagManager>();
  const std::shared_ptr<GeoTagLocation> location_ = GeoTagLocation::create(geoTagManager_);
};

TEST_F(GeoTagLocationTest, SwitchingOnFindsThePlaceOnce) {
  EXPECT_EQ(location_->locationManager(), nullptr);
  EXPECT_EQ(LocationSimulator::authorizationRequestCount(), 0);

  LocationSimulator::setPlacemarks({placemark("Baker Street", "Greater London"), placemark("Elsewhere", "Nowhere")});
  setGeoTag(true);
  auto manager = location_->locationManager();
  ASSERT_NE(manager, nullptr);
  EXPECT_EQ(manager->desiredAccuracy(), kCLLocationAccuracyBest);
  EXPECT_EQ(LocationSimulator::authorizationRequestCount(), 1);
  EXPECT_EQ(CLLocationManager::authorizationStatus(), CLAuthorizationStatus::AuthorizedAlways);
  drain();
  EXPECT_TRUE(manager->isUpdatingLocation());

  LocationSimulator::setLocation(std::make_shared<CLLocation>(51.52, -0.16));
  drain();
  EXPECT_EQ(location_->userAddress(), "Baker Street, Greater London");
  EXPECT_FALSE(manager->isUpdatingLocation());  // one fix per start
}

TEST_F(GeoTagLocationTest, ServicesOffStartsNothing) {
  LocationSimulator::setLocationServicesEnabled(false);
  setGeoTag(true);
  drain();
  ASSERT_NE(location_->locationManager(), nullptr);
  EXPECT_FALSE(location_->locationManager()->isUpdatingLocation());
}

TEST_F(GeoTagLocationTest, IncompleteAnswersKeepThePreviousPlace) {
  LocationSimulator::setPlacemarks({placemark("Baker Street", "Greater London")});
  setGeoTag(true);
  deliverFix();
  drain();
  ASSERT_EQ(location_->userAddress(), "Baker Street, Greater London");

  const struct {
    const char* what;
    std::vector<std::shared_ptr<CLPlacemark>> placemarks;
    std::optional<os::Error> error;
  } answers[] = {
      {"no area", {placemark("Abbey Road", std::nullopt)}, std::nullopt},
      {"no name", {placemark(std::nullopt, "Greater London")}, std::nullopt},
      {"no placemarks", {}, std::nullopt},
      {"an error", {placemark("Abbey Road", "Greater London")},
       os::Error::withDescription(kCLErrorDomain, kCLErrorNetwork, "offline")},
  };
  for (const auto& answer : answers) {
    LocationSimulator::setPlacemarks(answer.placemarks);
    LocationSimulator::setGeocodeError(answer.error);
    deliverFix();
    drain();
    EXPECT_EQ(location_->userAddress(), "Baker Street, Greater London") << answer.what;
  }
}

TEST_F(GeoTagLocationTest, SwitchingOffClearsThePlaceAndStops) {
  LocationSimulator::setPlacemarks({placemark("Baker Street", "Greater London")});
  LocationSimulator::setLocation(std::make_shared<CLLocation>(51.52, -0.16));
  setGeoTag(true);
  drain();
  ASSERT_EQ(location_->userAddress(), "Baker Street, Greater London");

  setGeoTag(true);  // asked again: a new manager, still updating
  drain();
  auto manager = location_->locationManager();
  LocationSimulator::setLocation(nullptr);
  setGeoTag(false);
  EXPECT_EQ(location_->userAddress(), "");
  EXPECT_FALSE(manager->isUpdatingLocation());
}

// A reverse-geocoding reply used to be applied whenever it came, so a photo
// taken after the geotag was switched off could still carry the place.
TEST_F(GeoTagLocationTest, NoPlaceArrivesAfterSwitchingOff) {
  LocationSimulator::setPlacemarks({placemark("Baker Street", "Greater London")});

  // The reply is on its way when the user switches off (and on again).
  setGeoTag(true);
  deliverFix();
  setGeoTag(false);
  drain();
  EXPECT_EQ(location_->userAddress(), "");
  setGeoTag(true);
  deliverFix();
  setGeoTag(false);
  setGeoTag(true);
  drain();
  EXPECT_EQ(location_->userAddress(), "");

  // The start of updates runs on a global queue and can land after the
  // switch off; its fix is dropped.
  setGeoTag(false);
  setGeoTag(true);
  setGeoTag(false);
  drain();
  LocationSimulator::setLocation(std::make_shared<CLLocation>(51.52, -0.16));
  drain();
  EXPECT_EQ(location_->userAddress(), "");
}

TEST_F(GeoTagLocationTest, AuthorisationAndFailuresArePrintedOnly) {
  os::ConsoleCapture console;
  // Still undecided: the user is asked for when-in-use access.
  auto undecided = CLLocationManager::create();
  location_->locationManagerDidChangeAuthorizationStatus(undecided, CLAuthorizationStatus::NotDetermined);
  EXPECT_EQ(LocationSimulator::authorizationRequestCount(), 1);
  EXPECT_EQ(CLLocationManager::authorizationStatus(), CLAuthorizationStatus::AuthorizedWhenInUse);
  location_->locationManagerDidChangeAuthorizationStatus(undecided, CLAuthorizationStatus::Denied);
  EXPECT_EQ(LocationSimulator::authorizationRequestCount(), 1);

  setGeoTag(true);
  drain();
  const struct {
    os::Error error;
    const char* printed;
  } failures[] = {
      {os::Error::withDescription(kCLErrorDomain, kCLErrorLocationUnknown, "unknown"), "location unknown\n"},
      {os::Error::withDescription(kCLErrorDomain, kCLErrorDenied, "denied"), "denied\n"},
      {os::Error::withDescription(kCLErrorDomain, kCLErrorNetwork, "network"), "other Core Location error\n"},
      {os::Error::withDescription("NSPOSIXErrorDomain", 5, "Input/output error"), "other error: Input/output error\n"},
  };
  std::string expected;
  for (const auto& failure : failures) {
    location_->locationManagerDidFailWithError(location_->locationManager(), failure.error);
    expected += failure.printed;
  }
  const std::string printed = console.text();
  EXPECT_EQ(printed.rfind("notDetermined\n", 0), 0u) << printed;
  EXPECT_NE(printed.find(expected), std::string::npos) << printed;
  EXPECT_EQ(location_->userAddress(), "");
  EXPECT_TRUE(location_->locationManager()->isUpdatingLocation());
}

TEST(GeocodedPlaceNamesTest, TakesTheFirstPlacemarksNames) {
  const auto error = os::Error::withDescription(kCLErrorDomain, kCLErrorGeocodeFoundNoResult, "none");
  using Placemarks = std::optional<std::vector<std::shared_ptr<CLPlacemark>>>;
  const struct {
    Placemarks placemarks;
    std::optional<os::Error> error;
    std::optional<std::string> name, area;
  } cases[] = {
      {Placemarks{{placemark("Baker Street", "Greater London"), placemark("B", "C")}}, std::nullopt, "Baker Street",
       "Greater London"},
      {Placemarks{{placemark("Baker Street", std::nullopt)}}, std::nullopt, "Baker Street", std::nullopt},
      {Placemarks{{nullptr}}, std::nullopt, std::nullopt, std::nullopt},
      {Placemarks{std::vector<std::shared_ptr<CLPlacemark>>{}}, error, std::nullopt, std::nullopt},
      {std::nullopt, error, std::nullopt, std::nullopt},
  };
  for (const auto& c : cases) {
    int calls = 0;
    geocodedPlaceNames(c.placemarks, c.error, [&](const auto& name, const auto& area, const auto& failure) {
      ++calls;
      EXPECT_EQ(name, c.name);
      EXPECT_EQ(area, c.area);
      EXPECT_EQ(failure.has_value(), c.error.has_value());
    });
    EXPECT_EQ(calls, 1);
  }
}

}  // namespace
