#include "pa/extvalue.h"
#include "pa/forms.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace {

// Collects what the events report, in order.
struct Trace {
    std::vector<std::string> events;

    void listen(pa::TValue& value) {
        value.OnChange = [this](pa::TValue*) { events.push_back("value"); };
    }
    void listen(pa::TValueDriver& driver, const std::string& name) {
        driver.OnChange = [this, name](pa::TValue*, pa::TValueDriver*) { events.push_back(name); };
        driver.OnEnable = [this, name](pa::TValueDriver*, bool on) {
            events.push_back(name + (on ? "+" : "-"));
        };
    }
};

TEST(Values, CreatedDisabledWithZeroValues) {
    pa::TIntValue i;
    pa::TFloatValue f;
    pa::TBoolValue b;
    EXPECT_FALSE(i.Enabled());
    EXPECT_EQ(i.Value(), 0);
    EXPECT_EQ(i.Min(), 0);
    EXPECT_EQ(i.Max(), 0);
    EXPECT_EQ(f.Value(), 0.0f);
    EXPECT_FALSE(b.Value());
}

TEST(Values, SettingTheHeldValueCallsNoEvent) {
    pa::TIntValue value;
    pa::TValueDriver driver;
    Trace trace;
    trace.listen(value);
    trace.listen(driver, "driver");
    driver.SetValue(&value);
    value.SetEnabled(true);
    trace.events.clear();
    bool asked = false;
    value.OnValid = [&](pa::TValue*) { return asked = true; };

    value.SetValue(0);
    EXPECT_TRUE(trace.events.empty());
    EXPECT_FALSE(asked);
    value.SetValue(5);
    EXPECT_EQ(trace.events, (std::vector<std::string>{"driver", "value"}));
    EXPECT_TRUE(asked);
}

TEST(Values, RefusedValueIsPutBackAndStillAnnounced) {
    pa::TFloatValue value;
    value.SetValue(1.25f);
    value.SetEnabled(true);
    float seen = 0;
    value.OnValid = [&](pa::TValue* sender) {
        return static_cast<pa::TFloatValue*>(sender)->Value() != 2.5f;
    };
    int changes = 0;
    value.OnChange = [&](pa::TValue* sender) {
        seen = static_cast<pa::TFloatValue*>(sender)->Value();
        ++changes;
    };
    value.SetValue(2.5f);
    EXPECT_EQ(value.Value(), 1.25f);
    EXPECT_EQ(changes, 1);
    EXPECT_EQ(seen, 1.25f);
}

TEST(Values, DisabledValueTellsItsDriversButNotItsOwnOnChange) {
    pa::TBoolValue value;
    pa::TValueDriver first, second;
    Trace trace;
    trace.listen(value);
    trace.listen(first, "first");
    trace.listen(second, "second");
    first.SetValue(&value);
    second.SetValue(&value);
    value.SetValue(true);
    EXPECT_EQ(trace.events, (std::vector<std::string>{"first", "second"}));
}

TEST(Values, MinAndMaxDoNotClamp) {
    pa::TIntValue value;
    value.SetMin(0);
    value.SetMax(10);
    value.SetValue(50);
    EXPECT_EQ(value.Value(), 50);
}

TEST(Values, EnabledStateReachesDriversAsValueAndDriverEnabled) {
    pa::TIntValue value;
    pa::TValueDriver driver;
    Trace trace;
    trace.listen(driver, "d");
    driver.SetValue(&value);
    value.SetEnabled(true); // driver still disabled
    driver.SetEnabled(true);
    value.SetEnabled(false);
    EXPECT_EQ(trace.events, (std::vector<std::string>{"d-", "d+", "d-"}));

    // A driver that follows nothing tells nobody.
    pa::TValueDriver alone;
    Trace other;
    other.listen(alone, "a");
    alone.SetEnabled(true);
    EXPECT_TRUE(other.events.empty());
}

TEST(Values, DestroyingEitherSideDetaches) {
    auto value = std::make_unique<pa::TIntValue>();
    auto driver = std::make_unique<pa::TValueDriver>();
    pa::TValueDriver survivor;
    driver->SetValue(value.get());
    survivor.SetValue(value.get());
    driver.reset();
    ASSERT_EQ(value->drivers().size(), 1u);
    EXPECT_EQ(value->drivers()[0], &survivor);
    value.reset();
    EXPECT_EQ(survivor.Value(), nullptr);
}

TEST(Values, DriverThatLeavesDuringANotificationDoesNotBreakTheWalk) {
    pa::TIntValue value;
    pa::TValueDriver leaving, staying;
    int stayingCalls = 0;
    leaving.OnChange = [&](pa::TValue*, pa::TValueDriver* d) { d->SetValue(nullptr); };
    staying.OnChange = [&](pa::TValue*, pa::TValueDriver*) { ++stayingCalls; };
    leaving.SetValue(&value);
    staying.SetValue(&value);
    value.SetValue(1);
    EXPECT_EQ(value.drivers().size(), 1u);
    value.SetValue(2);
    EXPECT_GE(stayingCalls, 1);
}

TEST(Values, FollowingAnotherValueLeavesTheFirstList) {
    pa::TIntValue a, b;
    pa::TValueDriver driver;
    driver.SetValue(&a);
    driver.SetValue(&b);
    EXPECT_TRUE(a.drivers().empty());
    ASSERT_EQ(b.drivers().size(), 1u);
}

TEST(Values, RegisteredOnThePageLibPa) {
    pa::registerValueComponents();
    EXPECT_EQ(pa::paletteComponents("LibPa"),
              (std::vector<std::string>{"TValueDriver", "TBoolValue", "TIntValue", "TFloatValue"}));
}

} // namespace
