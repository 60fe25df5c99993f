#include "app/screens/white_balance_reading.h"

#include <cmath>

const std::array<LightSource, 12> kLightSources = {{
    {0, 2000, "Candle", "candle"},
    {2001, 2500, "Sunrise \u2022 Sunset", "sunset"},
    {2501, 3000, "Tungsten Bulb \u2022 Incandescent", "light"},
    {3001, 4000, "Early AM / Late PM \u2022 Household Light", "luminaria"},
    {4001, 5000, "Fluorescent \u2022 White Light", "fluorescent"},
    {5001, 5500, "Electronic Flash \u2022 Sun Overhead", "cameraFlash"},
    {5501, 6000, "Average Daylight", "sun"},
    {6001, 6500, "Average Daylight \u2022 Noon Sunlight", "sun"},
    {6501, 7000, "Overcast", "partlyCloudyDay"},
    {7001, 8000, "Cloudy Sky \u2022 Shade", "partlyCloudyDay"},
    {8001, 9000, "Shade", "umbrella"},
    {9001, 10000, "Shade \u2022 Very Cloudy Sky", "clouds"},
}};

const LightSource kClearSkyLightSource = {10000, 10000, "Clear Blue Sky", "smilingSun"};

const LightSource& lightSourceForTemperature(float temperature) {
  // NaN fails both comparisons.
  if (!(temperature >= kLightSources.front().from && temperature <= kLightSources.back().to)) {
    return kClearSkyLightSource;
  }
  // Rows are contiguous: the first whose upper bound is not below S. A value
  // between two rows' bounds thereby goes to the upper row.
  for (const auto& row : kLightSources) {
    if (temperature <= row.to) return row;
  }
  return kClearSkyLightSource;
}

float temperatureSliderIndex(float temperature) {
  if (!std::isfinite(temperature)) return 0;
  const double n = std::trunc(static_cast<double>(temperature));
  if (n < 0 || n > 300.0 * kKelvinColorRampCount) return 0;
  // The largest k with 300(k-1) <= n <= 300k.
  const int k = static_cast<int>(n) / 300 + 1;
  return static_cast<float>(k > kKelvinColorRampCount ? kKelvinColorRampCount : k);
}

CGColor kelvinColor(double kelvin) {
  const double t = kelvin / 100;
  double red, green, blue;
  if (t <= 66) {
    red = 255;
    green = 99.4708025861 * std::log(t) - 161.1195681661;
  } else {
    red = 329.698727446 * std::pow(t - 60, -0.1332047592);
    green = 288.1221695283 * std::pow(t - 60, -0.0755148492);
  }
  if (t >= 66) {
    blue = 255;
  } else if (t <= 19) {
    blue = 0;
  } else {
    blue = 138.5177312231 * std::log(t - 10) - 305.0447927307;
  }
  auto component = [](double v) { return v > 255 ? 1.0 : v < 0 ? 0.0 : v / 255; };
  return CGColor::sRGB(component(red), component(green), component(blue), 1.0);
}

std::array<CGColor, kKelvinColorRampCount> kelvinColorRamp() {
  std::array<CGColor, kKelvinColorRampCount> ramp;
  for (int i = 1; i <= kKelvinColorRampCount; ++i) ramp[i - 1] = kelvinColor(300.0 * i);
  return ramp;
}
