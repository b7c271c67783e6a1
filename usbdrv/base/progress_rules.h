// The progress window's rules that need no system call: the texts it shows one after the other,
// its clock of counted ticks, where it sits over its owner, how it answers the system's hit test,
// and which window pauses its clock. The window itself is install/progress_window.cpp.
#pragma once

#include <cstddef>
#include <cstdint>

// The texts that replace "Installing Driver..." one after the other, one every kTicksPerText
// counted ticks.
constexpr size_t kProgressTextCount = 19;
extern const char* const progress_texts[kProgressTextCount];

constexpr uint32_t kTicksPerText = 15;
// Counted ticks (of one second) after which the window cancels the work.
constexpr uint32_t kProgressTimeoutTicks = 300;

// Counted ticks and the next text to show; both 0 when the window is created.
struct progress_clock {
    uint32_t ticks = 0;
    uint32_t text_index = 0;
};

enum class progress_step {
    none,
    show_text,  // show progress_texts[text]
    time_out,   // cancel the work
};

struct progress_tick {
    progress_step step = progress_step::none;
    uint32_t text = 0;
};

// Counts one tick. Text i is due at tick 15 * (i + 1) + 1; once all are shown, a tick beyond 300
// with the worker still running times it out. A tick that shows a text never times it out.
progress_tick count_progress_tick(progress_clock& clock, bool worker_running);

// The window's origin on the screen: centred horizontally over the owner's client area, 35
// pixels above its vertical centre. client_centre_x/y: the screen point at half the client
// area's width and height; width, height: the window's size. Halves are cut toward zero.
struct screen_point {
    int x;
    int y;
};
constexpr int kProgressRaise = 35;
screen_point progress_origin(int client_centre_x, int client_centre_y, int width, int height);

// The window's answer to the system's hit test, from the default answer: a border or the size
// box counts as client area, and everything else (the caption, the client area itself) as
// nowhere, so that the window can be neither moved nor resized.
int progress_hit_test(int default_answer);

// The system's prompt about a driver's publisher, whose time the window does not count: any
// window with one of WS_POPUP, WS_BORDER, WS_SYSMENU in its style and exactly this title.
constexpr uint32_t kSecurityPromptStyles = 0x80880000;
constexpr wchar_t kSecurityPromptTitle[] = L"Windows Security";
bool is_security_prompt(uint32_t style, const wchar_t* title);
