#include "app/screens/white_balance_reading.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <string>

namespace {

TEST(LightSourceTest, RowsAtTheirBounds) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    float temperature;
    const char* name;
    const char* icon;
  };
  const Case cases[] = {
      {0, "Candle", "candle"},
      {2000, "Candle", "candle"},
      {2000.5f, "Sunrise \u2022 Sunset", "sunset"},
      {2001, "Sunrise \u2022 Sunset", "sunset"},
      {2500, "Sunrise \u2022 Sunset", "sunset"},
      {2501, "Tungsten Bulb \u2022 Incandescent", "light"},
      {3000, "Tungsten Bulb \u2022 Incandescent", "light"},
      {3001, "Early AM / Late PM \u2022 Household Light", "luminaria"},
      {4000, "Early AM / Late PM \u2022 Household Light", "luminaria"},
      {4001, "Fluorescent \u2022 White Light", "fluorescent"},
      {5000, "Fluorescent \u2022 White Light", "fluorescent"},
      {5001, "Electronic Flash \u2022 Sun Overhead", "cameraFlash"},
      {5500, "Electronic Flash \u2022 Sun Overhead", "cameraFlash"},
      {5501, "Average Daylight", "sun"},
      {5750, "Average Daylight", "sun"},
      {6000, "Average Daylight", "sun"},
      {6001, "Average Daylight \u2022 Noon Sunlight", "sun"},
      {6250, "Average Daylight \u2022 Noon Sunlight", "sun"},
      {6500.3f, "Overcast", "partlyCloudyDay"},
      {6501, "Overcast", "partlyCloudyDay"},
      {7000, "Overcast", "partlyCloudyDay"},
      {7001, "Cloudy Sky \u2022 Shade", "partlyCloudyDay"},
      {8000, "Cloudy Sky \u2022 Shade", "partlyCloudyDay"},
      {8001, "Shade", "umbrella"},
      {9000, "Shade", "umbrella"},
      {9001, "Shade \u2022 Very Cloudy Sky", "clouds"},
      {10000, "Shade \u2022 Very Cloudy Sky", "clouds"},
      // Outside every row.
      {10000.5f, "Clear Blue Sky", "smilingSun"},
      {-1, "Clear Blue Sky", "smilingSun"},
      {-0.5f, "Clear Blue Sky", "smilingSun"},
      {nan, "Clear Blue Sky", "smilingSun"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.temperature);
    const LightSource& source = lightSourceForTemperature(c.temperature);
    EXPECT_STREQ(source.name, c.name);
    EXPECT_STREQ(source.icon, c.icon);
  }
}

TEST(LightSourceTest, EveryKelvinBetweenTheBoundsHasARow) {
  // Fractional values between adjacent bounds must never fall to the last row.
  for (int k = 0; k < 10000; ++k) {
    for (float offset : {0.0f, 0.25f, 0.5f, 0.75f}) {
      const float s = static_cast<float>(k) + offset;
      ASSERT_STRNE(lightSourceForTemperature(s).name, kClearSkyLightSource.name) << s;
    }
  }
}

TEST(TemperatureSliderIndexTest, Examples) {
  const std::pair<float, float> cases[] = {
      {0, 1},        {299.9f, 1},  {300, 2},      {600, 3},        {5432.6f, 19},
      {11100, 37},   {11100.9f, 37}, {11101, 0},  {-0.5f, 1},      {-1, 0},
      {std::numeric_limits<float>::infinity(), 0}, {std::numeric_limits<float>::quiet_NaN(), 0},
      {1e30f, 0},
  };
  for (const auto& [temperature, position] : cases) {
    EXPECT_EQ(temperatureSliderIndex(temperature), position) << temperature;
  }
}

TEST(KelvinColorRampTest, TellingEntries) {
  const auto ramp = kelvinColorRamp();
  ASSERT_EQ(ramp.size(), 37u);
  struct Case {
    int kelvin;
    int red, green, blue;
  };
  const Case cases[] = {
      {300, 255, 0, 0},       {2100, 255, 142, 27},   {6000, 255, 246, 237}, {6600, 255, 255, 255},
      {6900, 246, 244, 255},  {9000, 210, 223, 255},  {11100, 195, 214, 255},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.kelvin);
    const CGColor& colour = ramp[c.kelvin / 300 - 1];
    EXPECT_EQ(std::lround(colour.red * 255), c.red);
    EXPECT_EQ(std::lround(colour.green * 255), c.green);
    EXPECT_EQ(std::lround(colour.blue * 255), c.blue);
    EXPECT_EQ(colour.alpha, 1.0);
  }
  // Warm to cold: blue never falls along the ramp.
  for (size_t i = 1; i < ramp.size(); ++i) EXPECT_GE(ramp[i].blue, ramp[i - 1].blue);
}

}  // namespace
