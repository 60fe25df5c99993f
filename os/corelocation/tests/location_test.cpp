#include "os/corelocation/location.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "os/dispatch/queue.h"

namespace {

using os::LocationSimulator;

// Runs on the main queue only, so no lock is needed.
class RecordingDelegate : public CLLocationManagerDelegate {
 public:
  void locationManagerDidChangeAuthorizationStatus(const std::shared_ptr<CLLocationManager>& manager,
                                                   CLAuthorizationStatus status) override {
    events.push_back("status " + std::to_string(int(status)));
    onMainThread = onMainThread && os::DispatchQueue::isMainThread();
    // As the meter does: ask when nobody has decided yet.
    if (status == CLAuthorizationStatus::NotDetermined) manager->requestWhenInUseAuthorization();
  }
  void locationManagerDidUpdateLocations(const std::shared_ptr<CLLocationManager>& manager,
                                         const std::vector<std::shared_ptr<CLLocation>>& locations) override {
    events.push_back("fix");
    fixes.insert(fixes.end(), locations.begin(), locations.end());
    manager->stopUpdatingLocation();
  }
  void locationManagerDidFailWithError(const std::shared_ptr<CLLocationManager>&, const os::Error& error) override {
    events.push_back("error " + std::to_string(error.code()));
  }
  std::vector<std::string> take() {
    os::dispatch::drainUntilIdle();
    return std::exchange(events, {});
  }
  std::vector<std::string> events;
  std::vector<std::shared_ptr<CLLocation>> fixes;
  bool onMainThread = true;
};

class LocationTest : public ::testing::Test {
 protected:
  void SetUp() override { LocationSimulator::reset(); }
  void TearDown() override {
    os::dispatch::drainUntilIdle();
    LocationSimulator::reset();
  }
  std::shared_ptr<RecordingDelegate> delegate_ = std::make_shared<RecordingDelegate>();
};

TEST_F(LocationTest, AuthorisationThenOneFix) {
  LocationSimulator::setLocation(std::make_shared<CLLocation>(48.8584, 2.2945));
  auto manager = CLLocationManager::create();
  manager->setDelegate(delegate_);
  manager->setDesiredAccuracy(kCLLocationAccuracyBest);
  EXPECT_EQ(manager->desiredAccuracy(), kCLLocationAccuracyBest);
  ASSERT_TRUE(CLLocationManager::locationServicesEnabled());
  manager->startUpdatingLocation();  // not yet authorised: waits

  // The delegate hears "not determined", asks, and the user allows.
  EXPECT_EQ(delegate_->take(), (std::vector<std::string>{"status 0", "status 4", "fix"}));
  EXPECT_EQ(CLLocationManager::authorizationStatus(), CLAuthorizationStatus::AuthorizedWhenInUse);
  EXPECT_EQ(manager->instanceAuthorizationStatus(), CLAuthorizationStatus::AuthorizedWhenInUse);
  EXPECT_EQ(LocationSimulator::authorizationRequestCount(), 1);
  ASSERT_EQ(delegate_->fixes.size(), 1u);
  EXPECT_EQ(delegate_->fixes[0]->coordinate(), (CLLocationCoordinate2D{48.8584, 2.2945}));
  EXPECT_EQ(manager->location(), delegate_->fixes[0]);
  EXPECT_TRUE(delegate_->onMainThread);

  // Stopped after the first fix: later fixes do not arrive; asking again
  // does not prompt again.
  LocationSimulator::setLocation(std::make_shared<CLLocation>(1, 1));
  manager->requestAlwaysAuthorization();
  EXPECT_TRUE(delegate_->take().empty());
  EXPECT_EQ(LocationSimulator::authorizationRequestCount(), 1);

  // Errors reach an updating manager.
  manager->startUpdatingLocation();
  delegate_->take();
  manager->startUpdatingLocation();
  LocationSimulator::failLocation(os::Error(kCLErrorDomain, kCLErrorLocationUnknown));
  EXPECT_EQ(delegate_->take(), (std::vector<std::string>{"fix", "error 0"}));
}

TEST_F(LocationTest, RefusedAccess) {
  LocationSimulator::setAuthorizationAnswer(CLAuthorizationStatus::Denied);
  LocationSimulator::setLocation(std::make_shared<CLLocation>(10, 20));
  auto manager = CLLocationManager::create();
  manager->setDelegate(delegate_);
  EXPECT_EQ(delegate_->take(), (std::vector<std::string>{"status 0", "status 2"}));
  manager->startUpdatingLocation();
  EXPECT_EQ(delegate_->take(), std::vector<std::string>{"error 1"});
  EXPECT_TRUE(delegate_->fixes.empty());

  // Services off: no fix even when allowed.
  LocationSimulator::setLocationServicesEnabled(false);
  LocationSimulator::setAuthorizationStatus(CLAuthorizationStatus::AuthorizedAlways);
  EXPECT_EQ(delegate_->take(), std::vector<std::string>{"status 3"});
  EXPECT_FALSE(CLLocationManager::locationServicesEnabled());
}

TEST_F(LocationTest, ReverseGeocoding) {
  auto geocoder = CLGeocoder::create();
  auto where = std::make_shared<CLLocation>(48.8584, 2.2945);
  struct Answer {
    std::optional<std::vector<std::shared_ptr<CLPlacemark>>> placemarks;
    std::optional<os::Error> error;
    bool onMain = false;
  };
  auto ask = [&] {
    auto answers = std::make_shared<std::vector<Answer>>();
    geocoder->reverseGeocodeLocation(where, [answers](const auto& placemarks, const auto& error) {
      answers->push_back({placemarks, error, os::DispatchQueue::isMainThread()});
    });
    return answers;
  };

  // Nothing known about the place.
  auto none = ask();
  EXPECT_TRUE(geocoder->isGeocoding());
  os::dispatch::drainUntilIdle();
  ASSERT_EQ(none->size(), 1u);
  EXPECT_FALSE((*none)[0].placemarks.has_value());
  EXPECT_EQ((*none)[0].error->code(), kCLErrorGeocodeFoundNoResult);

  LocationSimulator::setPlacemarks({std::make_shared<CLPlacemark>(
      CLPlacemark::Fields{.name = "Champ de Mars", .locality = "Paris", .administrativeArea = "Île-de-France"})});
  auto found = ask();
  auto second = ask();  // one request at a time
  os::dispatch::drainUntilIdle();
  ASSERT_EQ(found->size(), 1u);
  ASSERT_TRUE((*found)[0].placemarks.has_value());
  EXPECT_FALSE((*found)[0].error.has_value());
  EXPECT_TRUE((*found)[0].onMain);
  const auto& place = (*found)[0].placemarks->at(0);
  EXPECT_EQ(place->name(), "Champ de Mars");
  EXPECT_EQ(place->administrativeArea(), "Île-de-France");
  EXPECT_FALSE(place->postalCode().has_value());
  ASSERT_EQ(second->size(), 1u);
  EXPECT_EQ((*second)[0].error->code(), kCLErrorGeocodeCanceled);

  // Cancelled: one answer, the cancellation.
  auto cancelled = ask();
  geocoder->cancelGeocode();
  EXPECT_FALSE(geocoder->isGeocoding());
  os::dispatch::drainUntilIdle();
  ASSERT_EQ(cancelled->size(), 1u);
  EXPECT_EQ((*cancelled)[0].error->code(), kCLErrorGeocodeCanceled);

  LocationSimulator::setGeocodeError(os::Error(kCLErrorDomain, kCLErrorNetwork));
  auto offline = ask();
  os::dispatch::drainUntilIdle();
  ASSERT_EQ(offline->size(), 1u);
  EXPECT_EQ((*offline)[0].error->code(), kCLErrorNetwork);
}

}  // namespace
