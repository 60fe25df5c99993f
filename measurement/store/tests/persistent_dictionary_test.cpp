#include "measurement/store/persistent_dictionary.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "measurement/store/engine_services/measurement_files.h"
#include "measurement/store/tests/test_support.h"
#include "os/dispatch/manual_clock.h"
#include "os/foundation/file_manager.h"
#include "os/foundation/file_system.h"
#include "os/foundation/plist.h"

namespace {

class PersistentDictionaryTest : public apm_test::StoreTest {
 protected:
  void SetUp() override {
    StoreTest::SetUp();
    store_ = APMPersistentDictionary::initWithFileName(kName);
    ASSERT_TRUE(store_);
  }

  // The dictionary in the file, or null when there is none.
  os::Value onDisk() {
    auto data = os::FileManager::defaultManager().contentsAtPath(APMMeasurementPlistPath(kName));
    if (!data) return os::Value();
    auto plist = os::PropertyListSerialization::propertyListWithData(*data);
    return plist ? *plist : os::Value("<unreadable>");
  }
  // Writes of the store's file so far: each is one rename into place.
  int writes() { return counter_->callCount(os::FileOp::Rename); }

  static constexpr const char* kName = "com.devuvo.zev.measurement";
  os::ManualClockScope clock_;
  std::shared_ptr<os::FaultInjectingFileSystem> counter_ = std::make_shared<os::FaultInjectingFileSystem>();
  os::ScopedFileSystem installed_{counter_};
  std::shared_ptr<APMPersistentDictionary> store_;
};

TEST_F(PersistentDictionaryTest, ABurstOfChangesIsOneWriteAndEqualValuesScheduleNothing) {
  for (int i = 0; i < 10; ++i) store_->setInteger(i, "key" + std::to_string(i));
  EXPECT_TRUE(store_->TEST_hasPendingPersistence());
  clock_->advance(0.9);
  EXPECT_EQ(writes(), 0);
  clock_->advance(0.1);
  EXPECT_EQ(writes(), 1);
  ASSERT_TRUE(onDisk().isDictionary());
  EXPECT_EQ(onDisk().dictionary()->size(), 10u);
  EXPECT_EQ(onDisk()["key9"], os::Value(9));

  store_->setInteger(9, "key9");           // equal value
  store_->setDouble(9.0, "key9");          // equal across number kinds
  store_->removeObjectForKey("absent");    // nothing to remove
  EXPECT_FALSE(store_->TEST_hasPendingPersistence());
  store_->clearAllData();
  clock_->advance(1);
  EXPECT_EQ(writes(), 2);
  EXPECT_EQ(onDisk(), os::Value::emptyDictionary());
  store_->clearAllData();  // already empty
  EXPECT_FALSE(store_->TEST_hasPendingPersistence());
  clock_->advance(5);
  EXPECT_EQ(writes(), 2);
}

TEST_F(PersistentDictionaryTest, TypedValuesBadKeysAndBadObjects) {
  store_->setBool(true, "bool");
  store_->setDouble(2.5, "double");
  store_->setObject(os::Value("text"), "string");
  store_->setObject(os::Value::arrayOf({os::Value(1)}), "array");
  store_->setObject(os::Value(os::Date::fromTimeIntervalSince1970(5)), "date");
  EXPECT_TRUE(store_->boolForKey("bool"));
  EXPECT_DOUBLE_EQ(store_->doubleForKey("double"), 2.5);
  EXPECT_EQ(store_->integerForKey("string"), 0);  // not a number
  EXPECT_EQ(store_->stringForKey("string"), "text");
  EXPECT_FALSE(store_->stringForKey("array"));
  EXPECT_EQ(store_->arrayForKey("array")->size(), 1u);
  EXPECT_TRUE(store_->objectForKey("date").isDate());

  store_->setObject(os::Value("v"), "");
  EXPECT_TRUE(store_->objectForKey("").isNull());
  store_->setObject(os::Value::arrayOf({os::Value()}), "string");  // not a property list
  EXPECT_EQ(store_->stringForKey("string"), "text");
  EXPECT_EQ(platformLines(),
            (std::vector<std::string>{
                "I-ACS043002 Cannot set object for invalid config key.",
                "I-ACS043001 Cannot get object for invalid config key.",
                "I-ACS043003 Cannot set invalid object to config. Must be a string, number, array, dictionary, "
                "date, or data. Value (\n    <null>\n)",
            }));
}

TEST_F(PersistentDictionaryTest, ContentSurvivesAndAReleasedStoreWritesAtOnce) {
  store_->setObject(os::Value("id-1"), "/devuvo/measurement/app_instance_id");
  store_.reset();  // pending write: flushed now
  EXPECT_EQ(onDisk()["/devuvo/measurement/app_instance_id"], os::Value("id-1"));
  clock_->advance(2);  // the scheduled write finds the store gone
  EXPECT_EQ(writes(), 1);

  auto reopened = APMPersistentDictionary::initWithFileName(std::string(kName) + ".plist");
  EXPECT_EQ(reopened->stringForKey("/devuvo/measurement/app_instance_id"), "id-1");
  EXPECT_FALSE(reopened->TEST_hasPendingPersistence());
}

TEST_F(PersistentDictionaryTest, AFileThatIsNotADictionaryStartsEmpty) {
  for (const char* bytes : {"not a property list", "<?xml version=\"1.0\"?><plist><array><integer>1</integer></array></plist>"}) {
    SCOPED_TRACE(bytes);
    ASSERT_TRUE(os::FileManager::defaultManager().createFileAtPath(APMMeasurementPlistPath(kName),
                                                                   os::Data::fromString(bytes)));
    auto store = APMPersistentDictionary::initWithFileName(kName);
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->objectForKey("anything").isNull());
  }
  EXPECT_FALSE(APMPersistentDictionary::initWithFileName(""));
}

// A file that could not be read was taken for an empty store, and the first
// change wrote that over it: the app instance ID and the rest were gone.
TEST_F(PersistentDictionaryTest, AFileThatCannotBeReadIsNeitherShownNorOverwritten) {
  constexpr const char* kKey = "/devuvo/measurement/app_instance_id";
  store_->setObject(os::Value("id-1"), kKey);
  store_.reset();
  const struct {
    os::FileOp op;
    int error;
  } cases[] = {{os::FileOp::Read, EIO}, {os::FileOp::Open, EMFILE}, {os::FileOp::Open, EACCES}};
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::Message() << int(c.op) << " " << c.error);
    const size_t linesBefore = platformLines().size();
    const int writesBefore = writes();
    counter_->clear();
    counter_->inject(c.op, {c.error, "com.devuvo.zev.measurement.plist", 0, -1});
    auto store = APMPersistentDictionary::initWithFileName(kName);
    ASSERT_TRUE(store);
    EXPECT_TRUE(store->objectForKey(kKey).isNull());
    store->setObject(os::Value("id-2"), kKey);
    store->removeObjectForKey(kKey);
    store->clearAllData();
    EXPECT_FALSE(store->TEST_hasPendingPersistence());
    clock_->advance(2);
    EXPECT_EQ(writes(), writesBefore);
    auto lines = platformLines();
    lines.erase(lines.begin(), lines.begin() + linesBefore);
    ASSERT_EQ(lines.size(), 4u);  // the read failure once, then each refused change
    EXPECT_EQ(lines[0].rfind("I-ACS043005 Cannot read config plist file.", 0), 0u) << lines[0];
    for (size_t i = 1; i < lines.size(); ++i) {
      EXPECT_EQ(lines[i], "I-ACS043006 Cannot change configs: the config plist file cannot be read.");
    }

    // Once the file reads again, the next access loads it and changes keep it.
    counter_->clear();
    EXPECT_EQ(store->stringForKey(kKey), "id-1");
    store->setObject(os::Value(1), "session_number");
    store.reset();
    EXPECT_EQ(onDisk()[kKey], os::Value("id-1"));
    EXPECT_EQ(onDisk()["session_number"], os::Value(1));
  }
}

// A write that fails half-way (full disk, failed rename) used to be able to
// leave an empty store at the next launch; the previous file must stay whole.
TEST_F(PersistentDictionaryTest, AFailedWriteKeepsThePreviousFile) {
  store_->setObject(os::Value("id-1"), "/devuvo/measurement/app_instance_id");
  clock_->advance(1);
  ASSERT_EQ(onDisk()["/devuvo/measurement/app_instance_id"], os::Value("id-1"));

  for (os::FileOp op : {os::FileOp::Write, os::FileOp::Rename}) {
    counter_->inject(op, {ENOSPC, "com.devuvo.zev.measurement", 0, 1});
    store_->setObject(os::Value(op == os::FileOp::Write ? "id-2" : "id-3"), "/devuvo/measurement/app_instance_id");
    clock_->advance(1);
    EXPECT_EQ(onDisk()["/devuvo/measurement/app_instance_id"], os::Value("id-1"));
    counter_->clear();
  }
  EXPECT_EQ(store_->stringForKey("/devuvo/measurement/app_instance_id"), "id-3");  // memory keeps the change
  EXPECT_EQ(platformLines(), (std::vector<std::string>{"I-ACS043000 Cannot persist configs to disk",
                                                       "I-ACS043000 Cannot persist configs to disk"}));
  auto& fm = os::FileManager::defaultManager();
  auto left = fm.contentsOfDirectoryAtPath(sandbox_.sandbox()->applicationSupportDirectory() + "/Devuvo/Measurement");
  EXPECT_EQ(*left, std::vector<std::string>{"com.devuvo.zev.measurement.plist"});  // no temporary left behind

  store_->setObject(os::Value("id-4"), "/devuvo/measurement/app_instance_id");  // the next change writes it all
  clock_->advance(1);
  EXPECT_EQ(onDisk()["/devuvo/measurement/app_instance_id"], os::Value("id-4"));
}

}  // namespace
