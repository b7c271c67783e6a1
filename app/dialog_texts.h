// The texts the dialog shows and logs beside its resources (app/Corvane.rc): the title and the
// success texts of its boxes, the install button's captions, and its own log lines. The refusals
// of a command are command_rules.h's.
#pragma once

// The title of every box a command shows.
constexpr char kBoxTitle[] = "Driver Installation";
constexpr char kInstalledText[] = "The driver was installed successfully.";
constexpr char kExtractedText[] = "The driver was extract successfully.";

// The install button: "Reinstall" for a device bound to the serial driver.
constexpr char kInstallCaption[] = "Install driver";
constexpr char kReinstallCaption[] = "Reinstall driver";

// The dialog's own lines in its log file: "Corvane: started", "Corvane: <command> for ...",
// "Corvane: box: <text>".
constexpr char kOwnLinePrefix[] = "Corvane: ";
constexpr char kStartedLine[] = "started";
constexpr char kInstallCommand[] = "Install driver";
constexpr char kExtractCommand[] = "Extract driver";
constexpr char kBoxLinePrefix[] = "box: ";
