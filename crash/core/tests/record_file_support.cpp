#include "crash/core/tests/record_file_support.h"

#include <filesystem>
#include <fstream>
#include <sstream>

namespace crashtest {

std::string readFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

void writeFile(const std::string& path, const std::string& contents) {
  std::filesystem::create_directories(std::filesystem::path(path).parent_path());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out << contents;
}

std::vector<nlohmann::ordered_json> readRecordLines(const std::string& path, size_t* lineCount) {
  std::vector<nlohmann::ordered_json> lines;
  std::istringstream in(readFile(path));
  std::string line;
  size_t count = 0;
  while (std::getline(in, line)) {
    ++count;
    auto parsed = nlohmann::ordered_json::parse(line, nullptr, false);
    if (!parsed.is_discarded()) lines.push_back(std::move(parsed));
  }
  if (lineCount) *lineCount = count;
  return lines;
}

}  // namespace crashtest
