// Reading and writing the small files that the crash tests leave or inspect,
// shared by the capture-core and reporting tests.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

namespace crashtest {

// The whole file, or "" when it cannot be read.
std::string readFile(const std::string& path);
// Replaces the file's contents, creating the folders above it.
void writeFile(const std::string& path, const std::string& contents);
// Each line parsed with its keys in file order (lines that do not parse are
// left out); the file's line count in *lineCount when given.
std::vector<nlohmann::ordered_json> readRecordLines(const std::string& path, size_t* lineCount = nullptr);

}  // namespace crashtest
