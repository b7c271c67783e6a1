// What an installation that the library reported as a success did: whether it bound the device
// or only stored the driver, the port the device got, and whether Windows must be restarted. The
// installer helper reports success also when the device was not there for its driver update (it
// was unplugged first, or there was no device at all): it then only puts the package into the
// system's driver store for the device's next plugging in. Neither program may call that
// installed, so both ask the system about the device afterwards and decide here. No Windows call.
#pragma once

#include <string>

#include "usbdrv/usbdrv.h"

struct installation_outcome {
    enum kind_type {
        installed,  // the device is connected and bound to the serial driver
        stored,     // nothing was bound: the driver waits in the driver store
    } kind = stored;
    std::string port;            // the COM port of an installed device; empty when not known
    bool needs_restart = false;  // installed, but Windows must be restarted to finish
};

// `instance_id` is the device the installation targeted (null or empty: none, the package was
// made for typed identifiers); `state` what usbdrv_get_device_state filled in for it afterwards.
// Its result is not needed: the record is cleared first and keeps what could be read, so a
// device the system does not know reads as not connected. A device counts as installed only
// when it is connected and bound to the serial driver, so that an earlier binding of a board
// that is unplugged now is not taken for this installation's.
installation_outcome outcome_of_installation(const char* instance_id,
                                             const usbdrv_device_state& state);
