// corvane-cli: lists the connected CDC serial interfaces, installs the driver on them and writes
// the driver package, from a command line, for factory lines, application installers and the
// tools that deploy software to many machines. It does what the dialog's commands do, through
// the same library and the same front-end core, and the rest of a driver's life on a machine
// (staging, status, removal), and ends with an exit code a script can rely on (report.h).
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>
#include <string>
#include <vector>

#include "arguments.h"
#include "commands.h"
#include "console.h"
#include "corvane_version.h"
#include "report.h"
#include "usbdrv/kit.h"

namespace {

// The arguments after the program's name, as the C runtime split the wide command line (wmain):
// no shell32 at the start for it.
std::vector<std::u16string> arguments(int argc, wchar_t** argv) {
    std::vector<std::u16string> args;
    for (int i = 1; argv && i < argc && argv[i]; i++)
        args.emplace_back(argv[i], argv[i] + wcslen(argv[i]));
    return args;
}

int run(const cli::request& req) {
    switch (req.what) {
        case cli::command::list:
            return cli::run_list(req);
        case cli::command::install:
            return cli::run_install(req);
        case cli::command::extract:
            return cli::run_extract(req);
        case cli::command::stage:
            return cli::run_stage(req);
        case cli::command::status:
            return cli::run_status(req);
        case cli::command::uninstall:
            return cli::run_uninstall(req);
        case cli::command::certificates:
            return cli::run_certificates(req);
        case cli::command::none:
            break;
    }
    return cli::kExitBadArguments;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
    // A console shows the UTF-8 lines as text; a pipe or a file takes the bytes as they are,
    // and a program started without a window need not wait for its console to answer.
    DWORD mode = 0;
    if (GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) ||
        GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode))
        SetConsoleOutputCP(CP_UTF8);
    // Bytes as written: UTF-8 and one line feed per line, the same on a console and in a pipe.
    // The log file's lines are the dialog's log's (log_line), CR LF.
    _setmode(_fileno(stdout), _O_BINARY);
    _setmode(_fileno(stderr), _O_BINARY);
    std::vector<std::u16string> args = arguments(argc, argv);
    cli::parse_result parsed = cli::parse_utf16_arguments(args);
    if (parsed.req.help) {
        cli::write_out(cli::usage_text());
        return cli::kExitSuccess;
    }
    if (parsed.req.version) {
        // Written from the one text, which the program's bytes then hold whole: a release check
        // looks for it there. Built into a string, its bytes could end up as the immediates of
        // the copy.
        static const char kVersionLine[] = "corvane-cli " CORVANE_VERSION_TEXT "\n";
        fputs(kVersionLine, stdout);
        fflush(stdout);
        return cli::kExitSuccess;
    }
    if (!parsed.error.empty()) {
        fprintf(stderr, "%s%s\n%s", cli::kErrorPrefix, parsed.error.c_str(), cli::usage_text());
        return cli::kExitBadArguments;
    }
    if (!parsed.req.log_file.empty()) {
        int code = cli::start_log(parsed.req.log_file, parsed.args);
        if (code != cli::kExitSuccess)
            return code;
    }
    cli::set_up_logging(parsed.req);
    return cli::end_logging(run(parsed.req));
}
