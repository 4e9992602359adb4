// A client of the GUI components class library: a dialog with a chart of a
// spectrum and a progress control placed in dialog units, found again by
// their control ids, and drawn into a picture.
//
//   c++ -std=c++20 glimra_widgets.cpp $(pkg-config --cflags --libs glimra) -o glimra_widgets
//   QT_QPA_PLATFORM=offscreen ./glimra_widgets picture.png
//
// Exits 1 when a control is not where the library put it or not drawn.
#include <glimra/chart.h>
#include <glimra/dialog.h>
#include <glimra/library.h>
#include <glimra/progressctrl.h>

#include <QApplication>
#include <QImage>
#include <QWidget>

#include <cmath>
#include <cstdio>

using namespace glimra;

namespace {

constexpr int IDC_CHART = 1001;
constexpr int IDC_PROGRESS = 1002;

int fail(const char* what) {
    std::fprintf(stderr, "glimra_widgets: %s\n", what);
    return 1;
}

} // namespace

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    InitGuiLibrary();

    QWidget dialog;
    // A dialog laid out as a template would be: 200 x 140 dialog units.
    const DialogBaseUnits units = dialogBaseUnits(dialog.font());
    const RECT size = MapDialogRect(RECT{0, 0, 200, 140}, units);
    dialog.resize(size.right, size.bottom);

    CChart chart;
    if (!chart.Create(WS_CHILD | WS_VISIBLE, MapDialogRect(RECT{5, 5, 195, 115}, units), &dialog,
                      IDC_CHART)) {
        return fail("the chart was not created");
    }
    chart.SetTitle("Spectrum");
    chart.SetAxisNames("Wave Length", "Counts");
    chart.SetRange(350, 850, 0, 1400);
    chart.SetCurveCount(1);
    chart.AllocCurves(501);
    for (int i = 0; i <= 500; ++i) {
        const double nm = 350 + i;
        chart.SetPoint(nm, 300 + 1000 * std::exp(-std::pow((nm - 600) / 40, 2)), i, 0);
    }

    CProgressCtrlX progress(&dialog);
    const RECT bar = MapDialogRect(RECT{5, 120, 195, 132}, units);
    progress.setGeometry(bar.left, bar.top, bar.right - bar.left, bar.bottom - bar.top);
    setDlgCtrlID(&progress, IDC_PROGRESS);
    progress.SetRange(0, 4);
    progress.SetPos(3);
    progress.SetColors(RGB(0, 0, 255), RGB(0, 0, 255));
    progress.SetBkColor(RGB(255, 255, 255));
    progress.ShowPercent(true);

    if (GetDlgItem(&dialog, IDC_CHART) != &chart || GetDlgItem(&dialog, IDC_PROGRESS) != &progress ||
        GetDlgCtrlID(&progress) != IDC_PROGRESS) {
        return fail("a control is not found by its id");
    }

    const QImage picture = dialog.grab().toImage();
    if (argc > 1 && !picture.save(QString::fromLocal8Bit(argv[1]))) {
        return fail("the picture was not written");
    }
    // Three quarters of the bar are drawn in its colour, the rest in the
    // background's.
    const int y = (bar.top + bar.bottom) / 2;
    const int width = bar.right - bar.left;
    const QRgb filled = picture.pixel(bar.left + width / 8, y);
    const QRgb empty = picture.pixel(bar.right - width / 8, y);
    if (filled != qRgb(0, 0, 255) || empty != qRgb(255, 255, 255)) {
        return fail("the progress bar is not drawn at 75 %");
    }
    std::printf("dialog %dx%d, chart %dx%d, progress %d%%\n", picture.width(), picture.height(),
                chart.width(), chart.height(), progress.GetPos() * 100 / 4);
    return 0;
}
