#pragma once
// CLed: a 16 x 16 pixel signal lamp in a static control, round or square,
// red, green, yellow or blue, lit, dark or greyed. It can flash once for a
// time (Ping, timer 1365) or blink until told to stop (Blink, timer 1366).
// The images are cells of the library's bitmap strip 10505: the column is
// the state, the row the colour plus the shape; magenta is transparent.

#include "glimra/export.h"
#include "glimra/gdi.h"
#include "glimra/timers.h"

#include <QWidget>

namespace glimra {

class GLIMRA_EXPORT CLed : public QWidget {
    Q_OBJECT

public:
    static constexpr UINT PingTimer = 1365;
    static constexpr UINT BlinkTimer = 1366;
    static constexpr UINT StripBitmap = 10505;

    // Colours: the row offsets in the strip.
    static constexpr int Red = 0;
    static constexpr int Green = 16;
    static constexpr int Yellow = 32;
    static constexpr int Blue = 48;
    // States: the columns.
    static constexpr int On = 0;
    static constexpr int Off = 1;
    static constexpr int Disabled = 2;
    // Shapes: the block offsets.
    static constexpr int Round = 0;
    static constexpr int Square = 64;

    explicit CLed(QWidget* parent = nullptr);
    ~CLed() override;

    // -1 keeps a value; a value that names no cell of the strip is kept too
    // (FALSE). Draws at once.
    int SetLed(int colour, int state, int shape);
    void SetOn(BOOL on);
    void Enable(BOOL enable, BOOL on);
    int GetLedState() const { return state_; }
    int GetColour() const { return colour_; }
    int GetShape() const { return shape_; }
    // Lights the lamp for periodMs, then draws it dark; the timer's id.
    UINT Ping(UINT periodMs);
    BOOL Blink(BOOL blink, UINT periodMs);
    BOOL IsBlinking() const { return blinking_; }
    BOOL IsPinging() const { return pinging_; }
    // The state the lamp shows now (a ping shows lit without storing it).
    int shownState() const { return shown_; }

    // Draws one lamp image into dc, centred in the control when it is larger
    // than the lamp; reads the background under it from dc.
    void DrawLed(CDC* dc, int colour, int state, int shape);

protected:
    void paintEvent(QPaintEvent* event) override;
    void OnTimer(UINT id);

private:
    void drawNow();

    int colour_ = Red;
    int state_ = Off;
    int shape_ = Round;
    int shown_ = Off;
    BOOL pinging_ = FALSE;
    BOOL blinking_ = FALSE;
    CBitmap strip_;
    Timers timers_;
};

} // namespace glimra
