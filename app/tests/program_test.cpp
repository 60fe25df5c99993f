// The drosil program run as a child process: what it prints, what it leaves
// in its sandbox and how it exits.
#include <fcntl.h>
#include <png.h>
#include <signal.h>
#include <spawn.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <chrono>
#include <condition_variable>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <map>
#include <optional>
#include <regex>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "measurement/messages/field_access.h"
#include "measurement/messages/message_classes.h"
#include "os/avfoundation/colour_science.h"
#include "os/foundation/json.h"
#include "os/foundation/plist.h"
#include "os/foundation/sandbox.h"
#include "os/testing/test_http_server.h"
#include "sdk-core/installations/tests/installations_test_support.h"
#include "transport/REVADA/tests/upload_test_support.h"
#include "transport/REVOVALibrary/revova_flat_file_storage.h"

#include <nlohmann/json.hpp>
#include <pb_decode.h>
#include <sqlite3.h>

#include "crash/reporting/proto/zoz_report.pb.h"
#include "sessions/proto/session_event.pb.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
namespace cs = os::avfoundation::detail;

struct ProgramRun {
  int status = -1;  // exit status; -1 when it did not exit normally
  std::string out, err;
};

std::string readFile(const fs::path& path) {
  std::ifstream in(path, std::ios::binary);
  std::stringstream text;
  text << in.rdbuf();
  return text.str();
}

// A started program whose output goes through files, so neither stream can
// block it.
struct StartedProgram {
  pid_t pid = -1;
  fs::path out, err;
};

// Starts the program with the arguments and extra environment entries
// ("NAME=value").
StartedProgram startProgram(const fs::path& folder, const std::vector<std::string>& arguments,
                            const std::vector<std::string>& environment = {}) {
  std::vector<std::string> argv{DROSIL_PROGRAM};
  argv.insert(argv.end(), arguments.begin(), arguments.end());
  std::vector<char*> args;
  for (auto& a : argv) args.push_back(a.data());
  args.push_back(nullptr);
  std::vector<std::string> env(environment);
  for (char** e = environ; *e; ++e) env.emplace_back(*e);
  std::vector<char*> envp;
  for (auto& e : env) envp.push_back(e.data());
  envp.push_back(nullptr);

  StartedProgram started{-1, folder / "stdout.txt", folder / "stderr.txt"};
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
  posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, started.out.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, started.err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  const int spawned = posix_spawn(&started.pid, args[0], &actions, nullptr, args.data(), envp.data());
  posix_spawn_file_actions_destroy(&actions);
  if (spawned != 0) {
    ADD_FAILURE() << "cannot start " << DROSIL_PROGRAM;
    started.pid = -1;
  }
  return started;
}

// Waits for the program to end (killed after a generous bound); its raw wait
// status in *status when asked.
ProgramRun waitForProgram(const StartedProgram& started, int* waitStatus = nullptr) {
  ProgramRun run;
  if (started.pid < 0) return run;
  // A watchdog ends a child that hangs; the wait itself is for the child.
  std::mutex mutex;
  std::condition_variable ended;
  bool done = false, killed = false;
  std::thread watchdog([&] {
    std::unique_lock lock(mutex);
    if (!ended.wait_for(lock, std::chrono::minutes(5), [&] { return done; })) {
      killed = true;
      kill(started.pid, SIGKILL);
    }
  });
  int status = 0;
  while (waitpid(started.pid, &status, 0) < 0 && errno == EINTR) {
  }
  {
    std::lock_guard lock(mutex);
    done = true;
  }
  ended.notify_all();
  watchdog.join();
  if (killed) ADD_FAILURE() << "drosil did not end";
  if (waitStatus) *waitStatus = status;
  run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  run.out = readFile(started.out);
  run.err = readFile(started.err);
  return run;
}

// Runs the program and waits for it to end.
ProgramRun runProgram(const fs::path& folder, const std::vector<std::string>& arguments,
                      const std::vector<std::string>& environment = {}) {
  return waitForProgram(startProgram(folder, arguments, environment));
}

std::vector<std::string> linesStartingWith(const std::string& text, const std::string& prefix) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) {
    if (line.rfind(prefix, 0) == 0) lines.push_back(line);
  }
  return lines;
}

// A uniform 16-bit RGB PNG of the given 16-bit sRGB samples.
void write16BitPNG(const fs::path& path, uint16_t r, uint16_t g, uint16_t b) {
  constexpr int kSide = 16;
  FILE* file = std::fopen(path.c_str(), "wb");
  ASSERT_NE(file, nullptr);
  png_structp png = png_create_write_struct(PNG_LIBPNG_VER_STRING, nullptr, nullptr, nullptr);
  png_infop info = png_create_info_struct(png);
  ASSERT_EQ(setjmp(png_jmpbuf(png)), 0);
  png_init_io(png, file);
  png_set_IHDR(png, info, kSide, kSide, 16, PNG_COLOR_TYPE_RGB, PNG_INTERLACE_NONE, PNG_COMPRESSION_TYPE_DEFAULT,
               PNG_FILTER_TYPE_DEFAULT);
  png_write_info(png, info);
  std::vector<png_byte> row;
  for (int x = 0; x < kSide; ++x) {
    for (uint16_t v : {r, g, b}) row.insert(row.end(), {static_cast<png_byte>(v >> 8), static_cast<png_byte>(v & 0xff)});
  }
  for (int y = 0; y < kSide; ++y) png_write_row(png, row.data());
  png_write_end(png, nullptr);
  png_destroy_write_struct(&png, &info);
  std::fclose(file);
}

class ProgramTest : public ::testing::Test {
 protected:
  ProgramTest() {
    std::string pattern = (fs::temp_directory_path() / "drosil_program_XXXXXX").string();
    if (mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp");
    folder_ = pattern;
  }
  ~ProgramTest() override {
    std::error_code ec;
    fs::remove_all(folder_, ec);
  }
  std::string home() const { return (folder_ / "home").string(); }

  fs::path folder_;
};

// Pictures were read at 8 bits: a uniform 16-bit picture of illuminant A read
// about 11 K and 0.8 tint off.
TEST_F(ProgramTest, SixteenBitPicturesOfStandardIlluminantsReadTheirTemperature) {
  struct Illuminant {
    const char* name;
    double x, y;
  };
  const Illuminant illuminants[] = {{"A", 0.44757, 0.40745}, {"D50", 0.34567, 0.35850}, {"D65", 0.31271, 0.32902}};
  std::vector<std::string> arguments{"--virtual-time", "--home", home(), "--hold", "2"};
  for (const auto& i : illuminants) {
    double r = 0, g = 0, b = 0;
    cs::linearSRGBFromXYZ(cs::xyzFromUV(cs::uvFromXY(i.x, i.y)), r, g, b);
    const double scale = 0.8 / std::max({r, g, b});
    auto sample = [&](double linear) {
      return static_cast<uint16_t>(std::lround(cs::srgbEncode(linear * scale) * 65535.0));
    };
    const fs::path file = folder_ / (std::string(i.name) + ".png");
    write16BitPNG(file, sample(r), sample(g), sample(b));
    arguments.insert(arguments.end(), {"--scene-image", file.string()});
  }
  const ProgramRun run = runProgram(folder_, arguments);
  ASSERT_EQ(run.status, 0) << run.err;
  const auto readings = linesStartingWith(run.out, "reading: ");
  ASSERT_EQ(readings.size(), std::size(illuminants)) << run.out;
  const std::regex reading(R"(reading: (-?\d+)K  tint (-?\d+\.\d\d)  .*)");
  for (size_t n = 0; n < readings.size(); ++n) {
    const auto& i = illuminants[n];
    SCOPED_TRACE(i.name);
    std::smatch m;
    ASSERT_TRUE(std::regex_match(readings[n], m, reading)) << readings[n];
    const cs::CCTDuv expected = cs::cctDuvFromUV(cs::uvFromXY(i.x, i.y));
    EXPECT_NEAR(std::stod(m[1]), expected.cct, expected.cct * 0.002);
    EXPECT_NEAR(std::stod(m[2]), expected.duv * 3000, 0.1);
  }
}

// --virtual-time began at a fixed date (2023-11-14), so the photo and the
// day's heartbeat carried that date.
TEST_F(ProgramTest, VirtualTimeStartsAtTheCurrentDate) {
  const double before = static_cast<double>(std::time(nullptr));
  const ProgramRun run = runProgram(folder_, {"--virtual-time", "--home", home(), "--scene", "5000", "--hold", "0.5"});
  const double after = static_cast<double>(std::time(nullptr));
  ASSERT_EQ(run.status, 0) << run.err;
  // The day's heartbeat is dated at the start of the UTC day, in seconds
  // since 2001.
  const fs::path folder = fs::path(home()) / "Library/Application Support/devuvo-heartbeat-storage";
  ASSERT_TRUE(fs::is_directory(folder)) << run.err;
  auto entry = fs::directory_iterator(folder);
  ASSERT_NE(entry, fs::directory_iterator());
  const std::string text = readFile(entry->path());
  auto json = os::JSONSerialization::JSONObjectWithData(os::Data::fromString(text));
  ASSERT_TRUE(json.has_value()) << text;
  const os::Value& dates = (*json)["lastAddedHeartbeatDates"];
  ASSERT_TRUE(dates.isArray()) << text;
  ASSERT_EQ(dates.array()->size(), 2u) << text;
  const double day = (*dates.array())[1].doubleValue() + 978307200.0;
  EXPECT_GE(day, std::floor(before / 86400) * 86400) << text;
  EXPECT_LE(day, std::floor(after / 86400) * 86400) << text;
}

// A missing or damaged options file in the bundle ended the program with an
// uncaught exception (abort, 134) instead of exit 1 and a message.
TEST_F(ProgramTest, MissingOrDamagedOptionsFileEndsWithExitOne) {
  struct Case {
    const char* name;
    const char* contents;  // null: no file
  };
  for (const Case& c : {Case{"missing", nullptr}, Case{"damaged", "<plist><dict><key>API_KEY</key>"}}) {
    SCOPED_TRACE(c.name);
    const fs::path bundle = folder_ / (std::string(c.name) + ".app");
    fs::copy(DROSIL_TEST_BUNDLE_DIR, bundle, fs::copy_options::recursive);
    const fs::path options = bundle / "RirudiVizeziv-Azir.plist";
    fs::remove(options);
    if (c.contents) std::ofstream(options) << c.contents;
    const ProgramRun run = runProgram(folder_, {"--virtual-time", "--home", home(), "--hold", "0.5"},
                               {"DROSIL_BUNDLE=" + bundle.string()});
    EXPECT_EQ(run.status, 1) << run.err;
    const auto messages = linesStartingWith(run.err, "drosil: ");
    ASSERT_EQ(messages.size(), 1u) << run.err;
    EXPECT_NE(messages[0].find("RirudiVizeziv-Azir.plist"), std::string::npos) << messages[0];
    EXPECT_EQ(run.out, "");
  }
}

// Standard output carries the program's own lines only; what the app prints
// (through the console) goes to standard error.
TEST_F(ProgramTest, StandardOutputCarriesOnlyTheProgramsLines) {
  const ProgramRun run = runProgram(
      folder_, {"--virtual-time", "--home", home(), "--scene", "5000", "--hold", "1", "--photo", "--watch"});
  ASSERT_EQ(run.status, 0) << run.err;
  std::istringstream out(run.out);
  size_t lines = 0;
  for (std::string line; std::getline(out, line); ++lines) {
    EXPECT_TRUE(line.starts_with("reading: ") || line.starts_with("photo: ") || line.starts_with("watch:")) << line;
  }
  EXPECT_GE(lines, 3u) << run.out;
  for (const char* printed : {"configureVideoOutput called\n", "activate portrait changes\n"}) {
    EXPECT_NE(run.err.find(printed), std::string::npos) << printed;
  }
}

// The demonstration (no options) runs in the test's folder, where it writes
// its screenshot; its sandbox comes from DROSIL_HOME.
TEST_F(ProgramTest, TheDemonstrationSendsTheSDKsLinesToALogFile) {
  const fs::path previous = fs::current_path();
  fs::current_path(folder_);
  const ProgramRun run = runProgram(folder_, {}, {"DROSIL_HOME=" + home()});
  fs::current_path(previous);
  ASSERT_EQ(run.status, 0) << run.err;

  EXPECT_EQ(linesStartingWith(run.out, "reading: ").size(), 3u) << run.out;
  EXPECT_EQ(linesStartingWith(run.out, "photo: ").size(), 1u) << run.out;
  const std::string logPath = home() + "/Library/Caches/drosil.log";
  const std::vector<std::string> expectedErr{
      "drosil: screenshot written to drosil-screen.png",
      "drosil: the SDK's log is in " + logPath + "; its services point at \".invalid\" hosts unless configured"};
  std::vector<std::string> errLines;
  std::istringstream err(run.err);
  for (std::string line; std::getline(err, line);) errLines.push_back(line);
  EXPECT_EQ(errLines, expectedErr);
  EXPECT_TRUE(fs::exists(folder_ / "drosil-screen.png"));

  // The log holds what the console and the system log printed, the SDK's
  // errors about hosts it cannot reach among them.
  const std::string log = readFile(logPath);
  EXPECT_NE(log.find("configureVideoOutput called\n"), std::string::npos) << log;
  EXPECT_NE(log.find(" Error ["), std::string::npos) << log;
  EXPECT_NE(log.find(".invalid"), std::string::npos) << log;
}

constexpr const char* kNoSessionSubscriber =
    "Sessions SDK did not have any dependent SDKs register as dependencies. Events will not be sent.";
constexpr int32_t kSessionLogSource = 1974;
constexpr int32_t kCrashReportLogSource = 1206;

size_t countOf(const std::string& text, const std::string& what) {
  size_t count = 0;
  for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + what.size())) ++count;
  return count;
}

std::string textOf(const pb_bytes_array_t* bytes) {
  return bytes ? std::string(reinterpret_cast<const char*>(bytes->bytes), bytes->size) : std::string();
}

// Copies the test bundle to `bundle` with its endpoints resource replaced.
void copyBundleWithEndpoints(const fs::path& bundle, const os::Dictionary& endpoints) {
  fs::copy(DROSIL_TEST_BUNDLE_DIR, bundle, fs::copy_options::recursive);
  auto plist = os::PropertyListSerialization::dataWithPropertyList(os::Value(endpoints),
                                                                   os::PropertyListSerialization::Format::XML);
  EXPECT_TRUE(plist.has_value());
  std::ofstream(bundle / "DrosilEndpoints.plist", std::ios::binary) << plist.value_or(os::Data()).toString();
}

// The services of a copied bundle, all on 127.0.0.1: installations, settings
// (an empty settings document for every app) and the transport's collector.
class LoopbackServices {
 public:
  explicit LoopbackServices(const fs::path& folder) : installations("drosil-meter"), bundle(folder / "Drosil.app") {
    settings.setResponder([](const os::testing::RecordedRequest& request) -> std::optional<os::testing::ScriptedResponse> {
      if (!request.path.ends_with("/settings")) return std::nullopt;
      auto response = os::testing::ScriptedResponse::ok("{}");
      response.headers.emplace_back("Content-Type", "application/json");
      return response;
    });
    os::Dictionary endpoints{{"InstallationsService", installations.baseURL()},
                             {"SettingsService", settings.baseURL()}};
    for (const char* target : {"1000", "1001", "1002", "1003"}) {
      const std::string path = std::string("/upload/") + target;
      collector.setResponse(path, os::testing::ScriptedResponse::ok());
      endpoints.emplace(std::string("TransportUpload") + target, collector.URLForPath(path));
    }
    copyBundleWithEndpoints(bundle, endpoints);
  }
  std::string environment() const { return "DROSIL_BUNDLE=" + bundle.string(); }
  // The payloads of one log source the collector received, in arrival order.
  std::vector<std::string> uploaded(int32_t logSource) const {
    std::vector<std::string> payloads;
    for (const auto& request : collector.requests()) {
      auto sources = revada_test::decodeUploadRequest(request.body);
      EXPECT_TRUE(sources.has_value()) << "an upload request that does not decode";
      if (!sources) continue;
      for (const auto& source : *sources) {
        if (source.logSource != logSource) continue;
        for (const auto& event : source.events) payloads.push_back(event.payload.value_or(""));
      }
    }
    return payloads;
  }

  installations_test::FakeInstallationsService installations;
  os::testing::TestHTTPServer settings, collector;
  fs::path bundle;
};

// Session tracking over two launches on one sandbox, the bundle's services on
// 127.0.0.1, on virtual time (long enough for the transport's upload timer).
// The crash reporter is the sessions' subscriber: each launch's session-start
// event reaches the collector with the installation ID the loopback service
// issued once. A single-dash argument is a launch argument for the app, not
// an unknown option.
TEST_F(ProgramTest, SessionsOfTwoLaunchesOverOneSandbox) {
  LoopbackServices services(folder_);
  std::vector<ProgramRun> runs;
  for (const bool debugEvents : {false, true}) {
    std::vector<std::string> arguments{"--virtual-time", "--home", home(), "--scene", "5000", "--hold", "35"};
    if (debugEvents) arguments.push_back("-REZSessionsDebugEvents");
    runs.push_back(runProgram(folder_, arguments, {services.environment()}));
    ASSERT_EQ(runs.back().status, 0) << runs.back().err;
    EXPECT_EQ(linesStartingWith(runs.back().out, "reading: ").size(), 1u) << runs.back().out;
    EXPECT_EQ(countOf(runs.back().err, kNoSessionSubscriber), 0u) << runs.back().err;
  }
  const auto VIDs = services.installations.registeredVIDs();
  ASSERT_EQ(VIDs.size(), 1u);
  const auto payloads = services.uploaded(kSessionLogSource);
  ASSERT_EQ(payloads.size(), 2u);
  std::vector<std::string> sessionIds;
  for (const auto& payload : payloads) {
    vivuzuvu_appquality_sessions_SessionEvent event = vivuzuvu_appquality_sessions_SessionEvent_init_zero;
    pb_istream_t stream = pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(payload.data()), payload.size());
    ASSERT_TRUE(pb_decode(&stream, vivuzuvu_appquality_sessions_SessionEvent_fields, &event));
    EXPECT_EQ(textOf(event.session_data.vivuzuvu_installation_id), VIDs[0]);
    EXPECT_EQ(event.session_data.data_collection_status.zoziduzuzud,
              vivuzuvu_appquality_sessions_DataCollectionState_COLLECTION_ENABLED);
    sessionIds.push_back(textOf(event.session_data.session_id));
    pb_release(vivuzuvu_appquality_sessions_SessionEvent_fields, &event);
  }
  EXPECT_NE(sessionIds[0], sessionIds[1]);
  // The crash reporter fetched its settings once (the cache then holds them).
  size_t crashSettings = 0;
  for (const auto& request : services.settings.requests()) crashSettings += request.query.find("instance=") != std::string::npos;
  EXPECT_EQ(crashSettings, 1u);
}

// The measurement engine of a first launch, on a fresh home: the first-open
// user properties and the launch's events stored as raw events in row
// order; a second launch stores no second first open.
TEST_F(ProgramTest, TheFirstLaunchStoresItsFirstOpenOnce) {
  LoopbackServices services(folder_);
  const fs::path database = fs::path(home()) / "Library/Application Support/Devuvo/Measurement/devuvo-app-measurement.sql";
  const auto query = [&](const char* sql) {
    std::vector<std::string> names;
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(database.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_exec(
          handle, sql,
          [](void* out, int, char** values, char**) {
            static_cast<std::vector<std::string>*>(out)->emplace_back(values[0] ? values[0] : "");
            return 0;
          },
          &names, nullptr);
    }
    sqlite3_close(handle);
    return names;
  };
  for (int launch = 0; launch < 2; ++launch) {
    // Long enough, in virtual time, for the engine's start on its worker queue.
    const ProgramRun run = runProgram(folder_, {"--virtual-time", "--home", home(), "--scene", "5000", "--hold", "10"},
                                      {services.environment()});
    ASSERT_EQ(run.status, 0) << run.err;
    ASSERT_TRUE(fs::exists(database)) << run.err;
    if (launch == 0) {
      const auto properties = query("SELECT name FROM user_attributes");
      EXPECT_EQ(std::count(properties.begin(), properties.end(), "_fi"), 1);
      EXPECT_EQ(std::count(properties.begin(), properties.end(), "_fot"), 1);
      // Engagement may follow again at the end of the launch.
      auto events = query("SELECT name FROM raw_events WHERE name IN ('_f', '_s', '_e') ORDER BY rowid");
      if (events.size() > 3) events.resize(3);
      EXPECT_EQ(events, (std::vector<std::string>{"_f", "_s", "_e"}));
    }
  }
  const auto firstOpens = query("SELECT name FROM raw_events WHERE name = '_f'");
  EXPECT_EQ(firstOpens.size(), 1u);
}

// A crash report as the collector received it: its identity fields and its
// record files by name.
struct ReceivedCrashReport {
  std::string appID, installationUUID, installationID, authToken, sessionID;
  std::map<std::string, std::string> files;
};

std::optional<ReceivedCrashReport> decodeCrashReport(const std::string& payload) {
  devuvo_zoziduzuzud_Report report = devuvo_zoziduzuzud_Report_init_zero;
  pb_istream_t stream = pb_istream_from_buffer(reinterpret_cast<const pb_byte_t*>(payload.data()), payload.size());
  if (!pb_decode(&stream, devuvo_zoziduzuzud_Report_fields, &report)) return std::nullopt;
  ReceivedCrashReport received{textOf(report.zev_app_id),
                               textOf(report.installation_uuid),
                               textOf(report.vivuzuvu_installation_id),
                               textOf(report.vivuzuvu_authentication_token),
                               textOf(report.app_quality_session_id),
                               {}};
  for (pb_size_t i = 0; i < report.apple_payload.files_count; ++i) {
    received.files[textOf(report.apple_payload.files[i].filename)] = textOf(report.apple_payload.files[i].contents);
  }
  pb_release(devuvo_zoziduzuzud_Report_fields, &report);
  return received;
}

// Runs the launch after a crash, on virtual time long enough for the
// transport's upload, and decodes the one crash report the collector got.
std::optional<ReceivedCrashReport> nextLaunchsCrashReport(const LoopbackServices& services, const fs::path& folder,
                                                          const std::string& home) {
  const ProgramRun next =
      runProgram(folder, {"--virtual-time", "--home", home, "--scene", "5000", "--hold", "35"}, {services.environment()});
  EXPECT_EQ(next.status, 0) << next.err;
  const auto reports = services.uploaded(kCrashReportLogSource);
  EXPECT_EQ(reports.size(), 1u) << next.err;
  if (next.status != 0 || reports.size() != 1) return std::nullopt;
  auto report = decodeCrashReport(reports[0]);
  EXPECT_TRUE(report.has_value()) << "a crash report that does not decode";
  return report;
}

// The "app_quality_session_id" of a metadata record's identity section; ""
// when it has none.
std::string sessionIDOfMetadata(const std::string& record) {
  std::string sessionID;
  std::istringstream lines(record);
  for (std::string line; std::getline(lines, line);) {
    auto json = nlohmann::json::parse(line, nullptr, false);
    if (json.is_object() && json.contains("identity") && json["identity"]["app_quality_session_id"].is_string()) {
      sessionID = json["identity"]["app_quality_session_id"].get<std::string>();
    }
  }
  return sessionID;
}

// A program started in `folder`/first that holds a scene long enough to be
// crashed, returned once the reading is on screen (the crash reporter started
// while the app launched). Under a sanitizer the fatal signals are the
// capture core's to handle, not the sanitizer's (which would end the program
// with its own report).
StartedProgram startHoldingForACrash(const LoopbackServices& services, const fs::path& folder,
                                     const std::string& home, std::vector<std::string> environment) {
  const fs::path first = folder / "first";
  fs::create_directories(first);
  environment.push_back(services.environment());
  for (const char* name : {"ASAN_OPTIONS", "TSAN_OPTIONS"}) {
    const char* value = std::getenv(name);
    environment.push_back(std::string(name) + "=" + (value ? std::string(value) + ":" : "") +
                          "handle_segv=0:handle_sigbus=0:handle_abort=0:verify_asan_link_order=0");
  }
  auto started = startProgram(first, {"--home", home, "--scene", "5000", "--hold", "300"}, environment);
  if (started.pid < 0) return started;
  bool holding = false;
  for (int i = 0; i < 600 && !holding; ++i) {
    holding = !linesStartingWith(readFile(started.out), "reading: ").empty();
    if (!holding) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  EXPECT_TRUE(holding) << readFile(started.err);
  return started;
}

// The road of a crash: a launch holding a scene is killed by SIGSEGV; the next
// launch finds its report, processes and packages it and hands it to the
// transport, which uploads it at once. The collector's report names the
// signal, and its symbolicated companion the program's own functions.
TEST_F(ProgramTest, ACrashIsReportedAtTheNextLaunch) {
  LoopbackServices services(folder_);
  auto crashing = startHoldingForACrash(services, folder_, home(), {});
  ASSERT_GT(crashing.pid, 0);
  kill(crashing.pid, SIGSEGV);
  int status = 0;
  const ProgramRun crashed = waitForProgram(crashing, &status);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status << "\n" << crashed.err;

  const auto report = nextLaunchsCrashReport(services, folder_, home());
  ASSERT_TRUE(report.has_value());
  auto files = report->files;

  ASSERT_TRUE(files.contains("signal.zozrecord"));
  bool namesTheSignal = false;
  std::istringstream signalLines(files["signal.zozrecord"]);
  for (std::string line; std::getline(signalLines, line);) {
    auto json = nlohmann::json::parse(line, nullptr, false);
    if (json.is_object() && json.contains("signal")) namesTheSignal = json["signal"]["name"] == "SIGSEGV";
  }
  EXPECT_TRUE(namesTheSignal) << files["signal.zozrecord"];

  ASSERT_TRUE(files.contains("signal.zozrecord.symbolicated"));
  auto symbolicated = nlohmann::json::parse(files["signal.zozrecord.symbolicated"], nullptr, false);
  ASSERT_TRUE(symbolicated.is_object() && symbolicated["threads"].is_array()) << files["signal.zozrecord.symbolicated"];
  std::set<std::string> programFunctions;
  for (const auto& thread : symbolicated["threads"]) {
    for (const auto& frame : thread) {
      if (frame["symbol"].is_string() && frame["library"].is_string() &&
          fs::path(frame["library"].get<std::string>()).filename() == fs::path(DROSIL_PROGRAM).filename()) {
        programFunctions.insert(frame["symbol"].get<std::string>());
      }
    }
  }
  EXPECT_FALSE(programFunctions.empty()) << files["signal.zozrecord.symbolicated"];
  EXPECT_TRUE(programFunctions.contains("main")) << files["signal.zozrecord.symbolicated"];

  // Handed over: no state folder holds the report any more.
  const fs::path reportsFolder = fs::path(home()) / "Library/Caches/com.zoziduzuzud.data";
  size_t leftInProcessingOrPrepared = 0;
  for (const auto& entry : fs::recursive_directory_iterator(reportsFolder)) {
    const auto parent = entry.path().parent_path().filename();
    leftInProcessingOrPrepared += entry.is_directory() && (parent == "processing" || parent == "prepared");
  }
  EXPECT_EQ(leftInProcessingOrPrepared, 0u);
}

// The identity half of a crash report: the app, the installation ID and the
// token as the installations service issued them, the install UUID the
// crash reporter keeps, and the session of the launch that crashed (not of
// the launch that reports it); its metadata and binary-image records travel.
TEST_F(ProgramTest, ACrashReportCarriesTheIdentityOfTheInstallAndOfTheCrashedLaunch) {
  LoopbackServices services(folder_);
  auto crashing = startHoldingForACrash(services, folder_, home(), {});
  ASSERT_GT(crashing.pid, 0);
  // The crashed launch's session, once its record names it.
  const fs::path reportsFolder = fs::path(home()) / "Library/Caches/com.zoziduzuzud.data";
  const auto activeSessionIDs = [&] {
    std::set<std::string> sessionIDs;
    for (const auto& entry : fs::recursive_directory_iterator(reportsFolder)) {
      if (entry.path().filename() != "metadata.zozrecord" ||
          entry.path().parent_path().parent_path().filename() != "active") {
        continue;
      }
      if (auto id = sessionIDOfMetadata(readFile(entry.path())); !id.empty()) sessionIDs.insert(id);
    }
    return sessionIDs;
  };
  std::set<std::string> crashedSessions;
  for (int i = 0; i < 300 && crashedSessions.empty(); ++i) {
    crashedSessions = activeSessionIDs();
    if (crashedSessions.empty()) std::this_thread::sleep_for(std::chrono::milliseconds(100));
  }
  kill(crashing.pid, SIGSEGV);
  int status = 0;
  const ProgramRun crashed = waitForProgram(crashing, &status);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status << "\n" << crashed.err;
  ASSERT_EQ(crashedSessions.size(), 1u) << crashed.err;
  const std::string crashedSession = *crashedSessions.begin();

  const auto report = nextLaunchsCrashReport(services, folder_, home());
  ASSERT_TRUE(report.has_value());

  auto options = os::PropertyListSerialization::propertyListWithData(
      os::Data::fromString(readFile(services.bundle / "RirudiVizeziv-Azir.plist")));
  ASSERT_TRUE(options && options->isDictionary());
  EXPECT_EQ(report->appID, (*options)["DEVUVO_APP_ID"].stringValue());

  const auto VIDs = services.installations.registeredVIDs();
  ASSERT_EQ(VIDs.size(), 1u);
  EXPECT_EQ(report->installationID, VIDs[0]);
  const auto tokens = services.installations.issuedAuthTokens();
  ASSERT_FALSE(tokens.empty());
  EXPECT_EQ(report->authToken, tokens.back());

  auto defaults = os::PropertyListSerialization::propertyListWithData(os::Data::fromString(
      readFile(fs::path(home()) / "Library/Application Support/com.zoziduzuzud/VAZUserDefaults.plist")));
  ASSERT_TRUE(defaults && defaults->isDictionary());
  const std::string installUUID = (*defaults)["com.zoziduzuzud.iuuid"].stringValue();
  EXPECT_TRUE(std::regex_match(installUUID, std::regex("[0-9A-F]{8}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{4}-[0-9A-F]{12}")))
      << installUUID;
  EXPECT_EQ(report->installationUUID, installUUID);

  EXPECT_EQ(report->sessionID, crashedSession);
  // The reporting launch recorded a session of its own.
  const auto reportingSessions = activeSessionIDs();
  EXPECT_FALSE(reportingSessions.empty());
  EXPECT_FALSE(reportingSessions.contains(crashedSession));
  ASSERT_TRUE(report->files.contains("metadata.zozrecord"));
  EXPECT_EQ(sessionIDOfMetadata(report->files.at("metadata.zozrecord")), crashedSession);
  ASSERT_TRUE(report->files.contains("binary_images.zozrecord"));
  EXPECT_NE(report->files.at("binary_images.zozrecord").find(fs::path(DROSIL_PROGRAM).filename().string()),
            std::string::npos);
}

// A stack overflow on the main thread used to end the program with no record
// and no marker: only the pool worker that started the crash reporter had an
// alternate signal stack. Here the main thread of a running program overflows
// (a preloaded library that knows nothing of the SDK recurses when SIGUSR2
// arrives); the record names SIGSEGV, the marker is there, and the next
// launch hands the report to the transport's crash-report target.
TEST_F(ProgramTest, AMainThreadStackOverflowIsRecordedAndReportedAtTheNextLaunch) {
#if defined(__SANITIZE_THREAD__)
  GTEST_SKIP() << "under the thread sanitizer the program overflowing its main thread leaves no record";
#endif
  LoopbackServices services(folder_);
  auto overflowing =
      startHoldingForACrash(services, folder_, home(), {std::string("LD_PRELOAD=") + DROSIL_MAIN_THREAD_OVERFLOW});
  ASSERT_GT(overflowing.pid, 0);
  syscall(SYS_tgkill, overflowing.pid, overflowing.pid, SIGUSR2);  // the main thread's id is the process's
  int status = 0;
  const ProgramRun overflowed = waitForProgram(overflowing, &status);
  ASSERT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGSEGV) << status << "\n" << overflowed.err;

  const fs::path reportsFolder = fs::path(home()) / "Library/Caches/com.zoziduzuzud.data";
  bool marker = false, namesTheSignal = false;
  for (const auto& entry : fs::recursive_directory_iterator(reportsFolder)) {
    marker |= entry.path().filename() == "previously-crashed";
    if (entry.path().filename() != "signal.zozrecord") continue;
    std::istringstream lines(readFile(entry.path()));
    for (std::string line; std::getline(lines, line);) {
      auto json = nlohmann::json::parse(line, nullptr, false);
      if (json.is_object() && json.contains("signal")) namesTheSignal = json["signal"]["name"] == "SIGSEGV";
    }
  }
  EXPECT_TRUE(marker);
  EXPECT_TRUE(namesTheSignal);

  const ProgramRun next =
      runProgram(folder_, {"--virtual-time", "--home", home(), "--scene", "5000", "--hold", "35"}, {services.environment()});
  ASSERT_EQ(next.status, 0) << next.err;
  size_t crashReports = 0;
  for (const auto& request : services.collector.requests()) {
    auto sources = revada_test::decodeUploadRequest(request.body);
    if (!sources) continue;
    for (const auto& source : *sources) {
      if (source.logSource != kCrashReportLogSource) continue;
      crashReports += source.events.size();
      EXPECT_EQ(request.path, "/upload/1002");
    }
  }
  EXPECT_EQ(crashReports, 1u) << next.err;
}


// The measurement and configuration services of a copied bundle on
// 127.0.0.1, recording what reaches them.
class MeasurementServices {
 public:
  explicit MeasurementServices(const fs::path& folder) : bundle(folder / "Drosil.app") {
    const os::Dictionary endpoints{{"MeasurementUploadService", service.baseURL()},
                                   {"MeasurementUploadAuthorizedService", service.baseURL()},
                                   {"MeasurementConfigService", service.baseURL()}};
    copyBundleWithEndpoints(bundle, endpoints);
  }
  std::string environment() const { return "DROSIL_BUNDLE=" + bundle.string(); }
  // The batches posted to "/a", in arrival order (the server records the
  // bodies expanded from gzip).
  std::vector<std::shared_ptr<APMPBMeasurementBatch>> batches() const {
    std::vector<std::shared_ptr<APMPBMeasurementBatch>> out;
    for (const auto& request : service.requests()) {
      if (request.path != "/a") continue;
      EXPECT_EQ(request.header("Content-Encoding"), "gzip");
      auto batch = APMPBMeasurementBatch::initWithBuffer(os::Data::fromString(request.body));
      EXPECT_NE(batch, nullptr) << "a batch that does not decode";
      if (batch) out.push_back(std::move(batch));
    }
    return out;
  }

  os::testing::TestHTTPServer service;
  fs::path bundle;
};

std::vector<std::shared_ptr<APMPBMeasurementBundle>> bundlesOf(const APMPBMeasurementBatch& batch) {
  return APMPBGetArray<APMPBMeasurementBundle>(&batch, 0).value_or(std::vector<std::shared_ptr<APMPBMeasurementBundle>>{});
}

std::vector<std::string> eventNamesOf(const APMPBMeasurementBatch& batch) {
  std::vector<std::string> names;
  for (const auto& bundle : bundlesOf(batch)) {
    for (const auto& event : APMPBGetArray<APMPBEvent>(bundle.get(), 1).value_or(std::vector<std::shared_ptr<APMPBEvent>>{})) {
      names.push_back(APMPBGetString(event.get(), 1).value_or(""));
    }
  }
  return names;
}

// An event's parameter of that name, or null.
std::shared_ptr<APMPBEventParam> parameterOf(const APMPBEvent& event, const std::string& name) {
  for (auto& param : APMPBGetArray<APMPBEventParam>(&event, 0).value_or(std::vector<std::shared_ptr<APMPBEventParam>>{})) {
    if (APMPBGetString(param.get(), 0) == name) return param;
  }
  return nullptr;
}

// An event's string parameter; "" when it has none of that name.
std::string stringParameterOf(const APMPBEvent& event, const std::string& name) {
  const auto param = parameterOf(event, name);
  return param ? APMPBGetString(param.get(), 1).value_or("") : "";
}

// The first launch's events reach the measurement service: refused at first
// with a 503, the engine holds its next try for the back-off period (12 hours
// of virtual time, the app switched away meanwhile) and then delivers the same
// events, "_f" first.
TEST_F(ProgramTest, TheFirstLaunchsEventsAreUploadedAfterABackOff) {
  MeasurementServices services(folder_);
  services.service.setResponses("/a", {os::testing::ScriptedResponse::withStatus(503),
                                       os::testing::ScriptedResponse::withStatus(204)});
  const ProgramRun run = runProgram(
      folder_, {"--virtual-time", "--home", home(), "--scene", "5000", "--hold", "1", "--background", "50000"},
      {services.environment()});
  ASSERT_EQ(run.status, 0) << run.err;
  const auto batches = services.batches();
  ASSERT_GE(batches.size(), 2u) << run.err;

  const auto refused = eventNamesOf(*batches[0]);
  ASSERT_FALSE(refused.empty());
  EXPECT_EQ(refused.front(), "_f");
  EXPECT_NE(std::find(refused.begin(), refused.end(), "_e"), refused.end());
  EXPECT_EQ(eventNamesOf(*batches[1]), refused);

  const int64_t refusedAt = APMPBGetInt64(bundlesOf(*batches[0]).front().get(), 3);
  const int64_t deliveredAt = APMPBGetInt64(bundlesOf(*batches[1]).front().get(), 3);
  EXPECT_GE(deliveredAt - refusedAt, 43'200'000);
  EXPECT_EQ(APMPBGetInt64(bundlesOf(*batches[1]).front().get(), 18), APMPBGetInt64(bundlesOf(*batches[0]).front().get(), 18));
}

// The screens of a launch that takes a photo and opens the settings reach
// the measurement service as "_vs" events in the order shown, each linked to
// the screen before it by class ("_pc") and instance ID ("_pi"); the meter
// screen keeps one instance ID each time it returns.
TEST_F(ProgramTest, TheScreensOfALaunchAreUploadedInOrder) {
  MeasurementServices services(folder_);
  services.service.setResponse("/a", os::testing::ScriptedResponse::withStatus(204));
  const ProgramRun run = runProgram(folder_,
                                    {"--virtual-time", "--home", home(), "--scene", "5000", "--hold", "1", "--photo",
                                     "--settings", "--background", "50000"},
                                    {services.environment()});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::shared_ptr<APMPBEvent>> screens;
  for (const auto& batch : services.batches()) {
    for (const auto& bundle : bundlesOf(*batch)) {
      for (auto& event : APMPBGetArray<APMPBEvent>(bundle.get(), 1).value_or(std::vector<std::shared_ptr<APMPBEvent>>{})) {
        if (APMPBGetString(event.get(), 1) == "_vs") screens.push_back(event);
      }
    }
  }
  std::vector<std::pair<std::string, std::string>> classes;  // "_sc", "_pc"
  for (const auto& event : screens) classes.emplace_back(stringParameterOf(*event, "_sc"), stringParameterOf(*event, "_pc"));
  const std::vector<std::pair<std::string, std::string>> expected{
      {"NewLandingViewController", ""},
      {"PreviewViewController", "NewLandingViewController"},
      {"NewLandingViewController", "PreviewViewController"},
      {"NewSettingsTableViewController", "NewLandingViewController"},
      {"NewLandingViewController", "NewSettingsTableViewController"}};
  ASSERT_EQ(classes, expected) << run.err;

  const auto instanceOf = [&](size_t n, const char* name) {
    const auto param = parameterOf(*screens[n], name);
    return param ? APMPBGetInt64(param.get(), 2) : -1;
  };
  for (size_t n = 0; n < screens.size(); ++n) {
    SCOPED_TRACE(n);
    EXPECT_EQ(stringParameterOf(*screens[n], "_o"), "auto");
    if (n > 0) {
      EXPECT_EQ(instanceOf(n, "_pi"), instanceOf(n - 1, "_si"));
    }
  }
  EXPECT_EQ(instanceOf(0, "_si"), instanceOf(2, "_si"));
  EXPECT_EQ(instanceOf(0, "_si"), instanceOf(4, "_si"));
  EXPECT_NE(instanceOf(1, "_si"), instanceOf(3, "_si"));
}

// A week untouched in front, on virtual time, runs as fast as its work: the
// run ends long before the watchdog while the app's services on 127.0.0.1
// hear from it only a few times. Lookups of the bundle's reserved default
// hosts went to the real resolver, whose lost datagrams held the clock for
// seconds each: a week took about an hour.
TEST_F(ProgramTest, AnIdleWeekOnVirtualTimeEndsAfterItsWork) {
  LoopbackServices services(folder_);
  const ProgramRun run = runProgram(
      folder_, {"--virtual-time", "--home", home(), "--scene", "5000", "--hold", "1", "--idle", "604800"},
      {services.environment()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(linesStartingWith(run.out, "reading: ").size(), 1u) << run.out;
  const size_t requests = services.collector.requestCount() + services.settings.requestCount();
  EXPECT_GE(services.collector.requestCount(), 1u);
  EXPECT_LT(requests, 50u) << run.err;
}

// With the services at their default hosts, which never answer, the upload
// timer fires every 30 s of the week while the launch's events wait. Each
// failed attempt rewrote the metrics file twice and the batch counter once,
// about 120,000 file syncs in the week, which took minutes instead of seconds.
TEST_F(ProgramTest, AnIdleWeekWithTheDefaultEndpointsSyncsFilesOnlyAFewTimes) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
  // Instrumented, the program runs several times slower: a day stays well
  // within the watchdog (it synced about 17,600 times before the mend).
  constexpr int kIdleSeconds = 86'400;
  constexpr uintmax_t kSyncBound = 1'500;
#else
  constexpr int kIdleSeconds = 604'800;
  constexpr uintmax_t kSyncBound = 5'000;
#endif
  const fs::path syncCount = folder_ / "syncs.txt";
  const ProgramRun run = runProgram(folder_,
                                    {"--virtual-time", "--home", home(), "--network", "wifi", "--scene", "5000",
                                     "--hold", "1", "--idle", std::to_string(kIdleSeconds)},
                                    {std::string("LD_PRELOAD=") + DROSIL_SYNC_COUNT_PRELOAD,
                                     "DROSIL_SYNC_COUNT_FILE=" + syncCount.string(),
                                     "ASAN_OPTIONS=verify_asan_link_order=0"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(linesStartingWith(run.out, "reading: ").size(), 1u) << run.out;
  // The attempts ran: each took a batch ID, and the stored counter is past
  // every ID taken.
  const std::string counter = readFile(fs::path(home()) / "Library/Caches/devuvo-sdks-events" /
                                       kREVOVAFlatFileStorageClassName / "dov_library_data" /
                                       kREVOVAFlatFileStorageBatchIDCounterKey);
  ASSERT_EQ(counter.size(), 4u);
  int32_t batchIDs = 0;
  std::memcpy(&batchIDs, counter.data(), sizeof batchIDs);
  EXPECT_GT(batchIDs, kIdleSeconds / 30 / 2);
  std::error_code ec;
  const auto syncs = fs::file_size(syncCount, ec);
  ASSERT_FALSE(ec) << "no count from the preload";
  // A failed attempt syncs nothing now; the other writers (the measurement
  // store's cycles, a reserved block of batch IDs now and then) sync about
  // 2,700 times in a week, 500 in a day.
  EXPECT_GT(syncs, 0u);
  EXPECT_LT(syncs, kSyncBound);
}

// A configuration body that could not be applied took the failure road: the
// configuration stayed expired, every cycle fetched again and the launch's
// events were never uploaded.
TEST_F(ProgramTest, TheFirstLaunchsEventsAreUploadedAfterAConfigurationThatIsNotOne) {
  MeasurementServices services(folder_);
  services.service.setResponder([](const os::testing::RecordedRequest& request) {
    return request.path.rfind("/config/app/", 0) == 0
               ? std::optional(os::testing::ScriptedResponse::ok("<html>not a configuration</html>"))
               : std::nullopt;
  });
  services.service.setResponse("/a", os::testing::ScriptedResponse::withStatus(204));
  const ProgramRun run = runProgram(
      folder_, {"--virtual-time", "--home", home(), "--scene", "5000", "--hold", "1", "--background", "50000"},
      {services.environment()});
  ASSERT_EQ(run.status, 0) << run.err;
  size_t fetches = 0;
  for (const auto& request : services.service.requests()) fetches += request.path.rfind("/config/app/", 0) == 0;
  EXPECT_GE(fetches, 1u);
  const auto batches = services.batches();
  ASSERT_FALSE(batches.empty()) << run.err;
  const auto names = eventNamesOf(*batches.front());
  ASSERT_FALSE(names.empty());
  EXPECT_EQ(names.front(), "_f");
}

// A launch whose measurement upload service refuses every connection keeps
// its events; the next launch, with the service back, uploads them once each.
TEST_F(ProgramTest, EventsStoredWhileTheCollectorIsDownAreUploadedAtTheNextLaunch) {
  MeasurementServices services(folder_);
  services.service.setResponse("/a", os::testing::ScriptedResponse::withStatus(204));
  std::string closedBase;
  {
    os::testing::TestHTTPServer closed;
    closedBase = closed.baseURL();
  }
  const fs::path downBundle = folder_ / "Down.app";
  copyBundleWithEndpoints(downBundle, {{"MeasurementUploadService", closedBase},
                                       {"MeasurementUploadAuthorizedService", closedBase},
                                       {"MeasurementConfigService", services.service.baseURL()}});
  const std::vector<std::string> arguments{"--virtual-time", "--home", home(), "--scene",      "5000",
                                           "--hold",         "1",      "--background", "50000"};
  ProgramRun run = runProgram(folder_, arguments, {"DROSIL_BUNDLE=" + downBundle.string()});
  ASSERT_EQ(run.status, 0) << run.err;
  ASSERT_TRUE(services.batches().empty());
  // The launch tried to upload, and kept what it could not deliver.
  EXPECT_NE(run.err.find(closedBase + "/a"), std::string::npos) << run.err;
  const fs::path database = fs::path(home()) / "Library/Application Support/Devuvo/Measurement/devuvo-app-measurement.sql";
  const auto count = [&](const char* sql) {
    int64_t rows = -1;
    sqlite3* handle = nullptr;
    if (sqlite3_open_v2(database.c_str(), &handle, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK) {
      sqlite3_exec(
          handle, sql,
          [](void* out, int, char** values, char**) {
            *static_cast<int64_t*>(out) = values[0] ? std::atoll(values[0]) : -1;
            return 0;
          },
          &rows, nullptr);
    }
    sqlite3_close(handle);
    return rows;
  };
  EXPECT_GT(count("SELECT COUNT(*) FROM queue"), 0);

  run = runProgram(folder_, arguments, {services.environment()});
  ASSERT_EQ(run.status, 0) << run.err;
  std::vector<std::pair<std::string, int64_t>> uploaded;  // name, timestamp
  for (const auto& batch : services.batches()) {
    for (const auto& bundle : bundlesOf(*batch)) {
      for (const auto& event : APMPBGetArray<APMPBEvent>(bundle.get(), 1).value_or(std::vector<std::shared_ptr<APMPBEvent>>{})) {
        uploaded.emplace_back(APMPBGetString(event.get(), 1).value_or(""), APMPBGetInt64(event.get(), 2));
      }
    }
  }
  ASSERT_FALSE(uploaded.empty()) << run.err;
  // The first launch's first open arrives, and nothing arrives twice.
  EXPECT_EQ(std::count_if(uploaded.begin(), uploaded.end(), [](const auto& event) { return event.first == "_f"; }), 1);
  const std::set<std::pair<std::string, int64_t>> distinct(uploaded.begin(), uploaded.end());
  EXPECT_EQ(distinct.size(), uploaded.size());
  EXPECT_EQ(count("SELECT COUNT(*) FROM queue"), 0);
}

// A persisted measurement file that existed but could not be read was taken
// for an empty one and replaced at the first change: the app instance ID was
// gone and the install counted as a new user.
TEST_F(ProgramTest, AnUnreadablePersistedFileKeepsItsAppInstanceIDThroughALaunch) {
  MeasurementServices services(folder_);
  services.service.setResponse("/a", os::testing::ScriptedResponse::withStatus(204));
  constexpr const char* kFileName = "com.devuvo.zev.measurement.plist";
  const fs::path file = fs::path(home()) / "Library/Application Support/Devuvo/Measurement" / kFileName;
  const auto appInstanceID = [&] {
    const std::string bytes = readFile(file);
    auto plist = os::PropertyListSerialization::propertyListWithData(os::Data::fromString(bytes));
    return plist && plist->isDictionary() ? (*plist)["/devuvo/measurement/app_instance_id"] : os::Value();
  };
  const std::vector<std::string> arguments{"--virtual-time", "--home", home(), "--scene", "5000", "--hold", "10"};

  ProgramRun run = runProgram(folder_, arguments, {services.environment()});
  ASSERT_EQ(run.status, 0) << run.err;
  const os::Value first = appInstanceID();
  ASSERT_TRUE(first.isString()) << run.err;

  run = runProgram(folder_, arguments,
                   {services.environment(), std::string("LD_PRELOAD=") + DROSIL_READ_FAILURE_PRELOAD,
                    std::string("DROSIL_UNREADABLE_FILE=") + kFileName, "ASAN_OPTIONS=verify_asan_link_order=0"});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_NE((run.out + run.err).find("I-ACS043005"), std::string::npos) << "the read did not fail";
  EXPECT_EQ(appInstanceID(), first);

  run = runProgram(folder_, arguments, {services.environment()});
  ASSERT_EQ(run.status, 0) << run.err;
  EXPECT_EQ(appInstanceID(), first);
}

}  // namespace
