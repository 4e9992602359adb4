// The signal lamp and its image strip.

#include "glimra/led.h"

#include "glimra/resources.h"

#include <QPainter>

namespace glimra {

namespace {

constexpr int Cell = 16;
constexpr QRgb Transparent = 0xFFFF00FFu; // magenta

// The strip: 3 states across, 4 colours x 2 shapes down.
QImage makeLedStrip() {
    QImage strip(3 * Cell, 8 * Cell, QImage::Format_RGB32);
    strip.fill(Transparent);
    const QColor lit[4] = {QColor(255, 0, 0), QColor(0, 255, 0), QColor(255, 255, 0),
                           QColor(0, 0, 255)};
    QPainter p(&strip);
    p.setRenderHint(QPainter::Antialiasing, false);
    for (int row = 0; row < 8; ++row) {
        const bool square = row >= 4;
        const QColor colour = lit[row % 4];
        for (int state = 0; state < 3; ++state) {
            QColor face = colour;
            if (state == 1) {
                face = QColor(colour.red() / 2, colour.green() / 2, colour.blue() / 2);
            } else if (state == 2) {
                face = QColor(160, 160, 160);
            }
            const QRect cell(state * Cell, row * Cell, Cell, Cell);
            const QRect body = cell.adjusted(1, 1, -2, -2);
            p.setPen(QColor(64, 64, 64));
            p.setBrush(face);
            if (square) {
                p.drawRect(body);
            } else {
                p.drawEllipse(body);
            }
            // A small highlight on the lit lamp, away from its centre.
            if (state == 0) {
                p.setPen(Qt::NoPen);
                p.setBrush(QColor(255, 255, 255));
                p.drawRect(QRect(cell.left() + 4, cell.top() + 4, 2, 2));
            }
        }
    }
    p.end();
    return strip;
}

const LibraryResource ledStrip{LibraryResource::Kind::Bitmap, CLed::StripBitmap, &makeLedStrip};

bool validColour(int colour) {
    return colour == CLed::Red || colour == CLed::Green || colour == CLed::Yellow ||
           colour == CLed::Blue;
}
bool validState(int state) {
    return state >= CLed::On && state <= CLed::Disabled;
}
bool validShape(int shape) {
    return shape == CLed::Round || shape == CLed::Square;
}

} // namespace

CLed::CLed(QWidget* parent) : QWidget(parent), timers_([this](UINT id) { OnTimer(id); }) {
    strip_.LoadBitmap(StripBitmap);
}

CLed::~CLed() = default;

int CLed::SetLed(int colour, int state, int shape) {
    // Values that would address a cell outside the strip are not taken.
    BOOL all = TRUE;
    if (colour != -1) {
        if (validColour(colour)) {
            colour_ = colour;
        } else {
            all = FALSE;
        }
    }
    if (state != -1) {
        if (validState(state)) {
            state_ = state;
        } else {
            all = FALSE;
        }
    }
    if (shape != -1) {
        if (validShape(shape)) {
            shape_ = shape;
        } else {
            all = FALSE;
        }
    }
    shown_ = state_;
    drawNow();
    return all;
}

void CLed::SetOn(BOOL on) {
    if (state_ != Disabled) {
        SetLed(-1, on ? On : Off, -1);
    }
}

void CLed::Enable(BOOL enable, BOOL on) {
    if (state_ == Disabled || !enable) {
        SetLed(-1, enable ? (on ? On : Off) : Disabled, -1);
    }
}

UINT CLed::Ping(UINT periodMs) {
    if (pinging_) {
        timers_.KillTimer(PingTimer);
    }
    pinging_ = TRUE;
    shown_ = On;
    drawNow();
    return timers_.SetTimer(PingTimer, periodMs);
}

BOOL CLed::Blink(BOOL blink, UINT periodMs) {
    if (blinking_) {
        timers_.KillTimer(BlinkTimer);
    }
    if (blink) {
        timers_.SetTimer(BlinkTimer, periodMs);
    }
    blinking_ = blink;
    return blinking_;
}

void CLed::OnTimer(UINT id) {
    if (id == PingTimer) {
        shown_ = Off;
        drawNow();
        timers_.KillTimer(PingTimer);
        pinging_ = FALSE;
    } else if (id == BlinkTimer) {
        SetLed(-1, state_ == Off ? On : Off, -1);
    }
}

void CLed::drawNow() {
    if (isVisible()) {
        repaint();
    } else {
        update();
    }
}

void CLed::DrawLed(CDC* dc, int colour, int state, int shape) {
    if (dc == nullptr || !validColour(colour) || !validState(state) || !validShape(shape)) {
        return;
    }
    int left = 0;
    int top = 0;
    if (width() > 15 && height() > 15) {
        left += (width() - Cell) / 2;
        top += (height() - Cell) / 2;
    }
    CDC stripDC;
    CDC maskDC;
    CDC workDC;
    stripDC.CreateCompatibleDC(dc);
    maskDC.CreateCompatibleDC(dc);
    workDC.CreateCompatibleDC(dc);
    CBitmap mask;
    CBitmap work;
    mask.CreateBitmap(Cell, Cell, 1, 1);
    work.CreateCompatibleBitmap(dc, Cell, Cell);
    CBitmap* oldStrip = stripDC.SelectObject(&strip_);
    CBitmap* oldMask = maskDC.SelectObject(&mask);
    CBitmap* oldWork = workDC.SelectObject(&work);

    const int x = state * Cell;
    const int y = colour + shape;
    workDC.BitBlt(0, 0, Cell, Cell, dc, left, top, SRCCOPY);
    stripDC.SetBkColor(RGB(255, 0, 255));
    maskDC.BitBlt(0, 0, Cell, Cell, &stripDC, x, y, SRCCOPY);
    workDC.BitBlt(0, 0, Cell, Cell, &stripDC, x, y, SRCINVERT);
    workDC.BitBlt(0, 0, Cell, Cell, &maskDC, 0, 0, SRCAND);
    workDC.BitBlt(0, 0, Cell, Cell, &stripDC, x, y, SRCINVERT);
    dc->BitBlt(left, top, Cell, Cell, &workDC, 0, 0, SRCCOPY);

    stripDC.SelectObject(oldStrip);
    maskDC.SelectObject(oldMask);
    workDC.SelectObject(oldWork);
}

void CLed::paintEvent(QPaintEvent*) {
    // The lamp is laid over what the parent shows: its background colour.
    QImage under(size(), QImage::Format_ARGB32_Premultiplied);
    const QWidget* from = parentWidget() != nullptr ? parentWidget() : this;
    under.fill(from->palette().color(from->backgroundRole()));
    {
        CDC dc(&under);
        DrawLed(&dc, colour_, shown_, shape_);
    }
    QPainter painter(this);
    painter.drawImage(0, 0, under);
}

} // namespace glimra
