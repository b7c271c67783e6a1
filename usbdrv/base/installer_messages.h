/* The codes of the messages that the installer helper sends to the tool over the installer
 * pipe. Shared by the library (the host end) and the installer helper. */
#ifndef USBDRV_INSTALLER_MESSAGES_H
#define USBDRV_INSTALLER_MESSAGES_H

enum installer_message_code {
    MSG_PRINT_MESSAGE = 0,
    MSG_SYSLOG_MESSAGE = 1,
    MSG_GET_DEVICE_ID = 2,
    MSG_GET_HARDWARE_ID = 3,
    MSG_GET_USER_SID = 4,
    MSG_SET_TIMEOUT_INFINITE = 5,
    MSG_SET_TIMEOUT_DEFAULT = 6,
    MSG_SET_STATUS = 7,
    MSG_INSTALLER_COMPLETED = 8
};

constexpr char kInstallerPipeName[] = "\\\\.\\pipe\\usbdrv-installer";

#endif
