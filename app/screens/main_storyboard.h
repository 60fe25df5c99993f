// The app's main storyboard ("Main", as Info.plist names it): the meter
// screen is its initial controller. Call once before launching the app.
#pragma once

inline constexpr const char* kMainStoryboardName = "Main";

void registerMainStoryboard();
