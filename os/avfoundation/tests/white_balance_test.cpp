#include "os/avfoundation/white_balance.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "os/avfoundation/av_error.h"
#include "os/avfoundation/colour_science.h"

namespace {

using namespace os::avfoundation::detail;

// Gains a grey-world camera would set under a light of chromaticity xy.
AVCaptureWhiteBalanceGains gainsForXY(double x, double y) {
  auto gains = gainsForCameraRGB(cameraRGBFromXYZ(xyzFromUV(uvFromXY(x, y))));
  EXPECT_TRUE(gains.has_value());
  return *gains;
}

TEST(WhiteBalanceTest, StandardIlluminantsGivePublishedTemperatures) {
  struct Case {
    const char* name;
    double x, y;
    double cct;
  };
  const Case cases[] = {
      {"A", 0.44757, 0.40745, 2856},
      {"D50", 0.34567, 0.35850, 5003},
      {"D65", 0.31271, 0.32902, 6504},
  };
  for (const auto& c : cases) {
    auto values = temperatureAndTintForGains(gainsForXY(c.x, c.y));
    ASSERT_TRUE(values.has_value()) << c.name;
    EXPECT_NEAR(values->temperature, c.cct, 3.0) << c.name;
  }
  // A lies on the locus; the daylights lie above it (Duv about +0.003).
  EXPECT_NEAR(temperatureAndTintForGains(gainsForXY(0.44757, 0.40745))->tint, 0.0, 0.05);
  EXPECT_NEAR(temperatureAndTintForGains(gainsForXY(0.31271, 0.32902))->tint, 3000 * 0.0032, 0.5);
}

TEST(WhiteBalanceTest, RoundTripAlongTheLocus) {
  for (double T = 2000; T <= 15000; T += 250) {
    for (double duv : {-0.01, -0.003, 0.0, 0.001, 0.003, 0.01}) {
      const float tint = static_cast<float>(3000 * duv);
      auto gains = gainsForTemperatureAndTint({static_cast<float>(T), tint});
      ASSERT_TRUE(gains.has_value()) << T << " " << duv;
      EXPECT_FLOAT_EQ(std::min({gains->redGain, gains->greenGain, gains->blueGain}), 1.0f);
      auto back = temperatureAndTintForGains(*gains);
      ASSERT_TRUE(back.has_value());
      EXPECT_NEAR(back->temperature, T, 0.5) << "duv " << duv;
      EXPECT_NEAR(back->tint, tint, 0.01) << "T " << T;
    }
  }
}

TEST(WhiteBalanceTest, ScaledGainsGiveTheSameAnswer) {
  const AVCaptureWhiteBalanceGains base = *gainsForTemperatureAndTint({4321.0f, 7.5f});
  const auto expected = *temperatureAndTintForGains(base);
  for (float k : {1e-3f, 0.5f, 3.0f, 1000.0f}) {
    auto values = temperatureAndTintForGains({base.redGain * k, base.greenGain * k, base.blueGain * k});
    ASSERT_TRUE(values.has_value());
    EXPECT_NEAR(values->temperature, expected.temperature, 0.05) << k;
    EXPECT_NEAR(values->tint, expected.tint, 0.001) << k;
  }
}

TEST(WhiteBalanceTest, RefusesGainsThatAreNotFiniteAndPositive) {
  const float inf = std::numeric_limits<float>::infinity();
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const AVCaptureWhiteBalanceGains bad[] = {
      {0, 1, 1}, {1, -2, 1}, {1, 1, -0.0f}, {nan, 1, 1}, {1, inf, 1}, {1, 1, -inf},
  };
  for (const auto& g : bad) {
    auto values = temperatureAndTintForGains(g);
    ASSERT_FALSE(values.has_value()) << g.redGain << " " << g.greenGain << " " << g.blueGain;
    EXPECT_EQ(values.error().domain(), AVFoundationErrorDomain);
    EXPECT_EQ(values.error().code(), AVErrorOperationNotAllowed);
  }
}

TEST(WhiteBalanceTest, RefusesTemperaturesOutsideTheLocus) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  const AVCaptureWhiteBalanceTemperatureAndTintValues bad[] = {
      {0, 0}, {-5000, 0}, {500, 0}, {2e5f, 0}, {nan, 0}, {5000, nan}, {5000, 1e6f},
  };
  for (const auto& v : bad) {
    EXPECT_FALSE(gainsForTemperatureAndTint(v).has_value()) << v.temperature << " " << v.tint;
  }
}

}  // namespace
