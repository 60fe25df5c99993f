#include "os/foundation/user_defaults.h"

#include <gtest/gtest.h>

#include "os/foundation/file_manager.h"
#include "os/foundation/file_system.h"
#include "os/foundation/sandbox.h"
#include "os/foundation/system_log.h"

namespace os {
namespace {

class UserDefaultsTest : public ::testing::Test {
 protected:
  void SetUp() override { UserDefaults::resetStandardUserDefaults(); }
  void TearDown() override { UserDefaults::resetStandardUserDefaults(); }
  TemporarySandbox sandbox;
};

TEST_F(UserDefaultsTest, TypedReadsConvertAsThePlatformDoes) {
  auto d = UserDefaults::initWithSuiteName("typed");
  d->setObject(Value(true), "bool");
  d->setObject(Value("12"), "twelve");
  d->setObject(Value("YES"), "yes");
  d->setObject(Value("true"), "true");
  d->setObject(Value("no"), "no");
  d->setObject(Value(2.75), "double");
  d->setObject(Value(7), "int");
  d->setObject(Value(Data::fromString("b")), "data");
  d->setObject(Value::arrayOf({Value(1)}), "array");

  EXPECT_EQ(d->doubleForKey("bool"), 1.0);
  EXPECT_EQ(d->integerForKey("twelve"), 12);
  EXPECT_EQ(d->doubleForKey("twelve"), 12.0);
  EXPECT_TRUE(d->boolForKey("yes"));
  EXPECT_TRUE(d->boolForKey("true"));
  EXPECT_FALSE(d->boolForKey("no"));
  EXPECT_TRUE(d->boolForKey("twelve"));
  EXPECT_EQ(d->integerForKey("double"), 2);
  EXPECT_EQ(d->stringForKey("int"), "7");
  EXPECT_EQ(d->stringForKey("array"), std::nullopt);
  EXPECT_EQ(d->dataForKey("data"), Data::fromString("b"));
  EXPECT_EQ(d->arrayForKey("twelve"), std::nullopt);
  EXPECT_EQ(d->arrayForKey("array")->size(), 1u);
  EXPECT_EQ(d->dictionaryForKey("array"), std::nullopt);
  EXPECT_FALSE(d->boolForKey("missing"));
  EXPECT_EQ(d->integerForKey("missing"), 0);
  EXPECT_TRUE(d->objectForKey("missing").isNull());
}

TEST_F(UserDefaultsTest, ValuesSurviveARestartAndSuitesStaySeparate) {
  auto standard = UserDefaults::standardUserDefaults();
  auto suite = UserDefaults::initWithSuiteName("com.devuvo.zev.measurement.monitor");
  standard->setInteger(3, "reviewWorthyActionCount");
  suite->setObject(Value(Dictionary{{"k", Value("v")}}), "dict");
  suite->setObject(Value("gone"), "removed");
  suite->removeObjectForKey("removed");
  EXPECT_TRUE(standard->objectForKey("dict").isNull());

  // Two objects over one suite see each other's writes.
  UserDefaults::initWithSuiteName("com.devuvo.zev.measurement.monitor")->setBool(true, "shared");
  EXPECT_TRUE(suite->boolForKey("shared"));

  UserDefaults::resetStandardUserDefaults();
  auto again = UserDefaults::initWithSuiteName("com.devuvo.zev.measurement.monitor");
  EXPECT_EQ(UserDefaults::standardUserDefaults()->integerForKey("reviewWorthyActionCount"), 3);
  EXPECT_EQ(again->dictionaryForKey("dict")->at("k"), Value("v"));
  EXPECT_TRUE(again->boolForKey("shared"));
  EXPECT_TRUE(again->objectForKey("removed").isNull());
  EXPECT_TRUE(FileManager::defaultManager().fileExistsAtPath(sandbox.sandbox()->preferencesDirectory() +
                                                             "/com.devuvo.zev.measurement.monitor.plist"));
}

TEST_F(UserDefaultsTest, RegisteredDefaultsAreReadButNotStored) {
  auto d = UserDefaults::standardUserDefaults();
  d->registerDefaults({{"hapticKey", Value(true)}, {"CompensateKey", Value(0)}});
  d->setInteger(150, "CompensateKey");
  EXPECT_TRUE(d->boolForKey("hapticKey"));
  EXPECT_EQ(d->integerForKey("CompensateKey"), 150);
  auto all = d->dictionaryRepresentation();
  EXPECT_EQ(all["hapticKey"], Value(true));
  EXPECT_EQ(all["CompensateKey"].int64Value(), 150);
  UserDefaults::resetStandardUserDefaults();
  EXPECT_TRUE(UserDefaults::standardUserDefaults()->objectForKey("hapticKey").isNull());
}

TEST_F(UserDefaultsTest, NullAndBadSuiteNamesAreRefused) {
  auto d = UserDefaults::initWithSuiteName("refuse");
  d->setObject(Value("kept"), "k");
  LogCapture capture;
  d->setObject(Value(), "k");
  d->setObject(Value::arrayOf({Value("a"), Value()}), "k");
  EXPECT_EQ(d->stringForKey("k"), "kept");
  EXPECT_EQ(capture.recordsContaining("not a property list").size(), 2u);
  for (auto bad : {"../escape", "a/b", ".", ".."}) EXPECT_EQ(UserDefaults::initWithSuiteName(bad), nullptr) << bad;
  EXPECT_EQ(UserDefaults::initWithSuiteName(""), UserDefaults::standardUserDefaults());
}

TEST_F(UserDefaultsTest, CorruptSuiteIsReportedAndReplacedWithoutTouchingOthers) {
  UserDefaults::initWithSuiteName("good")->setObject(Value("safe"), "k");
  auto bad = UserDefaults::initWithSuiteName("bad");
  bad->setObject(Value("lost"), "k");
  UserDefaults::resetStandardUserDefaults();
  ASSERT_TRUE(FileManager::defaultManager().createFileAtPath(bad->preferencesPath(), Data::fromString("junk, not a property list")));

  LogCapture capture;
  auto reopened = UserDefaults::initWithSuiteName("bad");
  EXPECT_TRUE(reopened->objectForKey("k").isNull());
  ASSERT_EQ(capture.recordsContaining("corrupt").size(), 1u);
  EXPECT_EQ(capture.recordsContaining("corrupt")[0].type, LogType::Fault);
  reopened->setObject(Value("fresh"), "k");
  EXPECT_EQ(UserDefaults::initWithSuiteName("good")->stringForKey("k"), "safe");
  UserDefaults::resetStandardUserDefaults();
  EXPECT_EQ(UserDefaults::initWithSuiteName("bad")->stringForKey("k"), "fresh");
}

// A full disk must leave the previous file as it was, be reported by
// synchronize, and be written out once the disk has room again.
TEST_F(UserDefaultsTest, FailedWriteKeepsThePreviousFileAndIsRetried) {
  auto d = UserDefaults::initWithSuiteName("disk");
  d->setObject(Value("v1"), "k");
  auto faulty = std::make_shared<FaultInjectingFileSystem>();
  {
    ScopedFileSystem installed(faulty);
    faulty->failWritesWithDiskFull();
    d->setObject(Value("v2"), "k");
    EXPECT_EQ(d->stringForKey("k"), "v2");  // memory keeps the value for this launch
    auto synced = d->synchronize();
    ASSERT_FALSE(synced);
    EXPECT_EQ(synced.error().code(), kFileWriteOutOfSpaceError);
  }
  auto onDisk = FileManager::defaultManager().contentsAtPath(d->preferencesPath());
  ASSERT_TRUE(onDisk);
  EXPECT_NE(onDisk->view().find("v1"), std::string_view::npos);
  EXPECT_TRUE(d->synchronize());
  UserDefaults::resetStandardUserDefaults();
  EXPECT_EQ(UserDefaults::initWithSuiteName("disk")->stringForKey("k"), "v2");
}

TEST_F(UserDefaultsTest, KeysAreListedAndRemovedTogether) {
  auto d = UserDefaults::initWithSuiteName("many");
  d->registerDefaults({{"registered", Value(1)}});
  d->setObject(Value("b"), "b");
  d->setObject(Value("a"), "a");
  d->setObject(Value("c"), "c");
  EXPECT_EQ(d->keyList(), (std::vector<std::string>{"a", "b", "c"}));

  auto counting = std::make_shared<FaultInjectingFileSystem>();
  ScopedFileSystem installed(counting);
  d->removeObjectsForKeys({"a", "c", "absent"});
  EXPECT_EQ(counting->callCount(FileOp::Rename), 1);  // one write for all of them
  d->removeObjectsForKeys({"absent"});
  EXPECT_EQ(counting->callCount(FileOp::Rename), 1);  // nothing removed, nothing written
  UserDefaults::resetStandardUserDefaults();
  EXPECT_EQ(UserDefaults::initWithSuiteName("many")->keyList(), std::vector<std::string>{"b"});
}

TEST_F(UserDefaultsTest, RemovingAPersistentDomainEmptiesItAndDeletesItsFile) {
  auto d = UserDefaults::initWithSuiteName("gone");
  d->setObject(Value("v"), "k");
  const std::string path = d->preferencesPath();
  ASSERT_TRUE(FileManager::defaultManager().fileExistsAtPath(path));
  UserDefaults::removePersistentDomainForName("gone");
  EXPECT_FALSE(FileManager::defaultManager().fileExistsAtPath(path));
  EXPECT_TRUE(d->objectForKey("k").isNull());
  EXPECT_TRUE(UserDefaults::initWithSuiteName("gone")->keyList().empty());
  UserDefaults::removePersistentDomainForName("never-made");  // nothing there: nothing happens
  EXPECT_FALSE(FileManager::defaultManager().fileExistsAtPath(sandbox.sandbox()->preferencesDirectory() +
                                                              "/never-made.plist"));
}

}  // namespace
}  // namespace os
