// Logbook rows on screen (recorded with fixed text measures) and on paper
// (PDF files): columns, colours, separators, heights, pages.

#include "glimra/fontmetrics.h"
#include "glimra/syscolors.h"
#include "logbook_fixture.h"
#include "logbookengine.h"

#include <QApplication>
#include <QListWidget>

namespace glimra {
namespace {

constexpr int kCharWidth = 6;
constexpr int kLineHeight = 10;
// 23 characters of time text plus one average character; 7 "O"s plus one.
constexpr int kTimeColumn = 24 * kCharWidth;
constexpr int kTypeColumn = 8 * kCharWidth;

class LogbookDrawTest : public test::LogbookFixture {
protected:
    LogbookDrawTest() {
        list.resize(600, 200);
        EXPECT_EQ(engine.Attach(&list, "logbook.log", 400, false), 1);
    }

    LogEntry& entry(DWORD type, const char* text = "message") {
        auto e = std::make_unique<LogEntry>();
        e->type = type;
        std::strcpy(e->text, text);
        e->time = SYSTEMTIME{2026, 12, 1, 7, 22, 31, 18, 250};
        entries.push_back(std::move(e));
        return *entries.back();
    }

    // Draws the row into the recorder; twice when the first draw only
    // widened the columns.
    void draw(const LogEntry& e, UINT state = 0, RECT row = {0, 0, 600, kLineHeight}) {
        DRAWITEMSTRUCT item = itemOf(e, ODA_DRAWENTIRE);
        item.itemState = state;
        item.rcItem = row;
        recorder.clear();
        DrawLogbookItem(&item);
        if (recorder.ops.empty()) {
            DrawLogbookItem(&item);
        }
    }

    DRAWITEMSTRUCT itemOf(const LogEntry& e, UINT action) {
        DRAWITEMSTRUCT item;
        item.CtlType = ODT_LISTBOX;
        item.CtlID = 1000;
        item.itemID = 0;
        item.itemAction = action;
        item.hwndItem = &list;
        item.hDC = &dc;
        item.rcItem = {0, 0, 600, kLineHeight};
        item.itemData = reinterpret_cast<std::uintptr_t>(&e);
        return item;
    }

    std::vector<std::pair<QRect, COLORREF>> fills() const {
        std::vector<std::pair<QRect, COLORREF>> out;
        for (const DrawOp& op : recorder.ofKind(DrawOp::Fill)) {
            out.emplace_back(op.rect, op.color);
        }
        return out;
    }

    LogListState& state() { return *logListState(&list); }

    ScopedFontMetrics metrics{std::make_shared<FixedFontMetrics>(kCharWidth, kLineHeight)};
    QListWidget list;
    CZLQLogListBox engine;
    DrawRecorder recorder;
    CDC dc{&recorder, QSize(600, 200)};
    std::vector<std::unique_ptr<LogEntry>> entries;
};

TEST_F(LogbookDrawTest, AWiderTextWidensTheColumnsOfEveryRowAndNarrowerOnesKeepThem) {
    const LogEntry& info = entry(LOGENTRY_INFO);
    DRAWITEMSTRUCT item = itemOf(info, ODA_DRAWENTIRE);
    DrawLogbookItem(&item);
    EXPECT_TRUE(recorder.ops.empty()); // only widened, the list repaints
    EXPECT_EQ(state().widestTime, kTimeColumn);
    EXPECT_EQ(state().widestType, kTypeColumn);

    draw(info);
    const COLORREF window = GetSysColor(COLOR_WINDOW);
    EXPECT_EQ(
        fills(),
        (std::vector<std::pair<QRect, COLORREF>>{
            {QRect(0, 0, kTimeColumn, kLineHeight), window},
            {QRect(kTimeColumn, 0, kTypeColumn, kLineHeight), window},
            {QRect(kTimeColumn + kTypeColumn, 0, 600 - kTimeColumn - kTypeColumn, kLineHeight),
             window}}));
    const std::vector<DrawOp> texts = recorder.texts();
    ASSERT_EQ(texts.size(), 3u);
    EXPECT_EQ(texts[0].text, "07.12.2026 22:31:18:250");
    EXPECT_EQ(texts[0].from, QPoint(2, 0));
    EXPECT_EQ(texts[1].text, "INFO");
    EXPECT_EQ(texts[1].from, QPoint(kTimeColumn + 2, 0));
    EXPECT_EQ(texts[2].from, QPoint(kTimeColumn + kTypeColumn + 2, 0));
    const std::vector<DrawOp> lines = recorder.ofKind(DrawOp::Line);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].from, QPoint(kTimeColumn, 0));
    EXPECT_EQ(lines[1].from, QPoint(kTimeColumn + kTypeColumn, 0));

    // A user type name of ten characters widens the type column once.
    state().userTypeNames[0] = "CALIBRATED";
    draw(entry(LogUserType(0)));
    EXPECT_EQ(state().widestType, 11 * kCharWidth);
    EXPECT_EQ(recorder.texts().at(1).text, "CALIBRATED");
    state().userTypeNames[0] = "CAL";
    draw(entry(LogUserType(0)));
    EXPECT_EQ(state().widestType, 11 * kCharWidth);
    EXPECT_EQ(recorder.texts().at(2).from.x(), kTimeColumn + 11 * kCharWidth + 2);
}

TEST_F(LogbookDrawTest, BackgroundsAndTextColoursOfACell) {
    const COLORREF window = GetSysColor(COLOR_WINDOW);
    const COLORREF highlight = GetSysColor(COLOR_HIGHLIGHT);
    state().debugText[1] = RGB(0, 128, 0);
    state().debugBk[1] = RGB(255, 255, 0);

    LogEntry& loaded = entry(LOGENTRY_WARNING);
    loaded.timeBkColorSet = 1;
    loaded.timeBkColor = RGB(0, 0, 200);
    loaded.messageTextColorSet = 1;
    loaded.messageTextColor = RGB(9, 9, 9);
    LogEntry& fresh = entry(LOGENTRY_INFO);
    fresh.newEntry = 1;
    fresh.timeBkColorSet = 1;
    fresh.timeBkColor = RGB(0, 0, 200);
    LogEntry& debug = entry(LOGENTRY_DEBUG2);
    debug.typeBkColorSet = 1;
    debug.typeBkColor = RGB(1, 2, 3);

    const struct {
        const LogEntry* entry;
        UINT state;
        std::array<COLORREF, 3> bk;
        std::array<COLORREF, 3> text;
    } cases[] = {
        {&loaded, 0, {RGB(0, 0, 200), window, window}, {0, 0, RGB(9, 9, 9)}},
        {&loaded,
         ODS_SELECTED,
         {highlight, highlight, highlight},
         {0xFFFFFF, 0xFFFFFF, RGB(9, 9, 9)}},
        {&fresh, 0, {RGB(210, 210, 210), window, window}, {0, 0, 0}},
        {&debug, 0, {window, RGB(255, 255, 0), window}, {0, RGB(0, 128, 0), 0}},
        {&debug,
         ODS_SELECTED,
         {highlight, highlight, highlight},
         {0xFFFFFF, RGB(0, 128, 0), 0xFFFFFF}},
    };
    for (const auto& c : cases) {
        draw(*c.entry, c.state);
        const auto f = fills();
        const std::vector<DrawOp> texts = recorder.texts();
        ASSERT_EQ(f.size(), 3u);
        ASSERT_EQ(texts.size(), 3u);
        for (std::size_t i = 0; i < 3; ++i) {
            EXPECT_EQ(f[i].second, c.bk[i]) << c.entry->type << " cell " << i;
            EXPECT_EQ(texts[i].color, c.text[i]) << c.entry->type << " text " << i;
        }
    }
}

TEST_F(LogbookDrawTest, SeparatorsAreLinesAcrossTheRow) {
    const struct {
        DWORD type;
        int style;
        int width;
    } cases[] = {
        {LOGENTRY_LINE_SOLID, PS_SOLID, 1},
        {LOGENTRY_LINE_THICK, PS_SOLID, 3},
        {LOGENTRY_LINE_DASH, PS_DASH, 1},
        {LOGENTRY_LINE_DOT, PS_DOT, 1},
        {LOGENTRY_LINE_DASHDOT, PS_DASHDOT, 1},
        {LOGENTRY_LINE_DASHDOTDOT | LOGENTRY_INFO, PS_DASHDOTDOT, 1},
        {LOGENTRY_LINE_DOT | LOGENTRY_LINE_DASH, PS_DASH, 1}, // the first style set
    };
    for (const auto& c : cases) {
        draw(entry(c.type), 0, RECT{0, 20, 600, 40});
        EXPECT_TRUE(recorder.texts().empty()) << std::hex << c.type;
        const std::vector<DrawOp> lines = recorder.ofKind(DrawOp::Line);
        ASSERT_EQ(lines.size(), 3u) << std::hex << c.type; // two column edges, the separator
        EXPECT_EQ(lines[2].from, QPoint(0, 30));
        EXPECT_EQ(lines[2].to, QPoint(600, 30));
        EXPECT_EQ(lines[2].penStyle, c.style) << std::hex << c.type;
        EXPECT_EQ(lines[2].penWidth, c.width) << std::hex << c.type;
        EXPECT_EQ(lines[2].color, 0u);
    }
}

TEST_F(LogbookDrawTest, HiddenTextsEmptyRowsAndTheFocus) {
    draw(entry(LOGENTRY_ERROR | LOGENTRY_NO_TIME | LOGENTRY_NO_TYPE, "only this"));
    ASSERT_EQ(recorder.texts().size(), 1u);
    EXPECT_EQ(recorder.texts()[0].text, "only this");

    draw(entry(0), ODS_SELECTED);
    EXPECT_EQ(fills(), (std::vector<std::pair<QRect, COLORREF>>{
                           {QRect(0, 0, 600, kLineHeight), GetSysColor(COLOR_HIGHLIGHT)}}));
    EXPECT_EQ(recorder.ops.size(), 1u);

    DRAWITEMSTRUCT item = itemOf(entry(LOGENTRY_INFO), ODA_FOCUS);
    recorder.clear();
    DrawLogbookItem(&item);
    ASSERT_EQ(recorder.ops.size(), 1u);
    EXPECT_EQ(recorder.ops[0].kind, DrawOp::FocusRect);
    // Other controls, lists without a logbook and rows without entries are left alone.
    recorder.clear();
    item.itemAction = ODA_DRAWENTIRE;
    item.CtlType = ODT_COMBOBOX;
    DrawLogbookItem(&item);
    QListWidget plain;
    item.CtlType = ODT_LISTBOX;
    item.hwndItem = &plain;
    DrawLogbookItem(&item);
    item.hwndItem = &list;
    item.itemData = 0;
    DrawLogbookItem(&item);
    EXPECT_TRUE(recorder.ops.empty());
}

TEST_F(LogbookDrawTest, ARowIsAsTallAsItsLinesInTheTallerFont) {
    LogEntry& plain = entry(LOGENTRY_INFO, "one\ntwo\nthree");
    LogEntry& large = entry(LOGENTRY_INFO, "one\ntwo");
    LOGFONTA lf;
    lf.lfHeight = -20;
    large.hFont = std::make_unique<CFont>();
    large.hFont->CreateFontIndirect(&lf);
    LogEntry& huge = entry(LOGENTRY_INFO, "x");
    lf.lfHeight = 1 << 30;
    huge.hFont = std::make_unique<CFont>();
    huge.hFont->CreateFontIndirect(&lf);
    const struct {
        const LogEntry* entry;
        UINT given;
        UINT height;
    } cases[] = {{&plain, 13, 39}, {&large, 13, 40}, {&large, 25, 50}, {&huge, 13, 1000}};
    for (const auto& c : cases) {
        MEASUREITEMSTRUCT item;
        item.CtlType = ODT_LISTBOX;
        item.itemID = 0;
        item.itemHeight = c.given;
        item.itemData = reinterpret_cast<std::uintptr_t>(c.entry);
        MeasureLogbookItem(&item);
        EXPECT_EQ(item.itemHeight, c.height) << c.entry->text;
    }
}

// Printing, with text measures of a printer's size: a row is 44 device
// pixels high on paper, so that 255 lines fill more than a page.
constexpr int kPrintChar = 20;
constexpr int kPrintLine = 40;

class LogbookPrintTest : public LogbookDrawTest {
protected:
    ScopedFontMetrics printMetrics{std::make_shared<FixedFontMetrics>(kPrintChar, kPrintLine)};

    // The texts printed, page by page, as the recorder saw them.
    std::vector<std::vector<std::string>> pages() const {
        std::vector<std::vector<std::string>> out;
        for (const DrawOp& op : printers->record.texts()) {
            if (op.text == "TIME") {
                out.emplace_back();
            }
            out.back().push_back(op.text);
        }
        return out;
    }
};

TEST_F(LogbookPrintTest, APrintHasTheHeaderTheEntriesAndTheTypeCells) {
    ASSERT_EQ(engine.AddMessage("started", LOGENTRY_INFO), 1);
    ASSERT_EQ(engine.AddEmptyEntry(LOGENTRY_LINE_DASH), 1);
    ASSERT_EQ(engine.AddMessage("broke\ndown", LOGENTRY_ERROR), 1);
    ASSERT_EQ(engine.AddEmptyEntry(0), 1);
    ASSERT_EQ(engine.Print(nullptr, true, "logbook.txt", "Courier New", 30), 1);

    ASSERT_EQ(printers->asked, std::vector<bool>{true}); // the default printer, no dialog
    ASSERT_EQ(engine.printer()->resolution(), kLogbookPrintDpi);
    EXPECT_EQ(engine.printer()->docName(), "logbook.txt");
    const QByteArray pdf = test::readPdf(printers->pdfPath());
    EXPECT_TRUE(pdf.startsWith("%PDF"));
    EXPECT_EQ(test::pdfPageCount(pdf), 1);
    EXPECT_EQ(pages(), (std::vector<std::vector<std::string>>{
                           {"TIME", "TYPE", "MESSAGE", "07.12.2026 22:31:18:250", "INFO", "started",
                            "07.12.2026 22:31:18:250", "ERROR", "broke", "down"}}));

    const std::vector<DrawOp> texts = printers->record.texts();
    const int row = kPrintLine + 4;
    const int timeRight = 23 * kPrintChar + 20;
    const int typeRight = timeRight + 7 * kPrintChar + 20;
    EXPECT_EQ(texts[3].from, QPoint(4, row + 6));
    EXPECT_EQ(texts[4].from, QPoint(timeRight + 4, row + 6));
    // The separator took one row and a pixel; the error starts below it.
    const int errorTop = row + 6 + 2 * (row + 1);
    EXPECT_EQ(texts[7].from, QPoint(timeRight + 4, errorTop));
    EXPECT_EQ(texts[9].from, QPoint(typeRight + 4, errorTop + kPrintLine));

    std::vector<std::pair<QRect, COLORREF>> fills;
    for (const DrawOp& op : printers->record.ofKind(DrawOp::Fill)) {
        fills.emplace_back(op.rect, op.color);
    }
    const COLORREF face = GetSysColor(COLOR_BTNFACE);
    const COLORREF grey = RGB(210, 210, 210);
    EXPECT_EQ(fills,
              (std::vector<std::pair<QRect, COLORREF>>{
                  {QRect(0, 0, timeRight, row), face},
                  {QRect(timeRight, 0, typeRight - timeRight, row), face},
                  {QRect(typeRight, 0, fills.at(2).first.width(), row), face},
                  {QRect(0, row + 6, timeRight, row), grey},
                  {QRect(1, row + 6 + row + 1, timeRight - 2, row), grey},
                  {QRect(0, errorTop, timeRight, row), grey},
                  {QRect(timeRight, errorTop, typeRight - timeRight, row), RGB(255, 0, 0)}}));

    // Without colour: frames, lines and texts only.
    printers->record.clear();
    ASSERT_EQ(engine.Print(nullptr, false, "plain", "Courier New", 30), 1);
    EXPECT_TRUE(printers->record.ofKind(DrawOp::Fill).empty());
    EXPECT_EQ(printers->record.texts().size(), texts.size());
    // The chosen printer stays valid for the next print.
    EXPECT_EQ(printers->asked.size(), 1u);
}

TEST_F(LogbookPrintTest, EntriesThatDoNotFitStartTheNextPageBelowARepeatedHeader) {
    const std::string tall = "tall" + std::string(254, '\n');
    ASSERT_EQ(engine.AddMessage(tall.c_str(), LOGENTRY_WARNING), 1); // taller than a page
    for (int i = 0; i < 300; ++i) {
        ASSERT_EQ(engine.AddMessage(("entry " + std::to_string(i)).c_str(), LOGENTRY_INFO), 1);
    }
    ASSERT_EQ(engine.Print(nullptr, true, "long", "Courier New", 30), 1);

    const auto printed = pages();
    EXPECT_EQ(test::pdfPageCount(test::readPdf(printers->pdfPath())),
              static_cast<int>(printed.size()));
    ASSERT_GE(printed.size(), 3u);
    // The tall entry has its own page and is not printed again.
    EXPECT_EQ(printed[0].at(5), "tall");
    EXPECT_EQ(std::count(printed[1].begin(), printed[1].end(), "tall"), 0);
    EXPECT_EQ(printed[1].at(3), "07.12.2026 22:31:18:250");
    EXPECT_EQ(printed[1].at(5), "entry 0");
    int next = 0;
    for (std::size_t p = 1; p < printed.size(); ++p) {
        EXPECT_EQ(std::vector<std::string>(printed[p].begin(), printed[p].begin() + 3),
                  (std::vector<std::string>{"TIME", "TYPE", "MESSAGE"}));
        for (std::size_t i = 5; i < printed[p].size(); i += 3) {
            EXPECT_EQ(printed[p][i], "entry " + std::to_string(next++));
        }
    }
    EXPECT_EQ(next, 300);
    const int pageBottom =
        engine.printer()->pageLayout().paintRectPixels(kLogbookPrintDpi).height() - 1;
    for (const DrawOp& op : printers->record.texts()) {
        if (op.text.rfind("entry", 0) == 0) {
            EXPECT_LE(op.from.y() + kPrintLine + 4, pageBottom) << op.text;
        }
    }
}

TEST_F(LogbookPrintTest, AUserTypeNameOfFiftyCharactersIsPrintedWhole) {
    const std::string name(50, 'U');
    state().userTypeNames[5] = name;
    ASSERT_EQ(engine.AddMessage("x", static_cast<int>(LogUserType(5))), 1);
    ASSERT_EQ(engine.Print(nullptr, false, "doc", "Courier New", 30), 1);
    const std::vector<DrawOp> texts = printers->record.texts();
    ASSERT_EQ(texts.size(), 6u);
    EXPECT_EQ(texts[4].text, name);
    // The type column is as wide as the name: the message starts behind it.
    EXPECT_EQ(texts[5].from.x(), 23 * kPrintChar + 20 + 50 * kPrintChar + 20 + 4);
}

TEST_F(LogbookPrintTest, NoPrinterNoPrint) {
    printers->answer = PrinterProvider::Choice::Failed;
    ASSERT_EQ(engine.AddMessage("x", LOGENTRY_INFO), 1);
    EXPECT_EQ(engine.PrinterSetup(nullptr, false), 0);
    EXPECT_EQ(engine.Print(nullptr, true, "doc", "Courier New", 30), 0);
    printers->answer = PrinterProvider::Choice::Cancelled;
    EXPECT_EQ(engine.PrinterSetup(nullptr, false), 1); // a cancelled dialog is no error
    EXPECT_EQ(engine.printer(), nullptr);
    EXPECT_TRUE(files().filter(".pdf").isEmpty());
}

} // namespace
} // namespace glimra
