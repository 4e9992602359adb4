// The extended combo box's item data and separators, and the sensor boxes
// over the processing and acquisition libraries.

#include "glimra/combobox.h"
#include "glimra_test_support.h"
#include "tarvik_binding.h"

#include "dorvel/sensor_catalogue.h"

#include <QAbstractItemView>
#include <QApplication>

#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

namespace glimra {
namespace {

class ComboBoxTest : public test::WithApplication {
protected:
    static void SetUpTestSuite() {
        test::startApplication();
        detail::setTarvikLibraryFile(TARVIK_LIBRARY_FILE);
    }
    void TearDown() override { detail::setTarvikLibraryFile(TARVIK_LIBRARY_FILE); }

    static std::vector<std::string> texts(const CExtComboBox& box) {
        std::vector<std::string> out;
        for (int i = 0; i < box.GetCount(); ++i) {
            out.push_back(box.GetLBTextAt(i));
        }
        return out;
    }

    // The open list as it draws itself, kept as a picture.
    static QImage listPicture(CExtComboBox& box, const std::string& name) {
        box.resize(200, 24);
        box.show();
        box.showPopup();
        QApplication::processEvents();
        const QImage image = test::grabWidget(box.view()->viewport(), name);
        box.hidePopup();
        return image;
    }
};

TEST_F(ComboBoxTest, EachKindOfDatumIsReadAsItsKind) {
    const struct {
        const char* name;
        std::function<BOOL(CExtComboBox&)> add;
        CExtComboBox::DataKind kind;
        std::string text;
        int value;
    } cases[] = {
        {"string", [](CExtComboBox& b) { return b.AddItem("a", std::string("42 mm")); },
         CExtComboBox::KindString, "42 mm", 42},
        {"text", [](CExtComboBox& b) { return b.AddItem("a", "-7x"); }, CExtComboBox::KindText,
         "-7x", -7},
        {"int", [](CExtComboBox& b) { return b.AddItem("a", -12); }, CExtComboBox::KindInt, "-12",
         -12},
        {"long", [](CExtComboBox& b) { return b.AddItem("a", 70000L); }, CExtComboBox::KindLong,
         "70000", 70000},
        {"raw", [](CExtComboBox& b) { return b.AddItemData("a", 4256); }, CExtComboBox::KindRaw,
         "4256", 4256},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        CExtComboBox box;
        EXPECT_EQ(box.dataKind(), CExtComboBox::KindNone);
        ASSERT_TRUE(c.add(box));
        EXPECT_EQ(box.dataKind(), c.kind);
        std::string text;
        EXPECT_TRUE(box.GetItemText(0, text));
        EXPECT_EQ(text, c.text);
        int value = 0;
        EXPECT_TRUE(box.GetItemValue(0, &value));
        EXPECT_EQ(value, c.value);
        EXPECT_FALSE(box.GetItemValue(-1, &value));
        box.SetCurSel(0);
        EXPECT_TRUE(box.GetSelItemText(text));
        EXPECT_EQ(text, c.text);
        // Strings are found by text, numbers by value, never the other way.
        const bool isString = c.kind <= CExtComboBox::KindText;
        EXPECT_EQ(box.FindItemText(-1, c.text.c_str()), isString ? 0 : -1);
        EXPECT_EQ(box.FindItemValue(-1, static_cast<DWORD_PTR>(c.value)), isString ? -1 : 0);
    }
}

TEST_F(ComboBoxTest, AddsAndLookUps) {
    CExtComboBox box;
    EXPECT_FALSE(box.AddItem(nullptr, "x"));
    EXPECT_FALSE(box.AddItemData(nullptr, 1));
    EXPECT_EQ(box.GetCount(), 0);
    EXPECT_EQ(box.FindItemText(-1, "x"), -1); // an empty box finds nothing

    ASSERT_TRUE(box.AddItem("First", "abc"));
    ASSERT_TRUE(box.AddItem("Second", "xyz"));
    ASSERT_TRUE(box.AddItem("Third", "ABC"));
    EXPECT_EQ(box.FindItemText(-1, "ABC"), 0); // ignoring case
    EXPECT_EQ(box.FindItemText(1, "abc"), 2);
    EXPECT_EQ(box.FindItemText(-1, "ab"), -1);
    EXPECT_EQ(box.SelectByText("XYZ"), 1);
    EXPECT_EQ(box.GetSelText(), "Second");
    EXPECT_EQ(box.SelectByText("none"), -1);
    EXPECT_EQ(box.GetCurSel(), 1);

    // A number added to a box of strings stays a number: it is never read as
    // the address of a string.
    ASSERT_TRUE(box.AddItem("Fourth", 7));
    EXPECT_EQ(box.dataKind(), CExtComboBox::KindText);
    std::string text;
    EXPECT_TRUE(box.GetItemText(3, text));
    EXPECT_EQ(text, "7");
    EXPECT_EQ(box.FindItemText(-1, "7"), -1);

    // A datum of 0 has no text.
    CExtComboBox numbers;
    ASSERT_TRUE(numbers.AddItem("zero", 0));
    EXPECT_FALSE(numbers.GetItemText(0, text));
    EXPECT_EQ(numbers.GetLBTextAt(-1), "");
    EXPECT_EQ(numbers.SelectByValue(0), 0);
    int value = 5;
    EXPECT_TRUE(numbers.GetSelValue(&value));
    EXPECT_EQ(value, 0);
    numbers.SetCurSel(-1);
    EXPECT_FALSE(numbers.GetSelValue(&value));
    EXPECT_FALSE(numbers.GetSelItemText(text));
}

TEST_F(ComboBoxTest, SeparatorPositionsAndItemHeight) {
    CExtComboBox box;
    for (const char* t : {"a", "b", "c", "d", "e"}) {
        box.AddItemData(t, 1);
    }
    const struct {
        int position;
        int item;
    } cases[] = {{-1, 3}, {0, 0}, {3, 3}, {4, -1}, {-4, 0}, {-5, -1}, {-100, -1}};
    for (const auto& c : cases) {
        EXPECT_EQ(box.separatorItem(c.position), c.item) << c.position;
    }

    const int height = box.GetItemHeight();
    box.AddSeparator(1);
    box.AddSeparator(-1);
    EXPECT_EQ(box.GetItemHeight(), height + 3); // raised once
    EXPECT_EQ(box.separators(), (std::vector<int>{1, -1}));
    const QImage image = listPicture(box, "extcombobox_separators");
    const QRect item = box.view()->visualRect(box.model()->index(1, 0));
    EXPECT_EQ(item.height(), height + 3);
    // A dotted line 2 pixels up from the item's bottom, 2 pixels in.
    const int y = item.bottom() + 1 - 2;
    int dots = 0;
    for (int x = item.left() + 2; x < item.right() - 2; ++x) {
        dots += test::pixel(image, x, y) == 0x404040 ? 1 : 0;
    }
    EXPECT_GT(dots, item.width() / 4);
    EXPECT_NE(test::pixel(image, item.left() + 2, y - 3), 0x404040);

    box.ResetContent();
    EXPECT_EQ(box.GetCount(), 0);
    EXPECT_TRUE(box.separators().empty());
    EXPECT_EQ(box.GetItemHeight(), height);
}

TEST_F(ComboBoxTest, TheSelectionCanBeReadAfterTheWindowWent) {
    CExtComboBox box;
    box.AddItem("one", std::string("1st"));
    box.AddItem("two", std::string("2nd"));
    box.SetCurSel(1);
    ASSERT_TRUE(box.DestroyWindow());
    EXPECT_EQ(box.GetSelText(), "two");
    std::string text;
    EXPECT_TRUE(box.GetSelItemText(text));
    EXPECT_EQ(text, "2nd");
    int value = 0;
    EXPECT_FALSE(box.GetSelValue(&value)); // the cached value, reported as such
    EXPECT_EQ(value, 2);
    EXPECT_EQ(box.dataKind(), CExtComboBox::KindNone);
    EXPECT_FALSE(box.AddItem("three", 3));

    CExtComboBox numbers;
    numbers.AddItem("ten", 10L);
    numbers.SetCurSel(0);
    numbers.DestroyWindow();
    long number = 0;
    EXPECT_FALSE(numbers.GetSelValue(&number));
    EXPECT_EQ(number, 10);
}

TEST_F(ComboBoxTest, TheLengthBoxListsWhatTheAcquisitionLibraryReports) {
    CSensorLengthComboBox box;
    const int height = box.GetItemHeight();
    ASSERT_TRUE(box.Fill(7));
    EXPECT_EQ(texts(box), (std::vector<std::string>{"532 pixels", "1044 pixels", "4256 pixels",
                                                    "8352 pixels"}));
    EXPECT_EQ(box.separators(), (std::vector<int>{1})); // under the entry before 4256
    EXPECT_EQ(box.GetItemHeight(), height + 3);
    EXPECT_EQ(box.GetSelectedLength(), 532);
    EXPECT_TRUE(box.SelectLength(4256));
    EXPECT_EQ(box.GetSelectedLength(), 4256);
    EXPECT_FALSE(box.SelectLength(99));
    listPicture(box, "sensor_length_combobox");

    // A type the library knows without lengths.
    ASSERT_TRUE(box.Fill(128));
    EXPECT_EQ(texts(box), (std::vector<std::string>{"n/a"}));
    EXPECT_FALSE(box.isEnabled());
    EXPECT_TRUE(box.separators().empty());
    EXPECT_EQ(box.GetItemHeight(), height);
    EXPECT_EQ(box.GetSelectedLength(), 0);
    ASSERT_TRUE(box.Fill(11));
    EXPECT_TRUE(box.isEnabled());
    EXPECT_EQ(box.GetCount(), 3);

    // One it does not know: no change.
    EXPECT_FALSE(box.Fill(0x1001));
    EXPECT_EQ(box.GetCount(), 3);
    EXPECT_EQ(box.filledType(), 11);
}

TEST_F(ComboBoxTest, ARepeatedFillAsksNothingAndAMissingLibraryChangesNothing) {
    CSensorLengthComboBox box;
    ASSERT_TRUE(box.Fill(7));
    detail::setTarvikLibraryFile("/nonexistent/libtarvik.so");
    EXPECT_TRUE(box.Fill(7)); // not asked again
    EXPECT_FALSE(box.Fill(11));
    EXPECT_EQ(box.GetCount(), 4);
    EXPECT_EQ(box.filledType(), 7);
    EXPECT_EQ(detail::GetSupportedSensorLengths(7, 0, nullptr), -1);
    EXPECT_EQ(
        detail::defaultTarvikLibraryFile().substr(detail::defaultTarvikLibraryFile().rfind('/')),
        "/libtarvik.so.1");
}

TEST_F(ComboBoxTest, TheTypeBoxListsTheCatalogueInGroupsAndDrivesTheLengthBox) {
    CSensorTypeComboBox types;
    ASSERT_TRUE(types.Fill());
    ASSERT_TRUE(types.Fill()); // a second fill does not add the items again
    const int n = dorvel::GetSensorTypeCount();
    ASSERT_EQ(types.GetCount(), n);
    for (int i = 0; i < n; ++i) {
        EXPECT_EQ(types.GetLBTextAt(i), dorvel::GetSensorTypeName(static_cast<int16_t>(i)));
    }
    ASSERT_FALSE(types.separators().empty());
    for (const int p : types.separators()) {
        ASSERT_GE(p, 0);
        EXPECT_NE(dorvel::GetSensorTypeGroup(static_cast<int16_t>(p)),
                  dorvel::GetSensorTypeGroup(static_cast<int16_t>(p + 1)))
            << p;
    }
    EXPECT_EQ(types.GetCurSel(), 0);
    listPicture(types, "sensor_type_combobox");

    CSensorLengthComboBox lengths;
    EXPECT_TRUE(types.SetLengthComboBox(&lengths));
    EXPECT_EQ(lengths.filledType(), dorvel::GetSensorTypeCode(0));
    EXPECT_TRUE(types.SelectType(7));
    EXPECT_EQ(lengths.filledType(), 7);
    EXPECT_EQ(lengths.GetSelectedLength(), 532);
    EXPECT_FALSE(types.SelectType(12)); // not offered
    EXPECT_EQ(lengths.filledType(), 7);

    // The user picks a type in the list.
    const int index = types.FindItemValue(-1, 11);
    ASSERT_GE(index, 0);
    types.setCurrentIndex(index);
    emit types.activated(index);
    EXPECT_EQ(lengths.filledType(), 11);
}

} // namespace
} // namespace glimra
