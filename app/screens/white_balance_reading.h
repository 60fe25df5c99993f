// What a reading shows besides the numbers: the light source typical of a
// temperature, the position on the 37-step temperature slider, and the kelvin
// colour ramp painted on the slider's track. Pure functions; any thread.
#pragma once

#include <array>
#include <string>

#include "os/graphics/color.h"

// One row of the light-source table: an inclusive kelvin range, the name
// (also the localisation key) and the icon's asset name.
struct LightSource {
  float from;
  float to;
  const char* name;
  const char* icon;
};

// The rows in the order they are searched; together they cover 0 ... 10000 K.
extern const std::array<LightSource, 12> kLightSources;
// What applies when no row does (its range is unused).
extern const LightSource kClearSkyLightSource;

// The row for the displayed temperature S (kelvin, compensation included).
// Bounds are whole kelvins: a value between two adjacent rows (2000.5)
// belongs to the upper one. Below 0, above 10000 or NaN: kClearSkyLightSource.
const LightSource& lightSourceForTemperature(float temperature);

// The slider has 37 positions; position k stands for the 300 K band from
// 300(k-1) to 300k, and a shared bound takes the upper band. S is truncated
// towards zero first. 0 when S is outside 0 ... 11100 after truncation, or
// not finite.
float temperatureSliderIndex(float temperature);

// 37 opaque colours for 300, 600, ..., 11100 K, warm to cold.
inline constexpr int kKelvinColorRampCount = 37;
std::array<CGColor, kKelvinColorRampCount> kelvinColorRamp();
// The ramp's colour for one temperature.
CGColor kelvinColor(double kelvin);
