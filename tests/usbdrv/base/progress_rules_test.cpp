#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "base/progress_rules.h"

namespace {

// What a run of counted ticks brings, tick by tick, for ticks 1 to `last`.
std::vector<progress_tick> run_clock(uint32_t last, bool worker_running) {
    progress_clock clock;
    std::vector<progress_tick> steps;
    for (uint32_t tick = 1; tick <= last; tick++)
        steps.push_back(count_progress_tick(clock, worker_running));
    return steps;
}

TEST(ProgressClock, ShowsEachTextFifteenTicksAfterTheLastAndEndsTheWorkerAtTick301) {
    const std::vector<progress_tick> steps = run_clock(320, true);
    std::vector<uint32_t> text_ticks;
    for (uint32_t tick = 1; tick <= steps.size(); tick++) {
        const progress_tick& step = steps[tick - 1];
        SCOPED_TRACE("tick " + std::to_string(tick));
        if (step.step == progress_step::show_text) {
            EXPECT_EQ(step.text, text_ticks.size()) << "the texts come in order";
            text_ticks.push_back(tick);
        }
        // Every tick from 301 on asks again, until the worker is gone.
        EXPECT_EQ(step.step == progress_step::time_out, tick >= 301);
    }
    const std::vector<uint32_t> expected = {16,  31,  46,  61,  76,  91,  106, 121, 136, 151,
                                            166, 181, 196, 211, 226, 241, 256, 271, 286};
    EXPECT_EQ(text_ticks, expected);
}

TEST(ProgressClock, WithoutAWorkerTheTextsGoOnAndNothingEnds) {
    const std::vector<progress_tick> with = run_clock(400, true);
    const std::vector<progress_tick> without = run_clock(400, false);
    for (size_t i = 0; i < without.size(); i++) {
        EXPECT_NE(without[i].step, progress_step::time_out) << "tick " << i + 1;
        if (with[i].step == progress_step::show_text) {
            EXPECT_EQ(without[i].step, progress_step::show_text) << "tick " << i + 1;
        }
    }
}

// The last three texts count down to the time-out in the seconds they name.
TEST(ProgressTexts, TheCountdownTextsNameTheSecondsLeft) {
    ASSERT_EQ(kProgressTextCount, 19u);
    EXPECT_STREQ(progress_texts[0], "Installation can take some time...");
    const std::vector<progress_tick> steps = run_clock(400, true);
    for (int seconds : {45, 30, 15}) {
        const std::string text = "Aborting in " + std::to_string(seconds) + " seconds...";
        size_t index = 0;
        while (index < kProgressTextCount && text != progress_texts[index])
            index++;
        ASSERT_LT(index, kProgressTextCount) << text;
        const uint32_t shown_at = kTicksPerText * (index + 1) + 1;
        EXPECT_EQ(steps[shown_at - 1].step, progress_step::show_text) << text;
        EXPECT_EQ(steps[shown_at - 1].text, index) << text;
        EXPECT_EQ(steps[shown_at + seconds - 1].step, progress_step::time_out) << text;
        EXPECT_NE(steps[shown_at + seconds - 2].step, progress_step::time_out) << text;
    }
}

TEST(ProgressOrigin, CentresHorizontallyAndRaisesBy35CuttingHalvesTowardZero) {
    const struct {
        int centre_x, centre_y, width, height;
        screen_point origin;
    } cases[] = {
        {320, 180, 287, 102, {320 - 143, 180 - 51 - 35}},
        {320, 180, 288, 103, {320 - 144, 180 - 51 - 35}},
        {0, 0, 287, 102, {-143, -86}},
        {-100, -50, 287, 102, {-243, -136}},  // an owner beyond the screen's top left corner
        {10, 10, 1, 1, {10, -25}},
        {10, 10, 0, 0, {10, -25}},
    };
    for (const auto& c : cases) {
        const screen_point origin = progress_origin(c.centre_x, c.centre_y, c.width, c.height);
        EXPECT_EQ(origin.x, c.origin.x) << c.centre_x << "," << c.centre_y << " " << c.width;
        EXPECT_EQ(origin.y, c.origin.y) << c.centre_x << "," << c.centre_y << " " << c.height;
    }
}

TEST(ProgressHitTest, BordersAnswerClientAndEverythingElseNowhere) {
    // Every answer the default procedure can give, by the system's names.
    const struct {
        const char* name;
        int default_answer;
        int answer;
    } cases[] = {
        {"HTERROR", -2, 0},      {"HTTRANSPARENT", -1, 0}, {"HTNOWHERE", 0, 0},
        {"HTCLIENT", 1, 0},      {"HTCAPTION", 2, 0},      {"HTSYSMENU", 3, 0},
        {"HTGROWBOX", 4, 1},     {"HTMENU", 5, 0},         {"HTHSCROLL", 6, 0},
        {"HTVSCROLL", 7, 0},     {"HTMINBUTTON", 8, 0},    {"HTMAXBUTTON", 9, 0},
        {"HTLEFT", 10, 1},       {"HTRIGHT", 11, 1},       {"HTTOP", 12, 1},
        {"HTTOPLEFT", 13, 1},    {"HTTOPRIGHT", 14, 1},    {"HTBOTTOM", 15, 1},
        {"HTBOTTOMLEFT", 16, 1}, {"HTBOTTOMRIGHT", 17, 1}, {"HTBORDER", 18, 0},
        {"HTOBJECT", 19, 0},     {"HTCLOSE", 20, 0},       {"HTHELP", 21, 0},
    };
    for (const auto& c : cases)
        EXPECT_EQ(progress_hit_test(c.default_answer), c.answer) << c.name;
}

TEST(SecurityPrompt, IsAPopupBorderedOrSystemMenuWindowWithExactlyThatTitle) {
    const uint32_t popup = 0x80000000, border = 0x00800000, sysmenu = 0x00080000,
                   caption = 0x00C00000, child = 0x40000000, visible = 0x10000000;
    const struct {
        uint32_t style;
        const wchar_t* title;
        bool prompt;
    } cases[] = {
        {popup, L"Windows Security", true},
        {border, L"Windows Security", true},
        {sysmenu, L"Windows Security", true},
        {caption | visible, L"Windows Security", true},  // a caption has a border
        {child | visible, L"Windows Security", false},
        {0, L"Windows Security", false},
        {popup, L"windows security", false},
        {popup, L"Windows Security ", false},
        {popup, L"Windows Securit", false},
        {popup, L"", false},
        {popup, nullptr, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_security_prompt(c.style, c.title), c.prompt)
            << std::hex << c.style << " " << (c.title ? c.title : L"(null)");
    }
}

}  // namespace
