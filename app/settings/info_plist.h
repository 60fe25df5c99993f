// The main bundle's Info.plist as the app reads it at run time: a string-keyed
// dictionary read once, on first use (safe from any thread), and string
// lookups in it.
#pragma once

#include <optional>
#include <string>

// The value for `key` when the bundle has a non-empty Info.plist holding the
// key with a string value; otherwise none. Thread-safe.
std::optional<std::string> infoPlistString(const std::string& key);

// Forgets the cached dictionary so that the next lookup reads the main bundle
// again (tests that switch bundles).
void TEST_resetCachedInfoDictionary();
