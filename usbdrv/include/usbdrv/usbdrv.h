/* usbdrv: lists USB devices, prepares driver packages for them and installs them.
 *
 * Plain functions over plain records. Every text is UTF-8 and NUL-terminated; a boolean is a
 * 32-bit integer. The header needs no Windows header of its own, so that code without
 * <windows.h> can use the records too. */
#ifndef USBDRV_USBDRV_H
#define USBDRV_USBDRV_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The Windows types the interface mentions, declared the way <windows.h> declares them. */
struct HWND__;
struct tagVS_FIXEDFILEINFO;

typedef int32_t usbdrv_result;

enum usbdrv_result_code {
    USBDRV_OK = 0,
    USBDRV_ERR_IO = -1,
    USBDRV_ERR_INVALID_PARAM = -2,
    USBDRV_ERR_ACCESS = -3,
    USBDRV_ERR_NO_DEVICE = -4,
    USBDRV_ERR_NOT_FOUND = -5,
    USBDRV_ERR_BUSY = -6,
    USBDRV_ERR_TIMEOUT = -7,
    USBDRV_ERR_OVERFLOW = -8,
    USBDRV_ERR_PENDING_INSTALLATION = -9,
    USBDRV_ERR_INTERRUPTED = -10,
    USBDRV_ERR_RESOURCE = -11,
    USBDRV_ERR_NOT_SUPPORTED = -12,
    USBDRV_ERR_EXISTS = -13,
    USBDRV_ERR_USER_CANCEL = -14,
    USBDRV_ERR_NEEDS_ADMIN = -15,
    USBDRV_ERR_WOW64 = -16,
    USBDRV_ERR_INF_SYNTAX = -17,
    USBDRV_ERR_CAT_MISSING = -18,
    USBDRV_ERR_UNSIGNED = -19,
    USBDRV_ERR_OTHER = -99
};

enum usbdrv_driver_type {
    USBDRV_DRIVER_WINUSB = 0,
    USBDRV_DRIVER_LIBUSB0 = 1,
    USBDRV_DRIVER_LIBUSBK = 2,
    USBDRV_DRIVER_CDC = 3,
    USBDRV_DRIVER_USER = 4
};
#define USBDRV_DRIVER_TYPE_COUNT 5

enum usbdrv_log_level {
    USBDRV_LOG_DEBUG = 0,
    USBDRV_LOG_INFO = 1,
    USBDRV_LOG_WARNING = 2,
    USBDRV_LOG_ERROR = 3
};

/* One USB device, and a node of a singly linked list. In a list from usbdrv_create_list the
 * entry and each of its texts are separate heap blocks owned by the list. */
typedef struct usbdrv_device_entry {
    struct usbdrv_device_entry* next;
    uint16_t vid;
    uint16_t pid;
    int32_t is_interface;
    uint8_t interface_number;
    char* description;
    char* driver_name;
    char* device_id;
    char* hardware_id;
    char* compatible_id;
    char* upper_filter;
    uint64_t driver_version;
} usbdrv_device_entry;

typedef struct usbdrv_list_options {
    int32_t include_with_driver;
    int32_t include_hubs;
    int32_t trim_trailing_space;
} usbdrv_list_options;

/* The longest device description a package can carry: bytes of UTF-8 as the text stands in the
 * INF, where each double quote is doubled. A longer one is refused, never cut. */
#define USBDRV_DESCRIPTION_MAX 1023

typedef struct usbdrv_prepare_options {
    int32_t driver_type; /* a usbdrv_driver_type */
    char* manufacturer_name;
    char* interface_guid;
    int32_t no_catalog;
    int32_t no_signing;
    char* signer_subject;
    int32_t match_compatible_id;
} usbdrv_prepare_options;

typedef struct usbdrv_install_options {
    struct HWND__* progress_owner;
    int32_t use_filter_installer;
    uint32_t pending_wait_ms;
} usbdrv_install_options;

/* What the system knows of one device now (usbdrv_get_device_state). Texts are UTF-8; a field
 * that is not known is empty or 0. */
typedef struct usbdrv_device_state {
    int32_t present;       /* connected now: the configuration manager has its node */
    int32_t needs_restart; /* its node waits for a restart to finish an installation */
    char service[256];     /* the service of the driver it is bound to */
    char port_name[64];    /* "PortName" of its device key: the COM port of a serial driver */
    char inf_name[64];     /* "InfPath" of its driver key: the driver store's name of the INF
                              its driver was installed from ("oem3.inf") */
} usbdrv_device_state;

/* Builds the list of present USB devices into *list (null when empty). Returns USBDRV_OK, or
 * USBDRV_ERR_NO_DEVICE for an empty list, USBDRV_ERR_BUSY while another listing runs anywhere on
 * the machine (*list is then left untouched), USBDRV_ERR_RESOURCE. A null options pointer lists
 * only driverless devices that are not hubs. */
usbdrv_result usbdrv_create_list(usbdrv_device_entry** list, const usbdrv_list_options* options);

/* Releases every entry of a list from usbdrv_create_list. */
usbdrv_result usbdrv_destroy_list(usbdrv_device_entry* list);

/* Writes a driver package for `device` into the folder `path` (null or empty: TEMP): the carried
 * driver files, the INF `inf_name` (a file name without a path, which must end in ".inf") filled
 * for the device, and, on Vista and later when running as administrator, a catalog signed with a
 * fresh self-signed certificate. Only vid, pid, is_interface, interface_number and description of
 * the entry are read; a null or empty description, and one longer than USBDRV_DESCRIPTION_MAX as
 * the INF writes it, are refused (so are a vendor name and an interface GUID that long). Empty
 * texts in the options count as not given. Null options prepare a WinUSB package.
 * USBDRV_ERR_BUSY while another preparation runs anywhere on the machine.
 * All or nothing: the package is written into a new folder beside `path` and moved into it only
 * when complete; a preparation that fails leaves `path` as it was (an earlier package in it
 * included) and nothing of its own. The catalog of an earlier preparation in the folder is
 * replaced or deleted; a catalog that cannot be made or signed does not fail the call, and
 * leaves no catalog or one that the machine does not trust. The certificate is trusted only once
 * its private key is gone and the package is in place. */
usbdrv_result usbdrv_prepare_driver(const usbdrv_device_entry* device, const char* path,
                                    const char* inf_name, const usbdrv_prepare_options* options);

/* Whether the package in `path` (null or empty: TEMP) can be installed as it is, in place of a
 * new preparation with the same arguments: USBDRV_OK only when it is, byte for byte, what
 * usbdrv_prepare_driver(device, path, inf_name, options) would write now (its INF as the
 * templates fill it, except for the driver date and a generated device interface GUID, which
 * are taken from the INF there; every carried file as the program carries it), with a catalog
 * that decodes, whose members are the package's files with the hashes they have now, and that is
 * signed by the certificate a preparation makes for it, one of the library's own that the local
 * machine's "Root" and "TrustedPublisher" stores both still hold. Where a preparation makes no
 * catalog (before Vista, without administrator rights) or the options ask for no catalog or no
 * signature (null options never sign), nothing is reused. Returns USBDRV_OK;
 * USBDRV_ERR_NOT_FOUND, with one info line naming the first thing that differs, for anything
 * else; USBDRV_ERR_INVALID_PARAM (and the other refusals) for arguments usbdrv_prepare_driver
 * refuses; USBDRV_ERR_BUSY while a preparation or an installation runs anywhere on the machine.
 * Writes nothing: it reads the folder and the stores. */
usbdrv_result usbdrv_check_prepared_driver(const usbdrv_device_entry* device, const char* path,
                                           const char* inf_name,
                                           const usbdrv_prepare_options* options);

/* Installs the package that usbdrv_prepare_driver wrote into `path` (null or empty: TEMP) for
 * `device`, through the elevated installer helper of the system's word size. With options naming
 * a progress_owner window, a progress window runs the installation and the owner is disabled
 * meanwhile. USBDRV_ERR_BUSY while another installation runs anywhere on the machine. */
usbdrv_result usbdrv_install_driver(const usbdrv_device_entry* device, const char* path,
                                    const char* inf_name, const usbdrv_install_options* options);

/* Fills *state with what the system knows now of the device with the instance ID `instance_id`,
 * for example after usbdrv_install_driver: the service it is bound to, its port name and the
 * name of the INF its driver came from (each a REG_SZ; a value of another type, or longer than
 * the field holds, is logged and left out), whether its node waits for a restart, and whether it
 * is connected (a device the system knows but that is
 * unplugged is no failure: present is 0). The record is cleared first, and keeps what could be
 * read when the call fails. Returns USBDRV_OK; USBDRV_ERR_INVALID_PARAM for a null record or an
 * ID that is null, empty or longer than a device instance ID (199 characters);
 * USBDRV_ERR_NO_DEVICE when the system knows no device of that ID; USBDRV_ERR_IO when its service
 * or node status is there but cannot be read; USBDRV_ERR_RESOURCE when the system's services
 * cannot be reached. */
usbdrv_result usbdrv_get_device_state(const char* instance_id, usbdrv_device_state* state);

/* Removes the driver of the device with the instance ID `instance_id` as the system's device
 * uninstall does (Windows 7 and later): its node and driver binding go, the package stays in the
 * driver store. A device still connected comes back at the next scan of the device tree
 * (usbdrv_rescan_devices), with the best driver the store holds then. Works for connected and
 * for unplugged devices the system knows. *needs_restart (may be null) is set to 1 when Windows
 * must be restarted to finish, else 0. Returns USBDRV_OK; USBDRV_ERR_INVALID_PARAM for an ID
 * that is null, empty or longer than 199 characters; USBDRV_ERR_NO_DEVICE when the system knows
 * no device of that ID; USBDRV_ERR_NEEDS_ADMIN when the system refuses it to this user;
 * USBDRV_ERR_NOT_SUPPORTED before Windows 7; USBDRV_ERR_RESOURCE when the system's services
 * cannot be reached; USBDRV_ERR_OTHER for any other failure. Takes no busy marker. */
usbdrv_result usbdrv_uninstall_device(const char* instance_id, int32_t* needs_restart);

/* Deletes the package `published_name` (its name in the driver store, a file name ending in
 * ".inf" such as "oem3.inf", without a path) from the driver store, never by force: a package
 * that devices use stays. Returns USBDRV_OK; USBDRV_ERR_INVALID_PARAM for a name that is null,
 * empty, has a path separator, does not end in ".inf" or is longer than MAX_PATH;
 * USBDRV_ERR_NOT_FOUND when the store has no such package; USBDRV_ERR_BUSY when devices still use
 * it; USBDRV_ERR_NEEDS_ADMIN when the system refuses it to this user; USBDRV_ERR_RESOURCE when
 * the system's services cannot be reached; USBDRV_ERR_OTHER for any other failure. Takes no
 * busy marker. */
usbdrv_result usbdrv_delete_driver_package(const char* published_name);

/* Scans the device tree again from its root, so that the system finds connected devices whose
 * driver was removed and installs the best driver its store holds for them. Returns USBDRV_OK;
 * USBDRV_ERR_RESOURCE when the configuration manager cannot be reached; USBDRV_ERR_OTHER when it
 * fails (its CR_ code is logged). Takes no busy marker. */
usbdrv_result usbdrv_rescan_devices(void);

/* Whether an installation runs anywhere on the machine now: an installation call's, or an
 * installer helper's that still works after its caller returned or ended. Only looks: an
 * installation that starts meanwhile is not turned away. */
int32_t usbdrv_installation_running(void);

/* The message of a result code. Unlisted codes are formatted into one shared buffer that the
 * next call with an unlisted code overwrites. */
const char* usbdrv_strerror(usbdrv_result code);

/* Whether a driver kind can be used on the running system: WinUSB from XP on except Server 2003,
 * libusb0, libusbK and CDC always, the user driver never; an unknown kind is logged and not
 * supported. For WinUSB, libusb0 and libusbK a given record is cleared and filled with the
 * version of the kind's carried driver file, whose file date is the file's time stamp; for the
 * other kinds it is left untouched. Null asks for the answer only. */
int32_t usbdrv_is_driver_supported(int32_t driver_type, struct tagVS_FIXEDFILEINFO* version);

/* Messages below the threshold (1 at start) are dropped. */
void usbdrv_set_log_threshold(int32_t level);

/* Receives each log line that passes the threshold, whole ("usbdrv:<level> [<function>]
 * <message>", without the line feed), in place of standard output and error. It is called on
 * the thread that logs, so it must be safe to call from more than one thread. */
typedef void (*usbdrv_log_sink)(int32_t level, const char* line, void* context);

/* Sends log lines to `sink` with `context`; a null sink sends them to the standard streams
 * again. */
void usbdrv_set_log_sink(usbdrv_log_sink sink, void* context);

/* One certificate of the library's own in a machine store, and a node of a singly linked list
 * owned by the list (usbdrv_destroy_certificate_list). */
typedef struct usbdrv_certificate_entry {
    struct usbdrv_certificate_entry* next;
    /* "Root" or "TrustedPublisher" */
    char store[32];
    /* the subject as X.500 text, "CN=usb\vid_c04a&pid_0c02&mi_00 (usbdrv autogenerated)" */
    char subject[512];
    /* SHA-1 hash of the encoded certificate: 40 upper-case hexadecimal digits */
    char thumbprint[41];
    /* end of validity, UTC, "YYYY-MM-DD hh:mm:ss" */
    char not_after[20];
} usbdrv_certificate_entry;

/* Lists the certificates the library made to sign packages that are in the local machine's
 * "Root" store, then those in its "TrustedPublisher" store, each in its store's order: the
 * self-signed ones (subject and issuer the same encoded name) whose subject is a single common
 * name ending in " (usbdrv autogenerated)". No other certificate is listed, whatever its name
 * resembles. The stores are only read, so no administrator rights are needed. *list is null when
 * there are none. Returns USBDRV_OK; USBDRV_ERR_INVALID_PARAM for a null list; USBDRV_ERR_ACCESS
 * when a store cannot be opened (nothing is listed); USBDRV_ERR_RESOURCE when the certificate
 * services cannot be reached or memory runs out. */
usbdrv_result usbdrv_list_certificates(usbdrv_certificate_entry** list);

/* Releases every entry of a list from usbdrv_list_certificates; null is an empty list. */
usbdrv_result usbdrv_destroy_certificate_list(usbdrv_certificate_entry* list);

/* Deletes the certificate with the entry's thumbprint from the entry's store (only store and
 * thumbprint are read). Returns USBDRV_OK; USBDRV_ERR_INVALID_PARAM for a null entry, a store
 * other than "Root" and "TrustedPublisher", a thumbprint that is not 40 hexadecimal digits, or a
 * certificate under that thumbprint that the listing would not list (one of another maker is
 * never deleted); USBDRV_ERR_NOT_FOUND when the store does not hold it (any more);
 * USBDRV_ERR_NEEDS_ADMIN when the store cannot be written without administrator rights;
 * USBDRV_ERR_OTHER for any other failure, whose Windows error the log names. */
usbdrv_result usbdrv_remove_certificate(const usbdrv_certificate_entry* certificate);

#ifdef __cplusplus
}
#endif

#endif
