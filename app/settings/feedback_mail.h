// What the settings screen's mails carry: their subjects and the HTML head
// that describes the device and the app, so the developer can tell where a
// message comes from. Main thread (reads the device profile and the main
// bundle).
#pragma once

#include <string>

inline constexpr const char* kFeatureRequestMailSubject = "Drosil Feature Request";
inline constexpr const char* kFeedbackMailSubject = "Feedback - Drosil App";
inline constexpr const char* kContactMailSubject = "Drosil User";

// The running OS version as "major.minor.patch" in decimal; missing or
// non-numeric parts print as 0 ("16.0" gives "16.0.0").
std::string osVersionString();
// "<CFBundleShortVersionString>(<CFBundleVersion>)", e.g. "1.4(23)". A value
// the bundle lacks prints as empty text.
std::string appVersionString();
// The main bundle's "CFBundleDisplayName"; empty when it has none.
std::string appDisplayName();
// The hardware model identifier ("iPhone14,2").
std::string machineName();

// "<p>OS Version: ...<br>App version: ...<br>App Name: ...<br>Machine Name:
// ...<br><br>Hello Quorin,<br>" -- the paragraph is left open for the user.
std::string deviceInfoHTML();
