#include "pa/pabase.h"
#include "pa/pafactory.h"
#include "pa/palog.h"
#include "pa/sysutils.h"

#include "pa_test_support.h"

#include <gtest/gtest.h>

#include <atomic>
#include <thread>
#include <vector>

// Outside any namespace on purpose.
class TGlobalThing : public virtual pa::TBase {};

namespace mi {
class TDataList : public virtual pa::TBase {
public:
    static int alive;
    TDataList() { ++alive; }

protected:
    ~TDataList() override { --alive; }
};
int TDataList::alive = 0;
} // namespace mi

namespace {

pa::TBase* createDataList() {
    return new mi::TDataList();
}
pa::TBase* createGlobalThing() {
    return new TGlobalThing();
}

// Two framework bases over one virtual TBase: one count.
class TStreamLike : public virtual pa::TBase {};
class TStorableLike : public virtual pa::TBase {};
class TBoth : public TStreamLike, public TStorableLike {};

TEST(TBase, CountStartsAtOneAndLastReleaseDeletes) {
    auto* list = new mi::TDataList();
    EXPECT_EQ(mi::TDataList::alive, 1);
    EXPECT_EQ(list->addRef(), 2);
    EXPECT_EQ(list->release(), 1);
    EXPECT_EQ(mi::TDataList::alive, 1);
    EXPECT_EQ(list->release(), 0);
    EXPECT_EQ(mi::TDataList::alive, 0);
}

TEST(TBase, VirtualBaseGivesOneCountForSeveralFrameworkBases) {
    auto* both = new TBoth();
    pa::TBase* viaStream = static_cast<TStreamLike*>(both);
    pa::TBase* viaStorable = static_cast<TStorableLike*>(both);
    EXPECT_EQ(viaStream, viaStorable);
    EXPECT_EQ(viaStream->addRef(), 2);
    EXPECT_EQ(viaStorable->release(), 1);
    EXPECT_EQ(both->release(), 0);
}

TEST(TBase, ClassNameDropsTheNamespace) {
    pa::Ref<mi::TDataList> list(new mi::TDataList());
    EXPECT_EQ(list->className(), "TDataList");
    pa::Ref<TGlobalThing> global(new TGlobalThing());
    EXPECT_EQ(global->className(), "TGlobalThing");
    // The dynamic type, not the static one.
    pa::Ref<TBoth> both(new TBoth());
    const pa::TBase& base = *static_cast<TStreamLike*>(both.get());
    EXPECT_EQ(base.className(), "TBoth");
}

TEST(TBase, ConcurrentAddRefAndReleaseKeepTheCount) {
    auto* list = new mi::TDataList();
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([list] {
            for (int i = 0; i < 10000; ++i) {
                list->addRef();
                list->release();
            }
        });
    }
    for (auto& t : threads) {
        t.join();
    }
    EXPECT_EQ(mi::TDataList::alive, 1);
    EXPECT_EQ(list->release(), 0);
    EXPECT_EQ(mi::TDataList::alive, 0);
}

TEST(Ref, ReleasesItsReferenceWhenAnExceptionLeaves) {
    try {
        pa::Ref<mi::TDataList> list(new mi::TDataList());
        pa::Ref<mi::TDataList> copy = list;
        EXPECT_EQ(list->addRef(), 3);
        list->release();
        throw pa::Exception("leave");
    } catch (const pa::Exception&) {
    }
    EXPECT_EQ(mi::TDataList::alive, 0);
}

// The process factory is made once per test program; the tests below run in
// order on it.
class FactoryTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        logPath_ = pa::test::tempPath("factory.log");
        ASSERT_TRUE(pa::openLogFile(logPath_.c_str()));
        ASSERT_EQ(pa::factory(), nullptr);
        ASSERT_TRUE(pa::initFactory());
    }
    static void TearDownTestSuite() { pa::closeLogFile(); }
    static std::string log() { return pa::test::readFile(logPath_); }
    static std::string logPath_;
};
std::string FactoryTest::logPath_;

TEST_F(FactoryTest, SecondInitKeepsTheFactoryAndCountsTwo) {
    pa::TFactory* first = pa::factory();
    ASSERT_NE(first, nullptr);
    EXPECT_TRUE(pa::initFactory());
    EXPECT_EQ(pa::factory(), first);
    // addRef answers the new count: 2 references before it.
    EXPECT_EQ(first->addRef(), 3);
    EXPECT_EQ(first->release(), 2);
}

TEST_F(FactoryTest, RegisteringTwiceRaisesAndLogsBothAttempts) {
    pa::registerObject("TDataList", &createDataList);
    try {
        pa::registerObject("TDataList", &createGlobalThing);
        FAIL() << "second registration accepted";
    } catch (const pa::Exception& e) {
        EXPECT_EQ(e.message(), "registerObject -> Can not register object TDataList");
    }
    const std::string text = log();
    const auto first = text.find("TFactory::regClass -> TDataList\r\n");
    ASSERT_NE(first, std::string::npos);
    EXPECT_NE(text.find("TFactory::regClass -> TDataList\r\n", first + 1), std::string::npos);
    EXPECT_NE(text.find("registerObject -> Can not register object TDataList\r\n"),
              std::string::npos);

    // The first creator stays.
    pa::Ref<pa::TBase> made(pa::factory()->createClass("TDataList"));
    ASSERT_TRUE(made);
    EXPECT_EQ(made->className(), "TDataList");
}

TEST_F(FactoryTest, CreateClassOfUnknownNameLogsAndAnswersNull) {
    EXPECT_FALSE(pa::factory()->isRegistered("TNoSuchClass"));
    EXPECT_EQ(pa::factory()->createClass("TNoSuchClass"), nullptr);
    EXPECT_NE(log().find("TFactory::createClass -> TNoSuchClass\r\n"), std::string::npos);
}

TEST_F(FactoryTest, NamesAreComparedExactly) {
    pa::registerObject("TGlobalThing", &createGlobalThing);
    EXPECT_TRUE(pa::factory()->isRegistered("TGlobalThing"));
    EXPECT_FALSE(pa::factory()->isRegistered("TGlobalThin"));
    EXPECT_FALSE(pa::factory()->isRegistered("TGlobalThings"));
    EXPECT_FALSE(pa::factory()->isRegistered("tglobalthing"));
}

TEST_F(FactoryTest, NullCreatorIsRefused) {
    EXPECT_FALSE(pa::factory()->regClass("TNullCreator", nullptr));
    EXPECT_FALSE(pa::factory()->isRegistered("TNullCreator"));
    EXPECT_THROW(pa::registerObject("TNullCreator", nullptr), pa::Exception);
}

} // namespace
