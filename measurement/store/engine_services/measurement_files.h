// Where the measurement library keeps its files, and the file operations it
// needs: paths under Application Support "Devuvo/Measurement", preferences
// paths, moving an old preferences suite into the measurement directory,
// backup exclusion and deletion.
//
// A missing Application Support or Library directory is logged through the
// measurement monitor (level 2, codes 19001 and 19000) and gives an empty
// path. Thread-safe.
#pragma once

#include <string>
#include <string_view>

#include "os/foundation/error.h"

inline constexpr const char* kAPMMeasurementDirectory = "Devuvo/Measurement";
inline constexpr int64_t kAPMFilesCodeLibraryDirectoryMissing = 19000;
inline constexpr int64_t kAPMFilesCodeApplicationSupportDirectoryMissing = 19001;

// Application Support + "/Devuvo/Measurement/" + name; "" for an empty name.
std::string APMMeasurementDirectoryPathForFile(std::string_view fileName);
// The same, with ".plist" appended unless the name has that extension.
std::string APMMeasurementPlistPath(std::string_view fileName);
// Library + "/Preferences/" + suite name + ".plist"; "" for an empty name.
std::string APMPreferencesPlistPath(std::string_view suiteName);

// Moves the suite's preferences file to APMMeasurementPlistPath of the same
// name and removes the suite from the app's preferences. True when there was
// no file to move, when it was moved (parent folders made as needed), or when
// the measurement file already existed and the old one was deleted; false
// when the old path is a folder, the new path a folder, or a file operation
// failed.
bool APMMoveUserDefaultsSuiteToMeasurementDirectory(std::string_view suiteName);

// Marks the file excluded from device backups; the platform's error when that
// fails.
os::Status APMExcludePathFromBackup(const std::string& path);
// Removes the file or folder. An empty path is the measurement error code 1
// "Received empty path for deleting file"; a file-manager failure passes its
// error on.
os::Status APMDeleteFileAtPath(const std::string& path);
