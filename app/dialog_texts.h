// The texts the dialog shows and logs beside its resources (app/Corvane.rc): the title and the
// texts of its boxes' outcomes, the install button's captions, and its own log lines. The
// refusals of a command are command_rules.h's, which also puts the outcomes' texts together.
#pragma once

// The title of every box a command shows.
constexpr char kBoxTitle[] = "Driver Installation";
// Installed: with the device's port when it has one ("... successfully on COM3."), and the
// restart sentence after it when the device waits for one.
constexpr char kInstalledText[] = "The driver was installed successfully.";
constexpr char kInstalledOnPortText[] = "The driver was installed successfully on ";
constexpr char kRestartText[] = "Windows must be restarted to finish the installation.";
// Nothing was bound: the board was unplugged before its update, or there was none.
constexpr char kStoredText[] =
    "The driver was stored and will be used when the device is plugged in.";
// Followed by the package's full folder and a full stop.
constexpr char kExtractedToText[] = "The driver was extracted successfully to ";

// The install button: "Reinstall" for a device bound to the serial driver.
constexpr char kInstallCaption[] = "Install driver";
constexpr char kReinstallCaption[] = "Reinstall driver";

// A device bound to the serial driver is listed with its port after its name: "<name> (COM3)".
constexpr char kPortBefore[] = " (";
constexpr char kPortAfter[] = ")";

// The dialog's own lines in its log file: "Corvane: started", "Corvane: <command> for ...",
// "Corvane: box: <text>".
constexpr char kOwnLinePrefix[] = "Corvane: ";
constexpr char kStartedLine[] = "started";
constexpr char kInstallCommand[] = "Install driver";
constexpr char kExtractCommand[] = "Extract driver";
constexpr char kBoxLinePrefix[] = "box: ";
