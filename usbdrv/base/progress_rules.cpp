#include "base/progress_rules.h"

#include <cwchar>

const char* const progress_texts[kProgressTextCount] = {
    "Installation can take some time...",
    "The installation process can take up to 5 minutes...",
    "You may also be asked to reboot for KMDF upgrades.",
    "If so, please watch for additional popup windows.",
    "The reason driver installation may take time...",
    "...is because a System Restore point is created.",
    "Microsoft offers no means of checking progress...",
    "...so we can't say how long it'll take...",
    "Please continue to be patient...",
    "There's a 5 minutes timeout enventually...",
    "...so if there's a problem, the process will abort.",
    "I've really seen an installation take 5 minutes...",
    "...on a Vista 64 machine with a very large disk.",
    "So how was your day...",
    "...before it got ruined by this endless installation?",
    "Seriously, what is taking this process so long?!",
    "Aborting in 45 seconds...",
    "Aborting in 30 seconds...",
    "Aborting in 15 seconds...",
};

progress_tick count_progress_tick(progress_clock& clock, bool worker_running) {
    clock.ticks++;
    if (clock.text_index < kProgressTextCount &&
        clock.ticks > kTicksPerText * (clock.text_index + 1)) {
        return {progress_step::show_text, clock.text_index++};
    }
    if (clock.ticks > kProgressTimeoutTicks && worker_running)
        return {progress_step::time_out, 0};
    return {};
}

screen_point progress_origin(int client_centre_x, int client_centre_y, int width, int height) {
    return {client_centre_x - width / 2, client_centre_y - height / 2 - kProgressRaise};
}

int progress_hit_test(int default_answer) {
    // The system's codes: HTGROWBOX 4, HTLEFT 10 to HTBOTTOMRIGHT 17; HTCLIENT 1, HTNOWHERE 0.
    const bool border = default_answer == 4 || (default_answer >= 10 && default_answer <= 17);
    return border ? 1 : 0;
}

bool is_security_prompt(uint32_t style, const wchar_t* title) {
    return (style & kSecurityPromptStyles) != 0 && title &&
           wcscmp(title, kSecurityPromptTitle) == 0;
}
